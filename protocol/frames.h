#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "basicdata.h"

// Layout of every frame exchanged with a monitor, on the serial line and on the
// network alike:
//   0 start 0x5A | 1-2 total length, little-endian | 3 link byte | 4 screen mask |
//   5 device type | 6 0x00 | 7 device ID | 8 command | data ... | checksum | end 0xDD
// The checksum is the low 8 bits of the sum of every byte before it.
namespace Frame {
constexpr std::uint8_t Start = 0x5A;
constexpr std::uint8_t End = 0xDD;
constexpr int OffLength = 1;
constexpr int OffLink = 3;
constexpr int OffMask = 4;
constexpr int OffType = 5;
constexpr int OffId = 7;
constexpr int OffCommand = 8;
constexpr int OffData = 9;
constexpr int HeaderLength = 9;
constexpr int MinLength = HeaderLength + 2;

constexpr std::uint8_t LinkSerial = 0x00;
constexpr std::uint8_t LinkNetwork = 0x20;
constexpr std::uint8_t AnyType = 0xFF;   // device type byte of every frame the panel sends
constexpr std::uint8_t AllDevices = 0xFF; // device ID addressing every monitor

constexpr std::uint8_t CmdRead = 0xFE;   // read request / settings reply
constexpr std::uint8_t CmdSearch = 0xFF; // search request / search reply

struct Header {
    std::uint8_t link = LinkNetwork;
    std::uint8_t mask = 0;
    std::uint8_t type = AnyType;
    std::uint8_t id = 0;
};

std::uint8_t checksum(const char *bytes, int count);

// Header, data, checksum and end byte, with the length field filled in.
QByteArray build(const Header &header, std::uint8_t command, const QByteArray &data);

// The 16-byte UMD text field: printable ASCII as is, any other code unit as a
// blank, missing characters as 0x00.
QByteArray packUmdText(const QString &text);
// A label as the UMD editors send it: cut to 16 characters, padded with blanks.
inline QString umdLabel(const QString &text)
{
    return text.left(kUmdTextLength).leftJustified(kUmdTextLength, QLatin1Char(' '));
}

// Text a monitor reports in a fixed-size field (its name, an input) as people and
// programs are shown it: without the zero bytes and blanks that pad the field.
QString shownText(const QString &field);
// Whether a label goes out as written: printable ASCII only (anything else
// would go out as blanks).
bool sendsAsWritten(const QString &label);

// Setting command of packet group 1-6; empty for any other group number.
QByteArray settingCommand(int group, const Header &header, const ST_BasicData &record,
                          const QString &umdText, bool deviceType2);
QByteArray readRequest(std::uint8_t link, std::uint8_t mask, std::uint8_t id);
QByteArray searchRequest(std::uint8_t link, std::uint8_t id);

// Readers for received frames; nothing is read outside the frame.
inline bool hasCommand(const QByteArray &frame) { return frame.size() > OffCommand; }
inline std::uint8_t byteAt(const QByteArray &frame, int offset)
{
    return offset >= 0 && offset < frame.size() ? static_cast<std::uint8_t>(frame.at(offset)) : 0;
}
inline std::uint8_t command(const QByteArray &frame) { return byteAt(frame, OffCommand); }
inline int announcedLength(const QByteArray &frame)
{
    return byteAt(frame, OffLength) | (byteAt(frame, OffLength + 1) << 8);
}
} // namespace Frame
