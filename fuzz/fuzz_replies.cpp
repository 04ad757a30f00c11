// Fuzz target for the receive path: bytes from a monitor, on the serial line
// (through the deframer) or as datagrams, parsed into the device list and the
// current device's record. Beyond "no crash": the list never holds more devices
// than search replies arrived, the current device is always listed or the
// placeholder, replies never touch the reserved record bytes, and every
// settings reply that is announced carries the current device's record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QCoreApplication>
#include <QTimer>

#include "datastream.h"
#include "framegatherer.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

QCoreApplication *app = nullptr;
DataStream *ds = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_replies";
    static char *argv[] = {name, nullptr};
    app = new QCoreApplication(argc, argv);
    ds = new DataStream;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!ds)
        LLVMFuzzerInitialize(nullptr, nullptr);
    if (size < 3)
        return 0;
    // Byte 0: link and whether a device is current; byte 1: its type.
    const bool serial = data[0] & 1;
    ds->clearDeviceList();
    ds->linkMode = serial ? DataStream::LinkSerial : DataStream::LinkNetwork;
    ds->searching = true;
    auto current = new MachineDevice;
    current->ipAddr = QStringLiteral("10.77.0.7");
    current->setDeviceType(data[1]);
    ds->addDevice(current);
    if (data[0] & 2)
        ds->selectDevice(0, data[0] >> 5);
    ST_BasicData before = ds->curDevice->getBasicData();
    for (int i = ST_BasicData::SettingBytes; i < ST_BasicData::Size; ++i)
        before.setByte(i, static_cast<std::uint8_t>(i));
    ds->curDevice->setBasicData(before);

    int announced = 0;
    bool announcedMatches = true;
    auto conn = QObject::connect(ds, &DataStream::signalRecvBasicData, [&](ST_BasicData r) {
        ++announced;
        announcedMatches = announcedMatches && r == ds->curDevice->getBasicData();
    });

    const QByteArray rest(reinterpret_cast<const char *>(data + 2), static_cast<int>(size - 2));
    int frames = 0;
    if (serial) {
        FrameGatherer g;
        for (const QByteArray &f : g.feed(rest, 0)) {
            ds->slotUartRecvFrame(f);
            ++frames;
        }
    } else {
        // Datagrams: a length byte, then that many bytes; the sender is one of two addresses.
        int pos = 0;
        while (pos < rest.size()) {
            const int n = static_cast<std::uint8_t>(rest.at(pos)) & 0x7F;
            const bool other = static_cast<std::uint8_t>(rest.at(pos)) & 0x80;
            const QByteArray d = rest.mid(pos + 1, n);
            pos += 1 + n;
            if (!isDatagramFrame(d))
                continue;
            ds->slotUdpRecvFrame(other ? QStringLiteral("10.77.0.9") : QStringLiteral("10.77.0.7"), d);
            ++frames;
        }
    }
    QObject::disconnect(conn);

    check(ds->deviceList.size() <= 1 + frames);
    check(!ds->hasCurrentDevice() || ds->deviceList.contains(ds->curDevice));
    check(announced <= frames && announcedMatches);
    const ST_BasicData after = ds->curDevice->getBasicData();
    for (int i = ST_BasicData::SettingBytes; i < ST_BasicData::Size; ++i)
        check(after.byte(i) == before.byte(i) || !ds->hasCurrentDevice());
    ds->recvTimer->stop();
    return 0;
}
