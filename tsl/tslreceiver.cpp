#include "tslreceiver.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTcpSocket>

namespace Tsl {

Receiver::Receiver(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<Tsl::Display>("Tsl::Display");
    serialRetry.setInterval(RetryMs);
    serialRetry.setSingleShot(true);
    connect(&serialRetry, &QTimer::timeout, this, &Receiver::tryOpenSerial);
    idleCheck.setInterval(IdleMs / 10);
    connect(&idleCheck, &QTimer::timeout, this, &Receiver::dropIdleClients);
}

namespace {
qint64 nowMs() { return QDeadlineTimer::current().deadline(); }
} // namespace

bool Receiver::bindUdp(QPointer<QUdpSocket> &socket, quint16 port, const QHostAddress &bind, bool v5)
{
    delete socket;
    socket = new QUdpSocket(this);
    QUdpSocket *s = socket;
    if (!s->bind(bind, port)) {
        error = QStringLiteral("UDP port %1: %2").arg(port).arg(s->errorString());
        delete socket;
        return false;
    }
    connect(s, &QUdpSocket::readyRead, this, [this, s, v5] { readDatagrams(s, v5); });
    return true;
}

void Receiver::readDatagrams(QUdpSocket *s, bool v5)
{
    for (int n = 0; n < BatchDatagrams && s->hasPendingDatagrams(); ++n) {
        const QByteArray data = s->receiveDatagram().data();
        if (v5) {
            handleV5(data);
            continue;
        }
        const QVector<Display> displays = parseV31(data);
        if (displays.isEmpty() && !data.isEmpty())
            emit packetRejected(QStringLiteral("v3.1 datagram of %1 bytes holds no message").arg(data.size()));
        emitAll(displays);
    }
    // The rest keeps the socket readable, so its notifier calls again in the next turn, after
    // whatever else is waiting. Nothing else may read: Qt takes each wake-up as a datagram
    // announced and announces no other until one is read, and a read from elsewhere (a
    // zero-time timer) can empty the socket between a wake-up and its readyRead, which then
    // finds nothing to read; the port would stay deaf from then on.
}

bool Receiver::listenUdp31(quint16 port, const QHostAddress &bind) { return bindUdp(udp31, port, bind, false); }

bool Receiver::listenUdp5(quint16 port, const QHostAddress &bind) { return bindUdp(udp5, port, bind, true); }

bool Receiver::listenTcp5(quint16 port, const QHostAddress &bind)
{
    delete tcp5; // its clients go with it
    clients.clear();
    tcp5 = new QTcpServer(this);
    if (!tcp5->listen(bind, port)) {
        error = QStringLiteral("TCP port %1: %2").arg(port).arg(tcp5->errorString());
        delete tcp5;
        return false;
    }
    connect(tcp5, &QTcpServer::newConnection, this, &Receiver::acceptClients);
    connect(tcp5, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        error = QStringLiteral("TCP port %1: %2").arg(tcp5->serverPort()).arg(tcp5->errorString());
        tcp5->pauseAccepting(); // retrying at once would only fail again
        QTimer::singleShot(AcceptPauseMs, tcp5, [server = tcp5.data()] { server->resumeAccepting(); });
    });
    idleCheck.start();
    return true;
}

void Receiver::acceptClients()
{
    while (QTcpSocket *client = tcp5->nextPendingConnection()) {
        if (clients.size() >= maxClients) {
            client->close();
            client->deleteLater();
            continue;
        }
        client->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        client->setReadBufferSize(4 * BatchBytes);
        clients.insert(client, Client{V5StreamDecoder(), nowMs()});
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readClient(client); });
        connect(client, &QTcpSocket::disconnected, this, [this, client] {
            clients.remove(client);
            client->deleteLater();
        });
    }
}

void Receiver::readClient(QTcpSocket *client)
{
    auto it = clients.find(client);
    if (it == clients.end())
        return;
    it->heardAt = nowMs();
    const QVector<QByteArray> packets = it->decoder.feed(client->read(BatchBytes));
    for (const QByteArray &packet : packets)
        handleV5(packet);
    if (clients.contains(client) && client->bytesAvailable() > 0) // the rest in the next turn
        QTimer::singleShot(0, client, [this, client] { readClient(client); });
}

void Receiver::dropIdleClients()
{
    const qint64 now = nowMs();
    const QList<QTcpSocket *> all = clients.keys();
    for (QTcpSocket *client : all)
        if (now - clients.value(client).heardAt >= IdleMs) {
            clients.remove(client);
            client->abort();
            client->deleteLater();
        }
}

void Receiver::handleV5(const QByteArray &packet)
{
    QString why;
    emitAll(parseV5(packet, &why));
    if (!why.isEmpty())
        emit packetRejected(why);
}

void Receiver::emitAll(const QVector<Display> &displays)
{
    for (const Display &d : displays)
        emit displayReceived(d);
}

bool Receiver::openSerial31(const QString &portName)
{
    if (!serial) {
        serial = new QSerialPort(this);
        connect(serial, &QSerialPort::errorOccurred, this, &Receiver::serialError);
        connect(serial, &QSerialPort::readyRead, this, [this] {
            for (const QByteArray &message : serialDecoder.feed(serial->readAll()))
                emitAll(parseV31(message));
        });
    }
    serialRetry.stop();
    serial->close();
    serial->setPortName(portName);
    return tryOpenSerial();
}

bool Receiver::tryOpenSerial()
{
    serialDecoder = V31StreamDecoder();
    serial->setBaudRate(38400);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::EvenParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    if (serial->open(QIODevice::ReadOnly))
        return true;
    error = QStringLiteral("serial port %1: %2").arg(serial->portName(), serial->errorString());
    serialRetry.start();
    return false;
}

void Receiver::serialError(QSerialPort::SerialPortError e)
{
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || !serial->isOpen())
        return;
    error = QStringLiteral("serial port %1: %2").arg(serial->portName(), serial->errorString());
    serial->close();
    serialRetry.start();
}

} // namespace Tsl
