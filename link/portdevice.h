#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QQueue>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include "framegatherer.h"

class QTimer;
class QUdpSocket;

Q_DECLARE_LOGGING_CATEGORY(lcLink)
Q_DECLARE_LOGGING_CATEGORY(lcLinkFrames)

// The two links to the monitors: one serial port (RS-422) and one UDP socket.
// Writes frames, broadcasts from every local interface in turn, keeps the socket
// bound to the interface that faces the selected monitor, and hands received
// frames upward one at a time.
class PortDevice : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 LocalUdpPort = 19522;
    static constexpr quint16 DeviceUdpPort = 19523;
    static constexpr int BroadcastStepMs = 200;
    // Room for a burst of a few hundred replies to one search.
    static constexpr int UdpReceiveBufferBytes = 4 * 1024 * 1024;

    // Without UDP the device is a serial port alone: no socket is made or bound.
    enum Links { SerialAndUdp, SerialOnly };
    explicit PortDevice(QObject *parent = nullptr, Links links = SerialAndUdp);
    ~PortDevice() override;

    void openPorts();
    void setSerialPort(const QString &portName, int baudRate);
    void setBaudRate(int baudRate);
    void setPortName(const QString &portName);
    // Both return whether the frame was handed to an open port or socket.
    bool uartSend(const char *data, int length);
    bool udpSendTo(const QString &ipAddr, const char *data, int length);
    void udpBroadcast(const char *data, int length);
    void bindForDevice(const QString &ipAddr);
    void bindLocal(int index);
    void collectLocalAddresses();
    static bool sameThirdOctet(const QString &a, const QString &b);
    // The usable local IPv4 addresses (no loopback, no link-local) in system
    // order, appended with their netmask prefix lengths and, when asked for,
    // the index of their interface.
    static void usableLocalAddresses(QStringList *addrs, QList<int> *prefixes, QList<int> *interfaces = nullptr);
    // The entry of addrs that faces a monitor: the first whose subnet holds it,
    // else the first whose third address field matches; -1 when none does.
    static int facingAddress(const QStringList &addrs, const QList<int> &prefixes, const QString &ipAddr);

    bool isBroadcasting() const;
    bool isSerialOpen() const { return serial && serial->isOpen(); }

    QSerialPort *serial = nullptr;
    // Off (the default): every serial write first discards pending input, the
    // reply to a request being the only one wanted. On: input is kept, for a line
    // whose monitors answer while requests go out to others.
    bool keepInputOnWrite = false;
    QUdpSocket *udp = nullptr;
    const bool withUdp = true;
    QHostAddress senderAddr;
    QStringList localAddrs;          // usable local IPv4 addresses, in system order
    QList<int> localPrefixes;        // netmask prefix length of each entry of localAddrs
    int ifaceIndex = 0;              // next entry of localAddrs to broadcast from
    QString bindAddr;                // local address the UDP socket is bound to
    QTimer *broadcastTimer = nullptr;
    QByteArray pendingFrame;         // frame the running broadcast sends
    QQueue<QByteArray> broadcastQueue; // frames waiting for the running broadcast to finish

signals:
    void signalUartRecvFrame(QByteArray ba);
    void signalUdpRecvFrame(QString ipAddr, QByteArray ba);

public slots:
    void slotUartRecv();
    void slotUdpRecv();
    void slotSearchTimeout();

private:
    void resetUart();
    void startBroadcastOf(const QByteArray &frame);
    void createUdpSocket();
    QList<QPair<QString, QByteArray>> readDatagrams(QUdpSocket *socket);
    void onSerialError(QSerialPort::SerialPortError error);

    FrameGatherer uartGatherer;      // bytes of the serial frame being gathered
    QString openFailure;             // the port that last failed to open and why, until one opens
    QElapsedTimer clock;
};
