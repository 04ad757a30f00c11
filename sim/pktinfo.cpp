#include "pktinfo.h"

#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace PktInfo {

QString addressText(const in_addr &a)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return QString::fromLatin1(text);
}

sockaddr_in endpoint(const QString &ip, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.toLatin1().constData(), &sa.sin_addr);
    return sa;
}

int openSocket(const QString &ip, quint16 port, int receiveBuffer, bool nonBlocking)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    // As root the buffer may exceed the system's cap; otherwise the cap applies.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.toLatin1().constData(), &sa.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool receive(int fd, Datagram *out)
{
    char buf[2048];
    char control[256];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &out->from;
    msg.msg_namelen = sizeof out->from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n < 0)
        return false;
    out->toIp.clear();
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            out->toIp = addressText(info.ipi_addr);
        }
    }
    out->data = QByteArray(buf, static_cast<int>(n));
    out->truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    return true;
}

long sendFrom(int fd, const QString &fromIp, const sockaddr_in &to, const QByteArray &bytes)
{
    sockaddr_in dest = to;
    iovec iov{const_cast<char *>(bytes.constData()), static_cast<size_t>(bytes.size())};
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    ::inet_pton(AF_INET, fromIp.toLatin1().constData(), &info.ipi_spec_dst);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    return static_cast<long>(::sendmsg(fd, &msg, 0));
}

} // namespace PktInfo
