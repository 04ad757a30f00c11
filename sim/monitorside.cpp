#include "monitorside.h"

#include <QRegularExpression>

#include "captions.h"
#include "frames.h"

namespace Sim {
using namespace Captions;

std::uint8_t linkByte(Link link)
{
    return link == Link::Serial ? Frame::LinkSerial : Frame::LinkNetwork;
}

bool checkFrame(const QByteArray &frame, QString *why)
{
    auto fail = [why](const QString &text) {
        if (why)
            *why = text;
        return false;
    };
    if (frame.size() < Frame::MinLength)
        return fail(QStringLiteral("too short (%1 bytes)").arg(frame.size()));
    if (Frame::byteAt(frame, 0) != Frame::Start)
        return fail(QStringLiteral("no start byte"));
    if (Frame::announcedLength(frame) != frame.size())
        return fail(QStringLiteral("length field %1, frame has %2 bytes").arg(Frame::announcedLength(frame)).arg(frame.size()));
    const std::uint8_t sum = Frame::checksum(frame.constData(), frame.size() - 2);
    if (Frame::byteAt(frame, frame.size() - 2) != sum)
        return fail(QStringLiteral("checksum 0x%1, expected 0x%2")
                        .arg(Frame::byteAt(frame, frame.size() - 2), 2, 16, QLatin1Char('0'))
                        .arg(sum, 2, 16, QLatin1Char('0')));
    if (Frame::byteAt(frame, frame.size() - 1) != Frame::End)
        return fail(QStringLiteral("no end byte"));
    return true;
}

namespace {
Frame::Header replyHeader(const SimMonitor &m, Link link, std::uint8_t mask)
{
    Frame::Header h;
    h.link = linkByte(link);
    h.mask = mask;
    h.type = static_cast<std::uint8_t>(m.type);
    h.id = static_cast<std::uint8_t>(m.id);
    return h;
}

void putBytes(QByteArray &payload, int offset, const QByteArray &bytes, int length)
{
    for (int i = 0; i < length; ++i)
        payload[offset + i] = i < bytes.size() ? bytes.at(i) : '\0';
}

int count(const std::int8_t *begin, const std::int8_t *end)
{
    int n = 0;
    for (const std::int8_t *p = begin; p != end; ++p)
        n += *p >= 0 ? 1 : 0;
    return n;
}
} // namespace

QByteArray searchReply(const SimMonitor &m, Link link)
{
    return Frame::build(replyHeader(m, link, 0), Frame::CmdSearch, QByteArray());
}

QByteArray settingsReply(const SimMonitor &m, int screen, std::uint8_t mask, Link link)
{
    using namespace SettingsReply;
    const Screen &sc = m.screens.at(screen);
    QByteArray payload(m.type == 2 ? Type2PayloadLength : PayloadLength, '\0');
    for (const Span &span : kRecordSpans)
        for (int i = 0; i < span.count; ++i)
            payload[span.payload + i] = static_cast<char>(sc.record.byte(span.record + i));
    putBytes(payload, InputTextOffset, sc.inputText, InputTextLength);
    putBytes(payload, NameOffset, m.name, NameLength);
    if (m.type == 2)
        for (std::size_t i = 0; i < kType2Record.size(); ++i)
            payload[Type2Offset + static_cast<int>(i)] = static_cast<char>(sc.record.byte(kType2Record[i]));
    // The data between the command byte and the payload is not read by the panel.
    const QByteArray data = QByteArray(PayloadOffset - Frame::OffData, '\0') + payload;
    return Frame::build(replyHeader(m, link, mask), Frame::CmdRead, data);
}

CommandResult applyCommand(SimMonitor &m, const QByteArray &frame)
{
    CommandResult result;
    const GroupBytes *g = Frame::hasCommand(frame) ? groupForCommand(Frame::command(frame)) : nullptr;
    if (!g) {
        result.problem = QStringLiteral("no setting command");
        return result;
    }
    result.group = g->group;
    const int dataLength = frame.size() - Frame::MinLength;
    const int base = count(g->bytes.data(), g->bytes.data() + g->bytes.size());
    const int needed = base + (g->carriesUmdText ? kUmdTextLength : 0);
    const int extras = count(g->type2Bytes.data(), g->type2Bytes.data() + g->type2Bytes.size());
    if (dataLength < needed) {
        result.problem = QStringLiteral("%1 data bytes, the command needs %2").arg(dataLength).arg(needed);
        return result;
    }
    const bool takeExtras = m.type == 2 && dataLength >= needed + extras;
    const std::uint8_t mask = Frame::byteAt(frame, Frame::OffMask);
    result.taken = true;

    for (int s = 0; s < m.screenCount(); ++s) {
        if (!(mask & (1u << s)))
            continue;
        Screen &sc = m.screens[s];
        ScreenChange change;
        change.screen = s;
        change.before = sc.record;
        int k = Frame::OffData;
        for (std::int8_t b : g->bytes)
            if (b >= 0)
                sc.record.setByte(b, Frame::byteAt(frame, k++));
        QByteArray text;
        if (g->carriesUmdText) {
            text = frame.mid(k, kUmdTextLength);
            k += kUmdTextLength;
        }
        if (takeExtras)
            for (std::int8_t b : g->type2Bytes)
                if (b >= 0)
                    sc.record.setByte(b, Frame::byteAt(frame, k++));
        if (g->carriesUmdText) {
            // A type-2 monitor files the text under the UMD its text index names
            // (no text is stored for an index outside 0-3); the others have one UMD.
            const int slot = takeExtras ? sc.record.get(Field::umdTextIndex) : 0;
            if (slot < UmdSlots && sc.umdText[static_cast<std::size_t>(slot)] != text) {
                change.umdSlot = slot;
                change.umdTextBefore = sc.umdText[static_cast<std::size_t>(slot)];
                change.umdTextAfter = text;
                sc.umdText[static_cast<std::size_t>(slot)] = text;
            }
        }
        change.after = sc.record;
        result.screens.append(change);
    }
    return result;
}

bool isAddressed(const SimMonitor &m, const QByteArray &frame, Link link, const QString &toIp, bool toIpIsAMonitor)
{
    if (m.onNetwork() != (link == Link::Network))
        return false;
    if (link == Link::Network)
        return !toIpIsAMonitor || m.ip == toIp;
    const std::uint8_t id = Frame::byteAt(frame, Frame::OffId);
    if (id == Frame::AllDevices)
        return Frame::command(frame) != Frame::CmdRead;
    return id == m.id;
}

namespace {
QString screenLabel(const SimMonitor &m, int screen)
{
    return QStringLiteral("%1 screen %2").arg(m.label()).arg(screen + 1);
}

void logCommand(const SimMonitor &m, const CommandResult &r, QStringList *log)
{
    if (r.screens.isEmpty()) {
        *log << QStringLiteral("%1: %2 settings for no screen it has").arg(m.label(), groupCaption(r.group));
        return;
    }
    for (const ScreenChange &c : r.screens) {
        QStringList lines = describeChanges(c.before, c.after);
        if (r.group == fieldInfo(Field::umdTextIndex).group) {
            // The text index only says where the frame's text goes; the label line shows it.
            lines = lines.filter(QRegularExpression(QStringLiteral("^(?!%1 )").arg(fieldCaption(Field::umdTextIndex))));
            if (c.umdSlot >= 0)
                lines << QStringLiteral("UMD %1 label \"%2\"").arg(c.umdSlot + 1).arg(shownText(c.umdTextAfter).trimmed());
        }
        if (lines.isEmpty())
            lines << QStringLiteral("%1 unchanged").arg(groupCaption(r.group));
        for (const QString &line : qAsConst(lines))
            *log << QStringLiteral("%1: %2").arg(screenLabel(m, c.screen), line);
    }
}
} // namespace

Answer answer(QVector<SimMonitor> &monitors, const QByteArray &frame, Link link, const QString &toIp)
{
    Answer a;
    QString why;
    if (!checkFrame(frame, &why)) {
        a.log << QStringLiteral("ignored frame: %1 [%2]").arg(why, QString::fromLatin1(frame.left(64).toHex(' ')));
        return a;
    }
    a.taken = true;
    const std::uint8_t cmd = Frame::command(frame);
    a.isRead = cmd == Frame::CmdRead;
    if (cmd != Frame::CmdRead && cmd != Frame::CmdSearch && !groupForCommand(cmd)) {
        a.log << QStringLiteral("ignored frame: unknown command 0x%1").arg(cmd, 2, 16, QLatin1Char('0'));
        return a;
    }
    if (Frame::byteAt(frame, Frame::OffLink) != linkByte(link))
        a.log << QStringLiteral("note: link byte 0x%1 on the %2")
                     .arg(Frame::byteAt(frame, Frame::OffLink), 2, 16, QLatin1Char('0'))
                     .arg(link == Link::Serial ? QStringLiteral("serial line") : QStringLiteral("network"));

    bool toMonitor = false;
    if (link == Link::Network)
        for (const SimMonitor &m : qAsConst(monitors))
            toMonitor = toMonitor || (m.onNetwork() && m.ip == toIp);

    const std::uint8_t mask = Frame::byteAt(frame, Frame::OffMask);
    for (int i = 0; i < monitors.size(); ++i) {
        SimMonitor &m = monitors[i];
        if (!isAddressed(m, frame, link, toIp, toMonitor))
            continue;
        if (cmd == Frame::CmdSearch) {
            ++m.searchesAnswered;
            a.replies.append({i, searchReply(m, link), true});
            a.log << QStringLiteral("%1: search -> type %2, %3 screen(s)").arg(m.label()).arg(m.type).arg(m.screenCount());
        } else if (cmd == Frame::CmdRead) {
            const int screen = screenOfMask(mask);
            if (screen >= m.screenCount()) {
                a.log << QStringLiteral("%1: read for screen %2, which it does not have").arg(m.label()).arg(screen + 1);
                continue;
            }
            ++m.readsAnswered;
            a.replies.append({i, settingsReply(m, screen, mask, link), false});
            a.log << QStringLiteral("%1: read").arg(screenLabel(m, screen));
        } else {
            const CommandResult r = applyCommand(m, frame);
            if (!r.taken) {
                a.log << QStringLiteral("%1: setting command 0x%2 ignored: %3")
                             .arg(m.label())
                             .arg(cmd, 2, 16, QLatin1Char('0'))
                             .arg(r.problem);
                continue;
            }
            ++m.commandsApplied;
            logCommand(m, r, &a.log);
        }
    }
    return a;
}

} // namespace Sim
