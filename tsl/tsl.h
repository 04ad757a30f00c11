#pragma once

// Tally and label messages for video displays, as mixers and tally controllers send them.
//
// v3.1: 18 bytes per display: 0x80 + address (0-126), a control byte (tally 1-4 in bits 0-3,
// brightness in bits 4-5, bit 7 clear) and 16 printable characters.
// v5.0: a packet of PBC (16 bit, counts the bytes after it), VER, FLAGS, SCREEN, then display
// messages INDEX, CONTROL, LENGTH, TEXT back to back; 16-bit values are little-endian. On a
// byte stream a packet opens with DLE STX (0xFE 0x02) and every 0xFE inside is sent twice.
//
// Every length is untrusted: nothing is read past the bytes received.

#include <cstdint>

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>

namespace Tsl {

enum class Tally : std::uint8_t { Off = 0, Red = 1, Green = 2, Amber = 3 };

// One display message, of either version.
struct Display
{
    int version = 0;           // 31 or 50
    int screen = 0;            // v5 screen, 0xFFFF = every screen; 0 for v3.1
    int index = 0;             // v3.1 address 0-126; v5 index, 0xFFFF = every display
    bool tally[4] = {};        // v3.1 tally 1-4; all false for v5
    Tally left = Tally::Off;   // v5 tallies; Off for v3.1
    Tally text = Tally::Off;
    Tally right = Tally::Off;
    int brightness = 0;        // 0-3
    bool hasLabel = false;     // false for a v5 message carrying control data
    QString label;             // trailing blanks trimmed

    QString key() const;       // "v3.1 address 5", "v5 screen 1 index 3"
    bool operator==(const Display &o) const;
    bool operator!=(const Display &o) const { return !(*this == o); }
};

// A v3.1 datagram: one or more consecutive 18-byte messages. Bytes that are not a
// header, messages with an invalid control byte and a partial last message are skipped.
QVector<Display> parseV31(const QByteArray &bytes);

// One v5 packet starting at PBC (a datagram), or a byte-stuffed one opening with DLE STX.
// What is malformed is described in *error (empty when the packet is sound); the display
// messages before the fault are still returned.
QVector<Display> parseV5(const QByteArray &packet, QString *error = nullptr);

// Cuts a v5 byte stream (TCP) into unstuffed packets starting at PBC. Bytes outside a packet
// are skipped up to the next DLE STX; a DLE STX inside a packet drops the unfinished one and
// starts anew, as does a DLE followed by anything but DLE. A packet longer than MaxPacket is
// dropped. The packets do not depend on how the stream is chopped.
class V5StreamDecoder
{
public:
    static constexpr int MaxPacket = 4096;

    QVector<QByteArray> feed(const QByteArray &chunk);
    const QByteArray &pending() const { return buffer; } // the unfinished packet, unstuffed

private:
    QByteArray buffer;
    bool inPacket = false;
    bool dle = false;
};

// Cuts a v3.1 byte stream (the serial line) into 18-byte messages. A byte with bit 7 set is a
// header and starts a new message, dropping an unfinished one (0xFF, address 127, starts none);
// other bytes outside a message are skipped.
class V31StreamDecoder
{
public:
    static constexpr int MessageSize = 18;

    QVector<QByteArray> feed(const QByteArray &chunk);

private:
    QByteArray buffer;
};

} // namespace Tsl

Q_DECLARE_METATYPE(Tsl::Display)
