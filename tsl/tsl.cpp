#include "tsl.h"

namespace Tsl {

namespace {
constexpr std::uint8_t Dle = 0xFE;
constexpr std::uint8_t Stx = 0x02;
constexpr int V31Size = V31StreamDecoder::MessageSize;

std::uint8_t byteAt(const QByteArray &b, int i) { return static_cast<std::uint8_t>(b.at(i)); }
int le16(const QByteArray &b, int i) { return byteAt(b, i) | byteAt(b, i + 1) << 8; }

QString trimmedRight(QString s)
{
    while (s.endsWith(QLatin1Char(' ')))
        s.chop(1);
    return s;
}

// A v5 packet already unstuffed, from PBC on.
QVector<Display> parsePacket(const QByteArray &packet, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error && error->isEmpty())
            *error = why;
    };
    QVector<Display> out;
    if (packet.size() < 2) {
        fail(QStringLiteral("v5 packet of %1 bytes has no byte count").arg(packet.size()));
        return out;
    }
    const int pbc = le16(packet, 0);
    if (2 + pbc > packet.size())
        fail(QStringLiteral("v5 byte count %1 runs past the %2 bytes received").arg(pbc).arg(packet.size() - 2));
    const QByteArray p = packet.left(2 + pbc); // bytes after the packet are not part of it
    if (p.size() < 6) {
        fail(QStringLiteral("v5 packet of %1 bytes ends inside its header").arg(p.size()));
        return out;
    }
    const int flags = byteAt(p, 3);
    const int screen = le16(p, 4);
    if (flags & 0x02) // screen control data, no display messages
        return out;
    for (int pos = 6; pos < p.size();) {
        if (pos + 6 > p.size()) {
            fail(QStringLiteral("v5 display message at byte %1 is cut short").arg(pos));
            break;
        }
        const int control = le16(p, pos + 2);
        const int length = le16(p, pos + 4);
        if (pos + 6 + length > p.size()) {
            fail(QStringLiteral("v5 text length %1 at byte %2 runs past the packet").arg(length).arg(pos));
            break;
        }
        Display d;
        d.version = 50;
        d.screen = screen;
        d.index = le16(p, pos);
        d.right = static_cast<Tally>(control & 3);
        d.text = static_cast<Tally>(control >> 2 & 3);
        d.left = static_cast<Tally>(control >> 4 & 3);
        d.brightness = control >> 6 & 3;
        d.hasLabel = !(control & 0x8000);
        const QByteArray text = p.mid(pos + 6, length);
        if (d.hasLabel && (flags & 0x01)) {
            for (int i = 0; i + 1 < text.size(); i += 2)
                d.label.append(QChar(static_cast<ushort>(le16(text, i))));
        } else if (d.hasLabel) {
            d.label = QString::fromLatin1(text);
        }
        d.label = trimmedRight(d.label);
        out.append(d);
        pos += 6 + length;
    }
    return out;
}
} // namespace

QString Display::key() const
{
    if (version == 31)
        return QStringLiteral("v3.1 address %1").arg(index);
    return QStringLiteral("v5 screen %1 index %2").arg(screen).arg(index);
}

bool Display::operator==(const Display &o) const
{
    return version == o.version && screen == o.screen && index == o.index && tally[0] == o.tally[0]
        && tally[1] == o.tally[1] && tally[2] == o.tally[2] && tally[3] == o.tally[3] && left == o.left
        && text == o.text && right == o.right && brightness == o.brightness && hasLabel == o.hasLabel
        && label == o.label;
}

QVector<Display> parseV31(const QByteArray &bytes)
{
    QVector<Display> out;
    int i = 0;
    while (i + V31Size <= bytes.size()) {
        const std::uint8_t header = byteAt(bytes, i);
        const std::uint8_t control = byteAt(bytes, i + 1);
        if (header < 0x80 || header == 0xFF || (control & 0x80)) {
            ++i; // not a message: resynchronise on the next header byte
            continue;
        }
        Display d;
        d.version = 31;
        d.index = header - 0x80;
        for (int t = 0; t < 4; ++t)
            d.tally[t] = control >> t & 1;
        d.brightness = control >> 4 & 3;
        d.hasLabel = true;
        for (int c = 0; c < 16; ++c) {
            const std::uint8_t ch = byteAt(bytes, i + 2 + c);
            d.label.append(QLatin1Char(ch >= 0x20 && ch <= 0x7E ? static_cast<char>(ch) : ' '));
        }
        d.label = trimmedRight(d.label);
        out.append(d);
        i += V31Size;
    }
    return out;
}

QVector<Display> parseV5(const QByteArray &packet, QString *error)
{
    if (error)
        error->clear();
    // A stuffed datagram opens with DLE STX; a plain one only when its PBC is 0x02FE and fits exactly.
    const bool stuffed = packet.size() >= 2 && byteAt(packet, 0) == Dle && byteAt(packet, 1) == Stx
        && packet.size() != 2 + 0x02FE;
    if (!stuffed)
        return parsePacket(packet, error);
    V5StreamDecoder decoder;
    const QVector<QByteArray> packets = decoder.feed(packet);
    return parsePacket(packets.isEmpty() ? decoder.pending() : packets.first(), error);
}

QVector<QByteArray> V5StreamDecoder::feed(const QByteArray &chunk)
{
    QVector<QByteArray> out;
    for (const char raw : chunk) {
        const auto c = static_cast<std::uint8_t>(raw);
        if (!inPacket) {
            // Hunting: a DLE DLE pair is a stuffed data byte, not the start of DLE STX.
            if (c == Stx && dle) {
                inPacket = true;
                buffer.clear();
            }
            dle = c == Dle && !dle;
            continue;
        }
        if (dle) {
            dle = false;
            if (c == Stx) { // a new packet: the unfinished one is dropped
                buffer.clear();
                continue;
            }
            if (c != Dle) { // a lone DLE: framing lost
                inPacket = false;
                buffer.clear();
                continue;
            }
        } else if (c == Dle) {
            dle = true;
            continue;
        }
        buffer.append(static_cast<char>(c));
        if (buffer.size() < 2)
            continue;
        const int total = 2 + le16(buffer, 0);
        if (total > MaxPacket) {
            inPacket = false;
            buffer.clear();
        } else if (buffer.size() == total) {
            out.append(buffer);
            inPacket = false;
            buffer.clear();
        }
    }
    return out;
}

QVector<QByteArray> V31StreamDecoder::feed(const QByteArray &chunk)
{
    QVector<QByteArray> out;
    for (const char raw : chunk) {
        const auto c = static_cast<std::uint8_t>(raw);
        if (c & 0x80) {
            buffer.clear();
            if (c == 0xFF)
                continue;
        } else if (buffer.isEmpty()) {
            continue;
        }
        buffer.append(raw);
        if (buffer.size() == MessageSize) {
            out.append(buffer);
            buffer.clear();
        }
    }
    return out;
}

} // namespace Tsl
