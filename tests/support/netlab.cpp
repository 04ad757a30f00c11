#include "netlab.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kPrefix = QStringLiteral("tvl");
}

bool NetLab::available(QString *why)
{
    if (geteuid() != 0) {
        *why = QStringLiteral("network namespaces need root here");
        return false;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty()) {
        *why = QStringLiteral("the ip tool (iproute2) is missing");
        return false;
    }
    return true;
}

bool NetLab::ip(const QStringList &args, const QByteArray &input)
{
    QProcess p;
    p.start(QStringLiteral("ip"), args);
    if (!p.waitForStarted())
        return false;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("ip %s failed: %s", qPrintable(args.join(' ')), p.readAllStandardError().constData());
        return false;
    }
    return true;
}

// Namespaces left behind by a test process that died are removed by the next one.
void NetLab::removeStale()
{
    const QStringList names = QDir(QStringLiteral("/run/netns")).entryList(QDir::Files | QDir::System);
    for (const QString &name : names) {
        if (!name.startsWith(kPrefix))
            continue;
        const int pid = name.mid(kPrefix.size()).section(QLatin1Char('-'), 0, 0).toInt();
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QProcess::execute(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), name});
    }
}

NetLab::NetLab() : prefix(kPrefix + QString::number(::getpid()))
{
    removeStale();
}

NetLab::~NetLab()
{
    for (int fd : qAsConst(fds))
        ::close(fd);
    // Deleting a namespace removes its veth ends and so their peers too.
    for (const QString &ns : qAsConst(namespaces))
        ip({QStringLiteral("netns"), QStringLiteral("del"), ns});
}

QString NetLab::addNamespace(const QString &tag)
{
    const QString name = prefix + QLatin1Char('-') + tag;
    if (!ip({QStringLiteral("netns"), QStringLiteral("add"), name}))
        return {};
    namespaces.append(name);
    ip({QStringLiteral("-n"), name, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
    return name;
}

QStringList NetLab::link(const QString &nsA, const QStringList &addrsA, const QString &nsB, const QStringList &addrsB)
{
    ++vethCount;
    const QString base = QStringLiteral("tv%1v%2").arg(::getpid() % 100000).arg(vethCount);
    const QString a = base + QLatin1Char('a'), b = base + QLatin1Char('b');
    bool ok = ip({QStringLiteral("link"), QStringLiteral("add"), a, QStringLiteral("netns"), nsA, QStringLiteral("type"),
                  QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), b, QStringLiteral("netns"), nsB});
    ok = ok && addAddresses(nsA, a, addrsA) && addAddresses(nsB, b, addrsB);
    ok = ok && ip({QStringLiteral("-n"), nsA, QStringLiteral("link"), QStringLiteral("set"), a, QStringLiteral("up")});
    ok = ok && ip({QStringLiteral("-n"), nsB, QStringLiteral("link"), QStringLiteral("set"), b, QStringLiteral("up")});
    return ok ? QStringList{a, b} : QStringList{};
}

bool NetLab::addAddresses(const QString &ns, const QString &dev, const QStringList &cidrs)
{
    if (cidrs.isEmpty())
        return true;
    QByteArray batch;
    for (const QString &c : cidrs)
        batch += QStringLiteral("addr add %1 dev %2\n").arg(c, dev).toLatin1();
    return ip({QStringLiteral("-n"), ns, QStringLiteral("-batch"), QStringLiteral("-")}, batch);
}

bool NetLab::enter(const QString &ns)
{
    const int fd = ::open(QFile::encodeName(QStringLiteral("/run/netns/") + ns).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return ok;
}

int NetLab::udpSocketIn(const QString &ns, const QString &ip, quint16 port)
{
    int result = -1;
    // setns changes only the calling thread; the socket keeps its namespace.
    std::thread worker([&] {
        if (!enter(ns))
            return;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        const int big = 4 * 1024 * 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip.toLatin1().constData(), &sa.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            ::close(fd);
            return;
        }
        result = fd;
    });
    worker.join();
    if (result >= 0)
        fds.append(result);
    return result;
}

UdpPeer::UdpPeer(int socketFd) : fd(socketFd)
{
    clock.start();
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UdpPeer::onReadable);
}

void UdpPeer::onReadable()
{
    for (;;) {
        char buf[2048];
        char control[256];
        sockaddr_in from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, 0);
        if (n < 0)
            return;
        QString to;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                const auto *info = reinterpret_cast<const in_pktinfo *>(CMSG_DATA(c));
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &info->ipi_addr, text, sizeof text);
                to = QString::fromLatin1(text);
            }
        }
        char fromText[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
        const QByteArray data(buf, static_cast<int>(n));
        frames.append({data, clock.elapsed(), QString::fromLatin1(fromText), to});
        emit frameSeen(data);
        if (!answer)
            continue;
        const auto replies = answer(data, to);
        for (const Reply &r : replies)
            sendFrom(r.fromIp, QString::fromLatin1(fromText), ntohs(from.sin_port), r.bytes);
    }
}

void UdpPeer::sendFrom(const QString &fromIp, const QString &toIp, quint16 toPort, const QByteArray &bytes)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(toPort);
    inet_pton(AF_INET, toIp.toLatin1().constData(), &to.sin_addr);
    iovec iov{const_cast<char *>(bytes.constData()), static_cast<size_t>(bytes.size())};
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    auto *info = reinterpret_cast<in_pktinfo *>(CMSG_DATA(c));
    inet_pton(AF_INET, fromIp.toLatin1().constData(), &info->ipi_spec_dst);
    ::sendmsg(fd, &msg, 0);
}
