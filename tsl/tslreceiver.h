#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>

#include "tsl.h"

namespace Tsl {

// Listens for tally and label messages on any mix of transports: v3.1 over UDP or the
// serial line, v5 over UDP or TCP (several clients). Every display parsed is signalled in
// arrival order; nothing is filtered or collapsed here.
//
// A flood on any input leaves time for everything else the program does: each event-loop
// turn takes at most BatchDatagrams datagrams of a socket or BatchBytes of a TCP client,
// and a TCP client's unread bytes are bounded. TCP clients beyond the limit are closed at
// once, a client that sends nothing for IdleMs is dropped (keepalive finds dead peers), and
// after an accept error (such as no descriptor left) accepting pauses for AcceptPauseMs.
class Receiver : public QObject
{
    Q_OBJECT

public:
    explicit Receiver(QObject *parent = nullptr);

    // Each call replaces an earlier listener of the same kind; port 0 picks a free one.
    bool listenUdp31(quint16 port, const QHostAddress &bind = QHostAddress::Any);
    bool listenUdp5(quint16 port, const QHostAddress &bind = QHostAddress::Any);
    bool listenTcp5(quint16 port, const QHostAddress &bind = QHostAddress::Any);
    // 38400 baud, 8 data bits, even parity, 1 stop bit. Returns whether the port opened; if it
    // fails now or later, it is closed and opened again every RetryMs.
    bool openSerial31(const QString &portName);

    quint16 udp31Port() const { return udp31 ? udp31->localPort() : 0; }
    quint16 udp5Port() const { return udp5 ? udp5->localPort() : 0; }
    quint16 tcp5Port() const { return tcp5 ? tcp5->serverPort() : 0; }
    QString errorString() const { return error; }
    // Whether the v3.1 serial port asked for is open now (false when none is).
    bool serialOpen() const { return serial && serial->isOpen(); }

    static constexpr int RetryMs = 2000;
    static constexpr int DefaultMaxClients = 32;
    static constexpr int MostClients = 1000;
    static constexpr int IdleMs = 5 * 60 * 1000;
    static constexpr int AcceptPauseMs = 1000;
    static constexpr int BatchDatagrams = 64;
    static constexpr int BatchBytes = 16 * 1024;

    // TCP clients served at once (DefaultMaxClients unless set).
    void setMaxClients(int n) { maxClients = n; }
    int clientCount() const { return clients.size(); }

signals:
    void displayReceived(const Tsl::Display &display);
    void packetRejected(const QString &reason);

private:
    bool bindUdp(QPointer<QUdpSocket> &socket, quint16 port, const QHostAddress &bind, bool v5);
    bool tryOpenSerial();
    void serialError(QSerialPort::SerialPortError e);
    void acceptClients();
    void readClient(QTcpSocket *client);
    void readDatagrams(QUdpSocket *socket, bool v5);
    void dropIdleClients();
    void handleV5(const QByteArray &packet);
    void emitAll(const QVector<Display> &displays);

    QPointer<QUdpSocket> udp31;
    QPointer<QUdpSocket> udp5;
    QPointer<QTcpServer> tcp5;
    struct Client {
        V5StreamDecoder decoder;
        qint64 heardAt = 0; // ms on the monotonic clock
    };
    QHash<QTcpSocket *, Client> clients;
    int maxClients = DefaultMaxClients;
    QTimer idleCheck;
    QSerialPort *serial = nullptr;
    V31StreamDecoder serialDecoder;
    QTimer serialRetry;
    QString error;
};

} // namespace Tsl
