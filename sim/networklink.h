#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

#include <netinet/in.h>

class QSocketNotifier;
class Simulator;

// The simulator on the network: one UDP socket on 0.0.0.0:19523 hears the
// panel's broadcasts and the datagrams sent to any monitor's address. The
// destination address of each datagram (IP_PKTINFO) tells which monitor it was
// sent to, and every reply leaves from its monitor's own address, because the
// panel tells monitors apart by the sender address. Those addresses must be
// configured on this host (or in its network namespace).
class NetworkLink : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 MonitorPort = 19523;

    explicit NetworkLink(Simulator *sim, QObject *parent = nullptr);
    ~NetworkLink() override;

    // Creates and binds the socket.
    bool open(const QString &bindAddress, quint16 port, QString *error);
    // Uses a socket made elsewhere (for instance inside another network
    // namespace); it must be bound and have IP_PKTINFO on. The link keeps a
    // duplicate of the descriptor.
    bool adopt(int socketFd, QString *error);

    int datagramsSent() const { return sent; }

private:
    struct Outgoing {
        QString fromIp;
        sockaddr_in to;
        QByteArray bytes;
    };
    void start();
    void onReadable();
    void onWritable();
    void send(const QString &fromIp, const sockaddr_in &to, const QByteArray &bytes);
    void flush();

    Simulator *sim;
    int fd = -1;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QQueue<Outgoing> queue;
    int sent = 0;
};
