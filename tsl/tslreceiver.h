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

    static constexpr int RetryMs = 2000;

signals:
    void displayReceived(const Tsl::Display &display);
    void packetRejected(const QString &reason);

private:
    bool bindUdp(QPointer<QUdpSocket> &socket, quint16 port, const QHostAddress &bind, bool v5);
    bool tryOpenSerial();
    void serialError(QSerialPort::SerialPortError e);
    void acceptClients();
    void handleV5(const QByteArray &packet);
    void emitAll(const QVector<Display> &displays);

    QPointer<QUdpSocket> udp31;
    QPointer<QUdpSocket> udp5;
    QPointer<QTcpServer> tcp5;
    QHash<QTcpSocket *, V5StreamDecoder> clients;
    QSerialPort *serial = nullptr;
    V31StreamDecoder serialDecoder;
    QTimer serialRetry;
    QString error;
};

} // namespace Tsl
