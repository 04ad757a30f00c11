#include "simulator.h"

#include "captions.h"
#include "frames.h"

using namespace Sim;
using namespace Captions;

Simulator::Simulator(QObject *parent) : QObject(parent) {}

void Simulator::log(const QString &line)
{
    emit logLine(line);
}

QByteArray Simulator::garbageBytes()
{
    QByteArray junk(1 + static_cast<int>(random.bounded(8u)), '\0');
    for (char &c : junk) {
        do
            c = static_cast<char>(random.bounded(256u));
        while (static_cast<std::uint8_t>(c) == Frame::Start);
    }
    return junk;
}

QVector<Reply> Simulator::receive(const QByteArray &frame, Link link, const QString &toIp)
{
    if (logFrames)
        log(QStringLiteral("< %1%2").arg(toIp.isEmpty() ? QString() : toIp + QLatin1Char(' '),
                                         QString::fromLatin1(frame.toHex(' '))));
    if (checkFrame(frame, nullptr)) {
        ++requests;
        if (failures.stopAfter >= 0 && requests > failures.stopAfter) {
            if (!silenceLogged)
                log(QStringLiteral("silent: no more answers after %1 requests").arg(failures.stopAfter));
            silenceLogged = true;
            return {};
        }
    }
    if (failures.ignoreSettings && checkFrame(frame, nullptr) && groupForCommand(Frame::command(frame))) {
        log(QStringLiteral("setting command 0x%1 ignored (failure mode ignore-settings)")
                .arg(Frame::command(frame), 2, 16, QLatin1Char('0')));
        return {};
    }
    const Answer a = answer(monitors, frame, link, toIp);
    if (logReads || !a.isRead)
        for (const QString &line : a.log)
            log(line);

    QVector<Reply> out;
    for (Reply r : a.replies) {
        const QString who = monitors.at(r.monitor).label();
        if (failures.dropPercent > 0 && static_cast<int>(random.bounded(100u)) < failures.dropPercent) {
            log(QStringLiteral("%1: reply dropped").arg(who));
            continue;
        }
        if (r.isSearchReply && failures.badSearchLength) {
            r.bytes[Frame::OffLength] = static_cast<char>(r.bytes.size() + 1);
            r.bytes[r.bytes.size() - 2] = static_cast<char>(Frame::checksum(r.bytes.constData(), r.bytes.size() - 2));
            log(QStringLiteral("%1: search reply with length field %2").arg(who).arg(r.bytes.size() + 1));
        }
        out.append(r);
        if (r.isSearchReply && failures.duplicateSearchReply) {
            out.append(r);
            log(QStringLiteral("%1: search reply sent twice").arg(who));
        }
    }
    if (logFrames)
        for (const Reply &r : qAsConst(out))
            log(QStringLiteral("> %1 %2").arg(monitors.at(r.monitor).label(), QString::fromLatin1(r.bytes.toHex(' '))));
    return out;
}

int Simulator::find(const QString &selector) const
{
    const bool isAddress = selector.contains(QLatin1Char('.'));
    bool ok = false;
    const int id = isAddress ? -1 : selector.toInt(&ok, 10);
    for (int i = 0; i < monitors.size(); ++i) {
        const SimMonitor &m = monitors.at(i);
        if (isAddress ? m.ip == selector : (ok && !m.onNetwork() && m.id == id))
            return i;
    }
    return -1;
}

QString Simulator::commandHelp()
{
    return QStringLiteral(
        "set MON SCREEN FIELD VALUE   change a setting (FIELD: brightness, tally, ...; VALUE: number or name)\n"
        "byte MON SCREEN INDEX VALUE  change one record byte (0-58)\n"
        "name MON TEXT                change the monitor's name (16 characters)\n"
        "input MON SCREEN TEXT        change a screen's input text (18 characters)\n"
        "umd MON SCREEN SLOT TEXT     change the text of UMD 1-4 (16 characters)\n"
        "show MON [SCREEN]            print the settings of a screen\n"
        "list                         list the monitors\n"
        "fail MODE VALUE              switch a failure mode (delay-ms, drop-percent, stop-after,\n"
        "                             chunk, chunk-gap-ms, garbage, duplicate-search-reply,\n"
        "                             bad-search-length, ignore-settings; 0/1 for on and off)\n"
        "help                         this text\n"
        "MON is a serial ID or an IP address; screens and UMD slots count from 1.");
}

bool Simulator::setFailure(const QString &mode, const QString &value)
{
    bool ok = false;
    const int v = value.toInt(&ok, 0);
    if (!ok || v < -1)
        return false;
    if (mode == QLatin1String("delay-ms"))
        failures.delayMs = qMax(0, v);
    else if (mode == QLatin1String("drop-percent"))
        failures.dropPercent = qBound(0, v, 100);
    else if (mode == QLatin1String("stop-after")) {
        failures.stopAfter = v < 0 ? -1 : requests + v; // counted from now
        silenceLogged = false;
    } else if (mode == QLatin1String("chunk"))
        failures.chunkBytes = qMax(0, v);
    else if (mode == QLatin1String("chunk-gap-ms"))
        failures.chunkGapMs = qMax(0, v);
    else if (mode == QLatin1String("garbage"))
        failures.garbage = v != 0;
    else if (mode == QLatin1String("duplicate-search-reply"))
        failures.duplicateSearchReply = v != 0;
    else if (mode == QLatin1String("bad-search-length"))
        failures.badSearchLength = v != 0;
    else if (mode == QLatin1String("ignore-settings"))
        failures.ignoreSettings = v != 0;
    else
        return false;
    return true;
}

void Simulator::show(int monitor, int screen)
{
    const SimMonitor &m = monitors.at(monitor);
    const Screen &sc = m.screens.at(screen);
    log(QStringLiteral("%1 screen %2: type %3, name '%4', input '%5'")
            .arg(m.label())
            .arg(screen + 1)
            .arg(m.type)
            .arg(shownText(m.name), shownText(sc.inputText)));
    QStringList parts;
    for (const FieldInfo &fi : kFields)
        parts << QStringLiteral("%1 %2").arg(fieldCaption(fi.field), valueCaption(fi.field, sc.record.get(fi.field)));
    for (int i = 0; i < parts.size(); i += 8)
        log(QStringLiteral("  ") + parts.mid(i, 8).join(QStringLiteral(", ")));
    for (int k = 0; k < UmdSlots; ++k)
        log(QStringLiteral("  UMD %1 text '%2'").arg(k + 1).arg(shownText(sc.umdText[static_cast<std::size_t>(k)])));
}

bool Simulator::command(const QString &line)
{
    const QStringList w = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (w.isEmpty())
        return true;
    const QString verb = w.at(0).toLower();
    auto fail = [this, &line](const QString &why) {
        log(QStringLiteral("? %1: %2").arg(line.trimmed(), why));
        return false;
    };
    // Rest of the line after the first n words, blanks kept.
    auto restAfter = [&line](int n) {
        QString s = line.trimmed();
        for (int i = 0; i < n; ++i) {
            const int sp = s.indexOf(QLatin1Char(' '));
            s = sp < 0 ? QString() : s.mid(sp + 1).trimmed();
        }
        return s;
    };

    if (verb == QLatin1String("help")) {
        for (const QString &l : commandHelp().split(QLatin1Char('\n')))
            log(l);
        return true;
    }
    if (verb == QLatin1String("list")) {
        for (const SimMonitor &m : qAsConst(monitors))
            log(QStringLiteral("%1: type %2, %3 screen(s), name '%4', searches %5, reads %6, commands %7")
                    .arg(m.label())
                    .arg(m.type)
                    .arg(m.screenCount())
                    .arg(shownText(m.name))
                    .arg(m.searchesAnswered)
                    .arg(m.readsAnswered)
                    .arg(m.commandsApplied));
        return true;
    }
    if (verb == QLatin1String("fail")) {
        if (w.size() != 3 || !setFailure(w.at(1).toLower(), w.at(2)))
            return fail(QStringLiteral("usage: fail MODE VALUE"));
        log(QStringLiteral("failure mode %1 = %2").arg(w.at(1), w.at(2)));
        return true;
    }

    static const QStringList perMonitor{"set", "byte", "name", "input", "umd", "show"};
    if (!perMonitor.contains(verb))
        return fail(QStringLiteral("unknown command; try 'help'"));
    if (w.size() < 2)
        return fail(QStringLiteral("which monitor?"));
    const int mi = find(w.at(1));
    if (mi < 0)
        return fail(QStringLiteral("no monitor '%1'").arg(w.at(1)));
    SimMonitor &m = monitors[mi];
    if (verb == QLatin1String("name")) {
        m.name = fixedText(restAfter(2), SettingsReply::NameLength);
        log(QStringLiteral("%1: name '%2' (on the monitor)").arg(m.label(), shownText(m.name)));
        return true;
    }

    int screen = -1;
    if (w.size() >= 3) {
        bool ok = false;
        screen = w.at(2).toInt(&ok) - 1;
        if (!ok || screen < 0 || screen >= m.screenCount())
            return fail(QStringLiteral("%1 has screens 1-%2").arg(m.label()).arg(m.screenCount()));
    }
    if (verb == QLatin1String("show")) {
        show(mi, screen < 0 ? 0 : screen);
        return true;
    }
    if (screen < 0)
        return fail(QStringLiteral("which screen?"));
    Screen &sc = m.screens[screen];
    const QString where = QStringLiteral("%1 screen %2").arg(m.label()).arg(screen + 1);

    if (verb == QLatin1String("input")) {
        sc.inputText = fixedText(restAfter(3), SettingsReply::InputTextLength);
        log(QStringLiteral("%1: input '%2' (on the monitor)").arg(where, shownText(sc.inputText)));
        return true;
    }
    if (verb == QLatin1String("umd")) {
        const int slot = w.value(3).toInt() - 1;
        if (slot < 0 || slot >= UmdSlots)
            return fail(QStringLiteral("UMD slots are 1-%1").arg(UmdSlots));
        sc.umdText[static_cast<std::size_t>(slot)] = fixedText(restAfter(4), kUmdTextLength);
        log(QStringLiteral("%1: UMD %2 text '%3' (on the monitor)")
                .arg(where)
                .arg(slot + 1)
                .arg(shownText(sc.umdText[static_cast<std::size_t>(slot)])));
        return true;
    }
    if (verb == QLatin1String("set") || verb == QLatin1String("byte")) {
        if (w.size() != 5)
            return fail(QStringLiteral("usage: %1 MON SCREEN %2 VALUE").arg(verb, verb == QLatin1String("set") ? "FIELD" : "INDEX"));
        const ST_BasicData before = sc.record;
        if (verb == QLatin1String("set")) {
            Field f;
            int value = 0;
            if (!findField(w.at(3), &f))
                return fail(QStringLiteral("no setting '%1'").arg(w.at(3)));
            if (!parseValue(f, w.at(4), &value))
                return fail(QStringLiteral("%1 takes 0-%2 or a value name").arg(fieldCaption(f)).arg(fieldMax(f)));
            sc.record.set(f, value);
        } else {
            bool ok1 = false, ok2 = false;
            const int index = w.at(3).toInt(&ok1, 0);
            const int value = w.at(4).toInt(&ok2, 0);
            if (!ok1 || !ok2 || index < 0 || index >= ST_BasicData::Size || value < 0 || value > 255)
                return fail(QStringLiteral("byte 0-%1, value 0-255").arg(ST_BasicData::Size - 1));
            sc.record.setByte(index, static_cast<std::uint8_t>(value));
        }
        QStringList lines = describeChanges(before, sc.record);
        if (lines.isEmpty())
            lines << QStringLiteral("unchanged");
        for (const QString &l : qAsConst(lines))
            log(QStringLiteral("%1: %2 (on the monitor)").arg(where, l));
        return true;
    }
    return fail(QStringLiteral("unknown command; try 'help'"));
}
