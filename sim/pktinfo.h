#pragma once

#include <QByteArray>
#include <QString>

#include <netinet/in.h>

// UDP with packet info: which local address a datagram was sent to, and which
// local address a reply leaves from. A simulated monitor is told apart by its
// address, so both directions matter. The socket needs IP_PKTINFO switched on.
namespace PktInfo {

struct Datagram {
    QByteArray data;
    sockaddr_in from{};
    QString toIp;        // destination address (a monitor's, or a broadcast address)
    bool truncated = false;
};

QString addressText(const in_addr &a);
sockaddr_in endpoint(const QString &ip, quint16 port);

// Creates a UDP socket bound to ip:port with address sharing, broadcast and
// packet info on, and the given receive buffer. -1 on failure (errno tells why).
int openSocket(const QString &ip, quint16 port, int receiveBuffer, bool nonBlocking);
// Reads one datagram; false when none is pending or on error.
bool receive(int fd, Datagram *out);
// Sends one datagram from the local address fromIp; the result of sendmsg.
long sendFrom(int fd, const QString &fromIp, const sockaddr_in &to, const QByteArray &bytes);

} // namespace PktInfo
