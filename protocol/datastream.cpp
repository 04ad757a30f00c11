#include "datastream.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <iterator>
#include <memory>
#include <utility>


Q_LOGGING_CATEGORY(lcProtocol, "telvanor.protocol")

DataStream *dataStream = nullptr;

namespace {
// Field of each UMD slot and multiview window, indexed by slot or window 0-3.
constexpr Field kMvSource[4] = {Field::mvSource1, Field::mvSource2, Field::mvSource3, Field::mvSource4};
constexpr int kUmdGroup = 6;
constexpr int kSourceGroup = 5;
} // namespace

DataStream::DataStream(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<ST_BasicData>("ST_BasicData");
    placeholder = new MachineDevice(this);
    curDevice = placeholder;

    searchTimer = new QTimer(this);
    searchTimer->setTimerType(Qt::PreciseTimer);
    connect(searchTimer, &QTimer::timeout, this, &DataStream::slotFindDevice);
    recvTimer = new QTimer(this);
    connect(recvTimer, &QTimer::timeout, this, &DataStream::slotRecvTimerTimeout);

    port = new PortDevice(this);
    connect(port, &PortDevice::signalUartRecvFrame, this, &DataStream::slotUartRecvFrame);
    connect(port, &PortDevice::signalUdpRecvFrame, this, &DataStream::slotUdpRecvFrame);
}

DataStream::~DataStream()
{
    clearDeviceList();
}

void DataStream::clearDeviceList()
{
    // The current device must never outlive its entry.
    curDevice = placeholder;
    qDeleteAll(deviceList);
    deviceList.clear();
}

// ---------------------------------------------------------------- sending

namespace {
bool quitSeen = false;
}

bool DataStream::quitting()
{
    return quitSeen;
}

int DataStream::waitMs(int ms)
{
    QElapsedTimer clock;
    clock.start();
    // Sleep in a nested event loop: events, timers and received frames are
    // handled during the pause, and the CPU stays idle. Once the application
    // has been told to quit a nested loop no longer runs (it returns -1 at
    // once): the pause ends there instead of spinning out its time. The last
    // round, with no time left, only asks whether a quit came during the pause.
    int left = ms;
    while (!quitSeen && left > 0) {
        QEventLoop loop;
        QTimer::singleShot(left, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        if (loop.exec() < 0)
            quitSeen = true;
        left = ms - static_cast<int>(clock.elapsed());
    }
    if (!quitSeen) {
        QEventLoop probe;
        QTimer::singleShot(0, &probe, &QEventLoop::quit);
        quitSeen = probe.exec() < 0;
    }
    return static_cast<int>(clock.elapsed());
}

Frame::Header DataStream::settingHeader() const
{
    Frame::Header h;
    h.link = static_cast<std::uint8_t>(linkMode);
    h.mask = curDevice->screenMask;
    h.id = sendToAll ? Frame::AllDevices : curDevice->deviceId;
    return h;
}

void DataStream::sendSettingCommand(int group)
{
    const QByteArray frame = Frame::settingCommand(group, settingHeader(), basicData, umdText,
                                                   curDevice->deviceType == 2);
    transmit(frame.constData(), frame.size());
}

void DataStream::sendGroup(int group)
{
    if (deviceList.isEmpty() || !hasCurrentDevice())
        return;
    basicData = curDevice->getBasicData();
    if (groupBytes(group))
        sendSettingCommand(group);
    else if (!sendRecord(currentTarget()))
        return;
    emit signalUpdateDevice();
}

DataStream::SendTarget DataStream::currentTarget() const
{
    SendTarget t = targetFor(*curDevice, screenOfMask(curDevice->screenMask), curDevice->getBasicData(), umdText);
    t.screenMask = curDevice->screenMask;
    t.toAll = sendToAll;
    return t;
}

DataStream::SendTarget DataStream::targetFor(const MachineDevice &device, int screen, const ST_BasicData &record,
                                             const QString &text) const
{
    SendTarget t;
    t.link = linkMode;
    t.portName = port->serial ? port->serial->portName() : QString();
    t.deviceId = device.deviceId;
    t.ipAddr = device.ipAddr;
    t.screenMask = static_cast<std::uint8_t>(1u << screen);
    t.deviceType2 = device.deviceType == 2;
    t.record = record;
    t.umdText = text;
    return t;
}

MachineDevice *DataStream::listedDevice(const QString &ipAddr, int id) const
{
    for (MachineDevice *d : deviceList)
        if (linkMode == LinkSerial ? d->deviceId == id : d->ipAddr == ipAddr)
            return d;
    return nullptr;
}

// A send started on one link (or serial port) ends when the operator switches
// to another: its monitor is no longer reachable the way it was addressed.
bool DataStream::stillOn(const SendTarget &target) const
{
    if (quitSeen || linkMode != target.link)
        return false;
    return target.link != LinkSerial || !port->serial || port->serial->portName() == target.portName;
}

// Called by sendRecord once stillOn() has said the target is still reachable.
void DataStream::transmitTo(const SendTarget &target, const QByteArray &frame)
{
    if (target.link == LinkSerial)
        port->uartSend(frame.constData(), frame.size());
    else if (target.toAll)
        port->udpBroadcast(frame.constData(), frame.size());
    else
        port->udpSendTo(target.ipAddr, frame.constData(), frame.size());
}

bool DataStream::sendRecord(const SendTarget &target)
{
    return sendGroups(target, QVector<int>(std::begin(FullSendGroups), std::end(FullSendGroups)));
}

bool DataStream::sendGroups(const SendTarget &target, const QVector<int> &groups)
{
    Frame::Header h;
    h.link = static_cast<std::uint8_t>(target.link);
    h.mask = target.screenMask;
    h.id = target.toAll ? Frame::AllDevices : target.deviceId;
    bool first = true;
    for (int g : groups) {
        if (!first)
            waitMs(GroupPauseMs);
        first = false;
        if (!stillOn(target))
            return false;
        transmitTo(target, Frame::settingCommand(g, h, target.record, target.umdText, target.deviceType2));
    }
    return true;
}

void DataStream::transmit(const char *frame, int length)
{
    if (quitSeen)
        return;
    if (linkMode == LinkSerial) {
        port->uartSend(frame, length);
    } else if (linkMode == LinkNetwork) {
        const bool isRead = length > Frame::OffCommand
            && static_cast<std::uint8_t>(frame[Frame::OffCommand]) == Frame::CmdRead;
        if (searching || (sendToAll && !isRead))
            port->udpBroadcast(frame, length);
        else
            port->udpSendTo(curDevice->ipAddr, frame, length);
    }
}

int DataStream::selectDevice(int index, int screen)
{
    if (index < 0 || index >= deviceList.size())
        return 0;
    // The periodic read comes once a second, just as the previous read's reply
    // time runs out: restarting the reply timer would then hide a silent monitor
    // for ever. A read still unanswered after its reply time counts as timed out.
    if (recvTimer->isActive() && readSentAt.isValid() && readSentAt.elapsed() >= ReplyTimeoutMs - ReplyTimeSlackMs) {
        slotRecvTimerTimeout();
        // Whoever heard of the time-out may have emptied the list.
        if (index >= deviceList.size())
            return 0;
    }
    recvTimer->stop();
    recvTimer->start(ReplyTimeoutMs);
    readSentAt.start();
    const MachineDevice *const previous = curDevice;
    const std::uint8_t previousMask = curDevice->screenMask;
    curDevice = deviceList.at(index);
    if (screen >= 0 && screen < MachineDevice::MaxScreens)
        curDevice->screenMask = static_cast<std::uint8_t>(1u << screen);
    else if (curDevice->screenMask == 0)
        curDevice->screenMask = 0x01;
    // Another monitor or screen: until this read is answered the working record
    // is still the one picked before, and is not this screen's.
    if (curDevice != previous || curDevice->screenMask != previousMask)
        curDevice->recordReceived = false;
    const QByteArray frame = Frame::readRequest(static_cast<std::uint8_t>(linkMode), curDevice->screenMask,
                                                curDevice->deviceId);
    transmit(frame.constData(), frame.size());
    return curDevice->screenCount;
}

void DataStream::bindForDevice(const QString &ipAddr)
{
    if (linkMode == LinkNetwork)
        port->bindForDevice(ipAddr);
}

void DataStream::setScreen(int screen)
{
    if (screen >= 0 && screen < MachineDevice::MaxScreens)
        curDevice->screenMask = static_cast<std::uint8_t>(1u << screen);
}

int DataStream::currentScreen() const
{
    return screenOfMask(curDevice->screenMask);
}

void DataStream::sendAllToScreen(int screen)
{
    sendAllToScreens({screen});
}

bool DataStream::sendAllToScreens(const QVector<int> &screens)
{
    if (deviceList.isEmpty() || !hasCurrentDevice())
        return true;
    // The current screen stays current: edits made during the copy go to it.
    SendTarget target = currentTarget();
    for (int screen : screens) {
        if (screen < 0 || screen >= MachineDevice::MaxScreens)
            continue;
        target.screenMask = static_cast<std::uint8_t>(1u << screen);
        if (!sendRecord(target))
            return false;
    }
    emit signalUpdateDevice();
    return true;
}

int DataStream::copyDeviceSettings(int from, int to)
{
    if (from < 0 || from >= deviceList.size() || to < 0 || to >= deviceList.size())
        return -1;
    if (deviceList.at(from)->deviceType != deviceList.at(to)->deviceType)
        return -1;
    curDevice->setBasicData(deviceList.at(from)->getBasicData());
    sendGroup(0);
    return 0;
}

void DataStream::storeAndSend(int group)
{
    curDevice->setBasicData(basicData);
    sendGroup(group);
}

void DataStream::setFieldAndSend(Field field, int value, int group)
{
    basicData.set(field, value);
    storeAndSend(group);
}

void DataStream::setUmdSlotOn(int slot, int on)
{
    if (slot >= 0 && slot < 4)
        basicData.set(kUmdOnFields[slot], on);
    storeAndSend(kUmdGroup);
}

void DataStream::setUmdSlotColor(int slot, int color)
{
    if (slot >= 0 && slot < 4)
        basicData.set(kUmdColorFields[slot], color);
    storeAndSend(kUmdGroup);
}

void DataStream::setMvWindowSource(int window, int source)
{
    if (window >= 0 && window < 4)
        basicData.set(kMvSource[window], source);
    storeAndSend(kSourceGroup);
}

void DataStream::enableMv()
{
    setFieldAndSend(Field::mvMode, 1, kSourceGroup);
}

void DataStream::disableMv()
{
    setFieldAndSend(Field::mvMode, 0, kSourceGroup);
}

// ---------------------------------------------------------------- search

void DataStream::startSearch()
{
    clearDeviceList();
    searching = true;
    scanId = 0;
    searchTimer->start(SearchStepMs);
}

void DataStream::probe(const QString &ipAddr, std::uint8_t id)
{
    const QByteArray frame = Frame::searchRequest(static_cast<std::uint8_t>(linkMode), id);
    if (linkMode == LinkNetwork) {
        probedIp = ipAddr;
        port->udpSendTo(ipAddr, frame.constData(), frame.size());
    } else {
        port->uartSend(frame.constData(), frame.size());
    }
}

void DataStream::slotFindDevice()
{
    const std::uint8_t id = linkMode == LinkSerial ? static_cast<std::uint8_t>(scanId & 0xFF) : Frame::AllDevices;
    const QByteArray frame = Frame::searchRequest(static_cast<std::uint8_t>(linkMode), id);
    transmit(frame.constData(), frame.size());

    if (scanId > LastReportedId || linkMode == LinkNetwork) {
        searchTimer->stop();
        scanId = -1;
        waitMs(SearchSettleMs);
        // With many local interfaces the broadcast is still going out: wait for its
        // last datagram and give the monitors behind it the same time to answer.
        if (linkMode == LinkNetwork && port->isBroadcasting()) {
            while (port->isBroadcasting())
                waitMs(PortDevice::BroadcastStepMs);
            waitMs(SearchSettleMs);
        }
        finishSearch();
        ++scanId;
    } else {
        emit signalUartSearchProgress(static_cast<uchar>(scanId & 0xFF));
        ++scanId;
    }
}

void DataStream::finishSearch()
{
    searching = false;
    if (linkMode == LinkNetwork)
        for (const MachineDevice *d : qAsConst(deviceList))
            emit signalFoundDevice(d->ipAddr);
    emit signalSearchCompleted();
}

// ---------------------------------------------------------------- receiving

void DataStream::slotUartRecvFrame(QByteArray ba)
{
    if (linkMode == LinkNetwork)
        return;
    recvFrame = ba;
    parseFrame();
}

void DataStream::slotUdpRecvFrame(QString ipAddr, QByteArray ba)
{
    if (linkMode == LinkSerial)
        return;
    senderIp = ipAddr;
    recvFrame = ba;
    parseFrame();
}

void DataStream::parseFrame()
{
    // Shorter than nine bytes there is no command code: nothing to read.
    if (!Frame::hasCommand(recvFrame))
        return;
    recvTimer->stop();
    timeoutCount = 0;
    switch (Frame::command(recvFrame)) {
    case Frame::CmdSearch:
        parseSearchReply();
        break;
    case Frame::CmdRead:
        parseSettingsReply();
        break;
    default:
        break;
    }
}

void DataStream::parseSearchReply()
{
    // The network list is announced when the search ends; a reply after that
    // would be a device the operator cannot see, so it is not taken.
    const bool probed = linkMode == LinkNetwork && !searching && !probedIp.isEmpty() && senderIp == probedIp;
    if (linkMode == LinkNetwork && !searching && !probed)
        return;
    auto device = std::make_unique<MachineDevice>();
    device->ipAddr = linkMode == LinkNetwork ? senderIp : QString();
    // A monitor on the network reports its own ID in the reply; frames to it carry that ID.
    device->deviceId = Frame::byteAt(recvFrame, Frame::OffId);
    if (listedDevice(device->ipAddr, device->deviceId)) {
        emit signalIDIP_Error();
        return;
    }
    device->setDeviceType(Frame::byteAt(recvFrame, Frame::OffType));
    const std::uint8_t id = device->deviceId;
    addDevice(device.release());
    if (linkMode == LinkSerial)
        emit signalFoundDevice(QStringLiteral("RS ID : %1").arg(id));
    else if (probed)
        emit signalFoundDevice(std::exchange(probedIp, QString()));
}

void DataStream::addDevice(MachineDevice *device)
{
    if (linkMode == LinkSerial) {
        deviceList.append(device);
        return;
    }
    const int key = device->ipLastOctet();
    int at = 0;
    while (at < deviceList.size() && deviceList.at(at)->ipLastOctet() <= key)
        ++at;
    deviceList.insert(at, device);
}

void DataStream::parseSettingsReply()
{
    // A reply from another monitor than the current one must not overwrite the
    // current one's record: the next edit would send those bytes to it.
    if (!hasCurrentDevice())
        return;
    if (linkMode == LinkNetwork && senderIp != curDevice->ipAddr)
        return;
    // A reply cut short would fill the record with zeros, which the next edit
    // would send back to the monitor.
    const int payload = curDevice->deviceType == 2 ? SettingsReply::Type2PayloadLength : SettingsReply::PayloadLength;
    if (recvFrame.size() < SettingsReply::PayloadOffset + payload)
        return;
    const std::uint8_t mask = Frame::byteAt(recvFrame, Frame::OffMask);
    // A reply names the screen whose settings it carries. One for another screen
    // answers an earlier read (another screen has been picked or read since) and
    // must not become this screen's record.
    const bool oneScreen = mask != 0 && (mask & (mask - 1)) == 0;
    if (oneScreen && mask != curDevice->screenMask)
        return;
    // Monitors on a serial line put their ID in byte 7: a reply naming another
    // listed monitor is that monitor's late answer, not the current one's.
    const std::uint8_t id = Frame::byteAt(recvFrame, Frame::OffId);
    if (linkMode == LinkSerial && id != curDevice->deviceId && listedDevice(QString(), id))
        return;
    curDevice->applySettingsReply(recvFrame.mid(SettingsReply::PayloadOffset), mask);
    basicData = curDevice->getBasicData();
    emit signalRecvBasicData(curDevice->getBasicData());
}

void DataStream::slotRecvTimerTimeout()
{
    qDebug() << "recv time out !!!"; // fixed line operators and tools look for
    recvTimer->stop();
    ++timeoutCount;
    if (timeoutCount > TimeoutsTolerated)
        emit signalDeviceTimeout();
}
