#include "lansocket.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

#include "framegatherer.h"
#include "portdevice.h"

LanSocket::LanSocket(QObject *parent) : QObject(parent), udp(new QUdpSocket(this))
{
    collectLocalAddresses();
    if (!udp->bind(QHostAddress(QHostAddress::AnyIPv4), PortDevice::LocalUdpPort, QAbstractSocket::ShareAddress))
        qCDebug(lcLink) << "udp bind to every address failed:" << udp->errorString();
    udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, PortDevice::UdpReceiveBufferBytes);
    connect(udp, &QUdpSocket::readyRead, this, &LanSocket::readPending);
}

bool LanSocket::isOpen() const
{
    return udp->state() == QAbstractSocket::BoundState;
}

QString LanSocket::errorText() const
{
    return udp->errorString();
}

void LanSocket::collectLocalAddresses()
{
    localAddrs.clear();
    localPrefixes.clear();
    localInterfaces.clear();
    PortDevice::usableLocalAddresses(&localAddrs, &localPrefixes, &localInterfaces);
}

bool LanSocket::sendTo(const QString &ip, const QByteArray &frame)
{
    qCDebug(lcLinkFrames) << "udp >" << ip << frame.toHex(' ');
    const QHostAddress to(ip);
    if (to.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    int from = PortDevice::facingAddress(localAddrs, localPrefixes, ip);
    if (sendFrom(from, to, frame))
        return true;
    if (from < 0)
        return false;
    // The interface may have gone, or come back under another index.
    collectLocalAddresses();
    from = PortDevice::facingAddress(localAddrs, localPrefixes, ip);
    return sendFrom(from, to, frame);
}

void LanSocket::broadcast(const QByteArray &frame)
{
    collectLocalAddresses();
    for (int i = 0; i < localAddrs.size(); ++i) {
        qCDebug(lcLinkFrames) << "udp broadcast >" << localAddrs.at(i) << frame.toHex(' ');
        sendFrom(i, QHostAddress(QHostAddress::Broadcast), frame);
    }
}

// Qt's per-datagram interface index (QNetworkDatagram::setInterfaceIndex) picks
// the interface but not the source address: on Linux it leaves ipi_spec_dst
// empty, and a broadcast from the second address of an interface would leave
// from its first. So the packet info is written here, both fields set.
bool LanSocket::sendFrom(int local, const QHostAddress &to, const QByteArray &frame)
{
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(PortDevice::DeviceUdpPort);
    dest.sin_addr.s_addr = htonl(to.toIPv4Address());
    iovec iov{const_cast<char *>(frame.constData()), static_cast<size_t>(frame.size())};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (local >= 0 && local < localAddrs.size()) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = localInterfaces.at(local);
        info.ipi_spec_dst.s_addr = htonl(QHostAddress(localAddrs.at(local)).toIPv4Address());
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (::sendmsg(static_cast<int>(udp->socketDescriptor()), &msg, MSG_NOSIGNAL) >= 0)
        return true;
    qCDebug(lcLink) << "udp send to" << to.toString() << "from" << (local >= 0 ? localAddrs.value(local) : QString())
                    << "failed:" << std::strerror(errno);
    return false;
}

void LanSocket::readPending()
{
    // Every pending datagram is judged on its own.
    while (udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udp->receiveDatagram();
        const QByteArray data = datagram.data();
        if (!isDatagramFrame(data)) {
            qCDebug(lcLinkFrames) << "udp < dropped" << data.toHex(' ');
            continue;
        }
        // An IPv4-mapped sender such as ::ffff:10.0.0.7 reads as 10.0.0.7.
        bool v4 = false;
        const quint32 sender = datagram.senderAddress().toIPv4Address(&v4);
        const QString ip = v4 ? QHostAddress(sender).toString() : datagram.senderAddress().toString();
        qCDebug(lcLinkFrames) << "udp <" << ip << data.toHex(' ');
        emit frameReceived(ip, data);
    }
}
