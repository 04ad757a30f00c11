#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

#include "ptypair.h"

class QSocketNotifier;

// Network namespaces that a test creates and removes again, joined by veth
// pairs, so that broadcasts and sends to monitor addresses never leave this
// machine. Needs root (CAP_NET_ADMIN and the ip tool).
class NetLab
{
public:
    NetLab();
    ~NetLab();
    NetLab(const NetLab &) = delete;
    NetLab &operator=(const NetLab &) = delete;

    // Whether namespaces can be made here; why not, otherwise.
    static bool available(QString *why);

    // Creates a namespace and returns its full name.
    QString addNamespace(const QString &tag);
    // Joins two namespaces by a veth pair and gives each end its addresses
    // (CIDR text such as 10.77.0.1/24). Returns the names of the two ends.
    QStringList link(const QString &nsA, const QStringList &addrsA, const QString &nsB, const QStringList &addrsB);
    // Adds many addresses to one device in one go.
    bool addAddresses(const QString &ns, const QString &dev, const QStringList &cidrs);
    // Moves the calling thread into the namespace (sockets it creates stay there).
    static bool enter(const QString &ns);
    // A UDP socket created inside the namespace, bound to ip:port, with broadcast
    // and packet-info enabled. -1 on failure.
    int udpSocketIn(const QString &ns, const QString &ip, quint16 port);
    static bool ip(const QString &command, const QByteArray &input = {});

private:
    QString prefix;
    QStringList namespaces;
    int vethCount = 0;
    QList<int> fds;
};

// A monitor stand-in on the network: one socket on 0.0.0.0:port inside the
// monitors' namespace that hears broadcasts and unicasts, and answers from any
// of the namespace's addresses.
class UdpPeer : public QObject
{
    Q_OBJECT
public:
    struct Reply {
        QString fromIp;
        QByteArray bytes;
    };
    explicit UdpPeer(int fd);
    QList<SeenFrame> frames;
    // Called for each datagram with the address it was sent to; returns the replies.
    std::function<QList<Reply>(const QByteArray &, const QString &toIp)> answer;
    void sendFrom(const QString &fromIp, const QString &toIp, quint16 toPort, const QByteArray &bytes);
signals:
    void frameSeen(QByteArray frame);
private:
    void onReadable();
    int fd;
    QSocketNotifier *notifier;
    QElapsedTimer clock;
};
