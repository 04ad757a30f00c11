#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

#include "basicdata.h"

// Layout of the payload of a settings reply (payload byte k is frame byte 10 + k).
namespace SettingsReply {
constexpr int PayloadOffset = 10;   // frame byte where the payload starts
constexpr int InputTextOffset = 20; // 18 characters of the screen's input description
constexpr int InputTextLength = 18;
constexpr int NameOffset = 38;      // 16 characters of the monitor's name
constexpr int NameLength = 16;
// Record bytes carried at the start of the payload: payload 0-7 -> record 0-7,
// payload 8-19 -> record 10-21.
struct Span { int payload; int record; int count; };
constexpr std::array<Span, 2> kRecordSpans{{{0, 0, 8}, {8, 10, 12}}};
// Device type 2 only: payload 54-57 -> record 22, 23 (OR 0xF0), 8, 9.
constexpr int Type2Offset = 54;
constexpr std::array<int, 4> kType2Record{{22, 23, 8, 9}};
constexpr int PayloadLength = Type2Offset;            // other device types
constexpr int Type2PayloadLength = Type2Offset + 4;   // device type 2
} // namespace SettingsReply

// Screen index of a one-hot screen mask: 0x02 -> 1 ... 0x80 -> 7; anything else -> 0.
int screenOfMask(std::uint8_t mask);

// One monitor found by a search.
class MachineDevice : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxScreens = 8;

    explicit MachineDevice(QObject *parent = nullptr);

    void setDeviceType(int type);
    static int screenCountForType(int type);
    int ipLastOctet() const;

    ST_BasicData getBasicData() const { return basicData; }
    void setBasicData(const ST_BasicData &record) { basicData = record; }

    void applySettingsReply(const QByteArray &payload, std::uint8_t mask);

    ST_BasicData basicData;
    // A settings reply has filled basicData (all zeros before) for the screen
    // picked last; picking another monitor or screen clears it until that reply.
    bool recordReceived = false;
    std::uint8_t screenMask = 0;
    std::uint8_t deviceId = 0;
    QString ipAddr;
    int deviceType = -1;
    QString deviceName = QStringLiteral("Null");
    std::array<QString, MaxScreens> inputText;
    int screenCount = 1;
};
