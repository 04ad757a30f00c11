#include "netlab.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <thread>

#include "pktinfo.h"

#include <fcntl.h>
#include <sched.h>
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

bool NetLab::ip(const QString &command, const QByteArray &input)
{
    QProcess p;
    const QStringList args = command.split(QLatin1Char(' '));
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

// Names carry the process ID, so test processes running side by side never
// touch each other's namespaces; each removes only the ones it made.
NetLab::NetLab() : prefix(kPrefix + QString::number(::getpid()))
{
}

NetLab::~NetLab()
{
    for (int fd : qAsConst(fds))
        ::close(fd);
    // Deleting a namespace removes its veth ends and so their peers too.
    for (const QString &ns : qAsConst(namespaces))
        ip(QStringLiteral("netns del ") + ns);
}

QString NetLab::addNamespace(const QString &tag)
{
    const QString name = prefix + QLatin1Char('-') + tag;
    if (!ip(QStringLiteral("netns add ") + name))
        return {};
    namespaces.append(name);
    ip(QStringLiteral("-n %1 link set lo up").arg(name));
    return name;
}

QStringList NetLab::link(const QString &nsA, const QStringList &addrsA, const QString &nsB, const QStringList &addrsB)
{
    ++vethCount;
    const QString base = QStringLiteral("tv%1v%2").arg(::getpid() % 100000).arg(vethCount);
    const QString a = base + QLatin1Char('a'), b = base + QLatin1Char('b');
    bool ok = ip(QStringLiteral("link add %1 netns %2 type veth peer name %3 netns %4").arg(a, nsA, b, nsB));
    ok = ok && addAddresses(nsA, a, addrsA) && addAddresses(nsB, b, addrsB);
    ok = ok && ip(QStringLiteral("-n %1 link set %2 up").arg(nsA, a)) && ip(QStringLiteral("-n %1 link set %2 up").arg(nsB, b));
    return ok ? QStringList{a, b} : QStringList{};
}

bool NetLab::addAddresses(const QString &ns, const QString &dev, const QStringList &cidrs)
{
    if (cidrs.isEmpty())
        return true;
    QByteArray batch;
    for (const QString &c : cidrs)
        batch += QStringLiteral("addr add %1 dev %2\n").arg(c, dev).toLatin1();
    return ip(QStringLiteral("-n %1 -batch -").arg(ns), batch);
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
        if (enter(ns))
            result = PktInfo::openSocket(ip, port, 4 * 1024 * 1024, true);
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
    PktInfo::Datagram d;
    while (PktInfo::receive(fd, &d)) {
        const QString from = PktInfo::addressText(d.from.sin_addr);
        frames.append({d.data, clock.elapsed(), from, d.toIp});
        emit frameSeen(d.data);
        if (!answer)
            continue;
        const auto replies = answer(d.data, d.toIp);
        for (const Reply &r : replies)
            PktInfo::sendFrom(fd, r.fromIp, d.from, r.bytes);
    }
}

void UdpPeer::sendFrom(const QString &fromIp, const QString &toIp, quint16 toPort, const QByteArray &bytes)
{
    PktInfo::sendFrom(fd, fromIp, PktInfo::endpoint(toIp, toPort), bytes);
}
