#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QHostAddress;
class QUdpSocket;

// UDP on every local interface at once, for a program that serves monitors on
// all of them (the fleet). One socket on 0.0.0.0:19522 hears every reply,
// whatever local address it was sent to, and is never rebound: a reply on its
// way to one interface is not lost while a frame goes out of another. Each
// datagram leaves from the local address facing its monitor, out of that
// address's interface (chosen per datagram, as PortDevice::bindForDevice
// chooses what to bind to); a search goes out from every usable local address
// at once. The window keeps PortDevice's one socket bound to one address.
class LanSocket : public QObject
{
    Q_OBJECT
public:
    explicit LanSocket(QObject *parent = nullptr);

    bool isOpen() const;
    QString errorText() const;
    // A frame to the monitor at ip (port 19523); false when it did not go out.
    bool sendTo(const QString &ip, const QByteArray &frame);
    // A frame to 255.255.255.255:19523 from every usable local address.
    void broadcast(const QByteArray &frame);

signals:
    // One whole frame from a monitor; ip in plain IPv4 text.
    void frameReceived(const QString &ip, const QByteArray &frame);

private:
    void collectLocalAddresses();
    // From localAddrs[local] out of its interface; local -1: as the routing table says.
    bool sendFrom(int local, const QHostAddress &to, const QByteArray &frame);
    void readPending();

    QUdpSocket *udp = nullptr;
    QStringList localAddrs;
    QList<int> localPrefixes;
    QList<int> localInterfaces; // the interface index of each entry of localAddrs
};
