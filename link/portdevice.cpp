#include "portdevice.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

Q_LOGGING_CATEGORY(lcLink, "telvanor.link")
Q_LOGGING_CATEGORY(lcLinkFrames, "telvanor.link.frames", QtInfoMsg)

PortDevice::PortDevice(QObject *parent, Links links) : QObject(parent), withUdp(links == SerialAndUdp)
{
    clock.start();
    openPorts();
    broadcastTimer = new QTimer(this);
    broadcastTimer->setTimerType(Qt::PreciseTimer);
    connect(broadcastTimer, &QTimer::timeout, this, &PortDevice::slotSearchTimeout);
}

PortDevice::~PortDevice()
{
    if (serial && serial->isOpen())
        serial->close();
}

void PortDevice::openPorts()
{
    serial = new QSerialPort(this);
    connect(serial, &QSerialPort::readyRead, this, &PortDevice::slotUartRecv);
    connect(serial, &QSerialPort::errorOccurred, this, &PortDevice::onSerialError);
    if (!withUdp)
        return;
    collectLocalAddresses();
    // With no usable local address the socket listens on every address.
    bindAddr = localAddrs.isEmpty() ? QString() : localAddrs.first();
    createUdpSocket();
}

void PortDevice::setSerialPort(const QString &portName, int baudRate)
{
    if (serial->isOpen()) {
        serial->readAll();
        serial->clear(QSerialPort::AllDirections);
        serial->close();
    }
    uartGatherer.reset();
    serial->setPortName(portName);
    if (!serial->open(QIODevice::ReadWrite)) {
        // Said once, not at every try: a port that has gone is tried again every second.
        const QString failure = portName + QLatin1Char('\n') + serial->errorString();
        if (failure != openFailure)
            qCDebug(lcLink) << "serial port" << portName << "did not open:" << serial->errorString();
        openFailure = failure;
        return;
    }
    openFailure.clear();
    serial->setBaudRate(baudRate, QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
}

void PortDevice::setBaudRate(int baudRate)
{
    serial->setBaudRate(baudRate, QSerialPort::AllDirections);
}

void PortDevice::setPortName(const QString &portName)
{
    serial->setPortName(portName);
}

void PortDevice::onSerialError(QSerialPort::SerialPortError error)
{
    // When the adapter is unplugged or the far end goes away the port keeps
    // reporting the error in a tight loop; close it, the next "Refresh" reopens it.
    if ((error == QSerialPort::ResourceError || error == QSerialPort::ReadError) && serial->isOpen()) {
        qCDebug(lcLink) << "serial port closed after error:" << serial->errorString();
        serial->close();
        uartGatherer.reset();
    }
}

// Clears the receive side before a write, so that what arrives next is the answer
// to this frame. The output side is left alone: a frame written just before may
// still be on its way.
void PortDevice::resetUart()
{
    if (serial->isOpen()) {
        serial->readAll();
        serial->clear(QSerialPort::Input);
    }
    uartGatherer.reset();
}

bool PortDevice::uartSend(const char *data, int length)
{
    if (!keepInputOnWrite)
        resetUart();
    if (!serial->isOpen())
        return false;
    qCDebug(lcLinkFrames) << "serial >" << QByteArray(data, length).toHex(' ');
    serial->clearError();
    const bool taken = serial->write(data, length) == length;
    serial->flush();
    // A port whose device has gone fails the write (and is closed by the error handler).
    return taken && serial->isOpen() && serial->error() == QSerialPort::NoError;
}

void PortDevice::slotUartRecv()
{
    const QByteArray chunk = serial->readAll();
    if (chunk.isEmpty())
        return;
    const QList<QByteArray> frames = uartGatherer.feed(chunk, clock.elapsed());
    for (const QByteArray &frame : frames) {
        qCDebug(lcLinkFrames) << "serial <" << frame.toHex(' ');
        emit signalUartRecvFrame(frame);
    }
}

bool PortDevice::udpSendTo(const QString &ipAddr, const char *data, int length)
{
    if (!udp)
        return false;
    qCDebug(lcLinkFrames) << "udp >" << ipAddr << QByteArray(data, length).toHex(' ');
    return udp->writeDatagram(data, length, QHostAddress(ipAddr), DeviceUdpPort) == length;
}

QList<QPair<QString, QByteArray>> PortDevice::readDatagrams(QUdpSocket *socket)
{
    QList<QPair<QString, QByteArray>> frames;
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        const QByteArray data = datagram.data();
        senderAddr = datagram.senderAddress();
        if (!isDatagramFrame(data)) {
            qCDebug(lcLinkFrames) << "udp < dropped" << data.toHex(' ');
            continue;
        }
        // An IPv4-mapped sender such as ::ffff:10.0.0.7 reads as 10.0.0.7.
        QString ip = senderAddr.toString();
        for (int i = 0; i < ip.size(); ++i) {
            if (ip.at(i).isDigit()) {
                ip = ip.mid(i);
                break;
            }
        }
        frames.append({ip, data});
    }
    return frames;
}

void PortDevice::slotUdpRecv()
{
    // Every pending datagram is judged on its own; frames are handed up once the
    // socket is drained, so a handler that rebinds cannot pull it from under us.
    const auto frames = readDatagrams(udp);
    for (const auto &f : frames) {
        qCDebug(lcLinkFrames) << "udp <" << f.first << f.second.toHex(' ');
        emit signalUdpRecvFrame(f.first, f.second);
    }
}

void PortDevice::createUdpSocket()
{
    udp = new QUdpSocket(this);
    const QHostAddress local = bindAddr.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(bindAddr);
    if (!udp->bind(local, LocalUdpPort, QAbstractSocket::ShareAddress))
        qCDebug(lcLink) << "udp bind to" << local.toString() << "failed:" << udp->errorString();
    udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, UdpReceiveBufferBytes);
    connect(udp, &QUdpSocket::readyRead, this, &PortDevice::slotUdpRecv);
}

void PortDevice::bindLocal(int index)
{
    if (!withUdp || index < 0 || index >= localAddrs.size())
        return;
    bindAddr = localAddrs.at(index);
    QList<QPair<QString, QByteArray>> drained;
    if (udp) {
        // Replies already queued on the old socket are still handed up.
        drained = readDatagrams(udp);
        udp->close();
        delete udp;
        udp = nullptr;
    }
    createUdpSocket();
    for (const auto &f : drained)
        emit signalUdpRecvFrame(f.first, f.second);
}

void PortDevice::collectLocalAddresses()
{
    usableLocalAddresses(&localAddrs, &localPrefixes);
}

void PortDevice::usableLocalAddresses(QStringList *addrs, QList<int> *prefixes, QList<int> *interfaces)
{
    const QHostAddress loopback(QStringLiteral("127.0.0.1"));
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip == loopback || ip.protocol() != QAbstractSocket::IPv4Protocol || ip.toIPv4Address() == 0)
                continue;
            const QString text = ip.toString();
            if (text.startsWith(QLatin1String("169")))
                continue; // link-local
            addrs->append(text);
            prefixes->append(entry.prefixLength());
            if (interfaces)
                interfaces->append(iface.index());
        }
    }
}

bool PortDevice::sameThirdOctet(const QString &a, const QString &b)
{
    return a.section(QLatin1Char('.'), 2, 2) == b.section(QLatin1Char('.'), 2, 2);
}

int PortDevice::facingAddress(const QStringList &addrs, const QList<int> &prefixes, const QString &ipAddr)
{
    const QHostAddress target(ipAddr);
    for (int i = 0; i < addrs.size(); ++i) {
        const int prefix = i < prefixes.size() ? prefixes.at(i) : -1;
        if (prefix > 0 && target.isInSubnet(QHostAddress(addrs.at(i)), prefix))
            return i;
    }
    for (int i = 0; i < addrs.size(); ++i)
        if (sameThirdOctet(addrs.at(i), ipAddr))
            return i;
    return -1;
}

void PortDevice::bindForDevice(const QString &ipAddr)
{
    if (localAddrs.size() < 2)
        return;
    const int chosen = facingAddress(localAddrs, localPrefixes, ipAddr);
    if (chosen < 0)
        return;
    if (localAddrs.at(chosen) == bindAddr && udp && udp->state() == QAbstractSocket::BoundState)
        return; // already there; rebinding would only drop queued replies
    bindLocal(chosen);
}

bool PortDevice::isBroadcasting() const
{
    return broadcastTimer->isActive();
}

void PortDevice::udpBroadcast(const char *data, int length)
{
    const QByteArray frame(data, length);
    if (!withUdp)
        return;
    if (broadcastTimer->isActive()) {
        // Every frame goes out from every interface, in the order handed over.
        broadcastQueue.enqueue(frame);
        return;
    }
    startBroadcastOf(frame);
    broadcastTimer->start(BroadcastStepMs);
}

void PortDevice::startBroadcastOf(const QByteArray &frame)
{
    localAddrs.clear();
    localPrefixes.clear();
    collectLocalAddresses();
    ifaceIndex = 0;
    pendingFrame = frame;
}

void PortDevice::slotSearchTimeout()
{
    if (ifaceIndex < localAddrs.size()) {
        bindLocal(ifaceIndex);
    } else if (!broadcastQueue.isEmpty()) {
        // The running frame has gone out everywhere: the next one starts at the
        // first interface on this tick.
        startBroadcastOf(broadcastQueue.dequeue());
        bindLocal(ifaceIndex);
    } else {
        broadcastTimer->stop();
    }
    qCDebug(lcLinkFrames) << "udp broadcast >" << bindAddr << pendingFrame.toHex(' ');
    udp->writeDatagram(pendingFrame, QHostAddress(QHostAddress::Broadcast), DeviceUdpPort);
    ++ifaceIndex;
}
