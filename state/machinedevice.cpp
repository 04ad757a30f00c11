#include "machinedevice.h"

#include <QStringList>

int screenOfMask(std::uint8_t mask)
{
    for (int s = 1; s < MachineDevice::MaxScreens; ++s)
        if (mask == (1u << s))
            return s;
    return 0;
}

MachineDevice::MachineDevice(QObject *parent) : QObject(parent)
{
    inputText.fill(QStringLiteral("No Signal"));
}

int MachineDevice::screenCountForType(int type)
{
    switch (type) {
    case 4:
    case 129:
        return 3;
    case 5:
    case 128:
    case 130:
    case 131:
        return 2;
    default:
        return 1;
    }
}

void MachineDevice::setDeviceType(int type)
{
    deviceType = type;
    screenCount = screenCountForType(type);
}

int MachineDevice::ipLastOctet() const
{
    const QStringList parts = ipAddr.split(QLatin1Char('.'));
    if (parts.size() < 4)
        return 0;
    bool ok = false;
    const int v = parts.at(3).toInt(&ok, 10);
    return ok ? v : 0;
}

namespace {
std::uint8_t payloadByte(const QByteArray &payload, int k)
{
    return k >= 0 && k < payload.size() ? static_cast<std::uint8_t>(payload.at(k)) : 0;
}

QString latin1Text(const QByteArray &payload, int offset, int length)
{
    QString s(length, QChar(0));
    for (int i = 0; i < length; ++i)
        s[i] = QChar(payloadByte(payload, offset + i));
    return s;
}
} // namespace

void MachineDevice::applySettingsReply(const QByteArray &payload, std::uint8_t mask)
{
    using namespace SettingsReply;
    for (const Span &span : kRecordSpans)
        for (int i = 0; i < span.count; ++i)
            basicData.setByte(span.record + i, payloadByte(payload, span.payload + i));

    inputText[static_cast<std::size_t>(screenOfMask(mask))] = latin1Text(payload, InputTextOffset, InputTextLength);
    deviceName = latin1Text(payload, NameOffset, NameLength);
    recordReceived = true;

    if (deviceType == 2) {
        for (std::size_t i = 0; i < kType2Record.size(); ++i) {
            std::uint8_t v = payloadByte(payload, Type2Offset + static_cast<int>(i));
            if (kType2Record[i] == 23)
                v |= 0xF0; // the text index reads 15 until a UMD text is edited
            basicData.setByte(kType2Record[i], v);
        }
    }
}
