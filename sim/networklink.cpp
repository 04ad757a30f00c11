#include "networklink.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framegatherer.h"
#include "pktinfo.h"
#include "simulator.h"

namespace {
using PktInfo::addressText;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

NetworkLink::NetworkLink(Simulator *s, QObject *parent) : QObject(parent), sim(s) {}

NetworkLink::~NetworkLink()
{
    delete readNotifier;
    delete writeNotifier;
    if (fd >= 0)
        ::close(fd);
}

bool NetworkLink::open(const QString &bindAddress, quint16 port, QString *error)
{
    fd = PktInfo::openSocket(bindAddress, port, 1 << 20, false);
    if (fd < 0) {
        *error = QStringLiteral("bind %1:%2: %3").arg(bindAddress).arg(port).arg(errnoText());
        return false;
    }
    start();
    return true;
}

bool NetworkLink::adopt(int socketFd, QString *error)
{
    fd = ::fcntl(socketFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("dup: %1").arg(errnoText());
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    start();
    return true;
}

void NetworkLink::start()
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &NetworkLink::onReadable);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &NetworkLink::onWritable);
}

void NetworkLink::onReadable()
{
    PktInfo::Datagram d;
    // Drained (EAGAIN) or a passing error: the notifier calls again.
    while (PktInfo::receive(fd, &d)) {
        const QByteArray &datagram = d.data;
        const sockaddr_in from = d.from;
        const QString toIp = d.toIp;
        if (d.truncated || !isDatagramFrame(datagram)) {
            sim->log(QStringLiteral("ignored datagram from %1: not one whole frame [%2]")
                         .arg(addressText(from.sin_addr), QString::fromLatin1(datagram.left(32).toHex(' '))));
            continue;
        }
        const QVector<Sim::Reply> replies = sim->receive(datagram, Sim::Link::Network, toIp);
        for (const Sim::Reply &r : replies) {
            const QString fromIp = sim->monitors.at(r.monitor).ip;
            const QByteArray garbage = sim->failures.garbage ? sim->garbageBytes() : QByteArray();
            const QByteArray bytes = r.bytes;
            auto go = [this, fromIp, from, garbage, bytes] {
                if (!garbage.isEmpty())
                    send(fromIp, from, garbage);
                send(fromIp, from, bytes);
            };
            if (sim->failures.delayMs > 0)
                QTimer::singleShot(sim->failures.delayMs, Qt::PreciseTimer, this, go);
            else
                go();
        }
    }
}

void NetworkLink::send(const QString &fromIp, const sockaddr_in &to, const QByteArray &bytes)
{
    queue.enqueue({fromIp, to, bytes});
    if (queue.size() == 1)
        flush();
}

void NetworkLink::onWritable()
{
    flush();
}

void NetworkLink::flush()
{
    while (!queue.isEmpty()) {
        const Outgoing &o = queue.head();
        if (PktInfo::sendFrom(fd, o.fromIp, o.to, o.bytes) >= 0) {
            ++sent;
        } else if (errno == EAGAIN) {
            writeNotifier->setEnabled(true);
            return;
        } else if (errno == ENOBUFS) {
            // The device queue is full; the socket still reads as writable.
            QTimer::singleShot(2, this, &NetworkLink::flush);
            return;
        } else {
            sim->log(QStringLiteral("%1: reply not sent: %2").arg(o.fromIp, errnoText()));
        }
        queue.dequeue();
    }
    writeNotifier->setEnabled(false);
}
