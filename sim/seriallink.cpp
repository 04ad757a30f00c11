#include "seriallink.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "simulator.h"

namespace {
speed_t speedFor(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

void makeRaw(int fd, speed_t speed)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    tcsetattr(fd, TCSANOW, &t);
}
} // namespace

SerialLink::SerialLink(Simulator *s, QObject *parent) : QObject(parent), sim(s)
{
    clock.start();
    gapTimer = new QTimer(this);
    gapTimer->setSingleShot(true);
    gapTimer->setTimerType(Qt::PreciseTimer);
    connect(gapTimer, &QTimer::timeout, this, &SerialLink::pump);
    lineTimer = new QTimer(this);
    lineTimer->setInterval(1);
    lineTimer->setTimerType(Qt::PreciseTimer);
    connect(lineTimer, &QTimer::timeout, this, &SerialLink::lineTick);
}

void SerialLink::setLineRate(int baud)
{
    // A byte is a start bit, 8 data bits and a stop bit, plus the short idle
    // a UART leaves between bytes: about 11 bit times.
    byteMs = baud > 0 ? 11000.0 / baud : 0;
}

void SerialLink::enqueue(Lane &lane, const QByteArray &bytes)
{
    lane.busyUntilMs = std::max(nowMs(), lane.busyUntilMs) + bytes.size() * byteMs;
    lane.pending += bytes;
    if (!lineTimer->isActive())
        lineTimer->start();
}

// The bytes of the lane that are through by now. Those still on the way are
// always the last ones queued.
QByteArray SerialLink::takeArrived(Lane &lane)
{
    const double left = lane.busyUntilMs - nowMs();
    const int onTheWay = left > 0 ? static_cast<int>(std::ceil(left / byteMs)) : 0;
    const int n = std::max(0, static_cast<int>(lane.pending.size()) - onTheWay);
    if (n > 0)
        lane.lastDoneMs = lane.busyUntilMs - (lane.pending.size() - n) * byteMs;
    const QByteArray out = lane.pending.left(n);
    lane.pending.remove(0, n);
    return out;
}

void SerialLink::lineTick()
{
    const QByteArray in = takeArrived(inbound);
    if (!in.isEmpty())
        handleReceived(in);
    const QByteArray out = takeArrived(outbound);
    if (!out.isEmpty()) {
        unwritten.append(out);
        onWritable();
    }
    if (inbound.pending.isEmpty() && outbound.pending.isEmpty())
        lineTimer->stop();
}

SerialLink::~SerialLink()
{
    delete readNotifier;
    delete writeNotifier;
    if (fd >= 0)
        ::close(fd);
    if (slaveFd >= 0)
        ::close(slaveFd);
}

bool SerialLink::openPty(QString *error)
{
    char name[256] = {};
    if (::openpty(&fd, &slaveFd, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        fd = slaveFd = -1;
        return false;
    }
    // Raw on the slave side: no echo, no line editing, no newline translation.
    makeRaw(slaveFd, B38400);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    devicePath = QString::fromLocal8Bit(name);
    start();
    return true;
}

bool SerialLink::openDevice(const QString &path, int baud, QString *error)
{
    const speed_t speed = speedFor(baud);
    if (speed == B0) {
        *error = QStringLiteral("unsupported baud rate %1").arg(baud);
        return false;
    }
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    makeRaw(fd, speed);
    devicePath = path;
    start();
    return true;
}

void SerialLink::start()
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &SerialLink::onReadable);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &SerialLink::onWritable);
}

void SerialLink::onReadable()
{
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            sim->log(QStringLiteral("serial line closed: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            readNotifier->setEnabled(false);
        }
        return;
    }
    const QByteArray bytes(buf, static_cast<int>(n));
    if (byteMs > 0)
        enqueue(inbound, bytes);
    else
        handleReceived(bytes);
}

void SerialLink::handleReceived(const QByteArray &bytes)
{
    const QList<QByteArray> frames = gatherer.feed(bytes, clock.elapsed());
    for (const QByteArray &frame : frames) {
        const QVector<Sim::Reply> replies = sim->receive(frame, Sim::Link::Serial);
        for (const Sim::Reply &r : replies)
            queueReply(r.bytes);
    }
}

void SerialLink::queueReply(const QByteArray &reply)
{
    const Sim::FailureModes &f = sim->failures;
    const int gap = f.chunkBytes > 0 ? f.chunkGapMs : 0;
    int wait = f.delayMs;
    if (f.garbage) {
        pieces.enqueue({sim->garbageBytes(), wait});
        wait = gap;
    }
    const int step = f.chunkBytes > 0 ? f.chunkBytes : reply.size();
    for (int i = 0; i < reply.size(); i += step) {
        pieces.enqueue({reply.mid(i, step), wait});
        wait = gap;
    }
    pump();
}

void SerialLink::pump()
{
    while (!pieces.isEmpty() && !gapTimer->isActive()) {
        Piece &p = pieces.head();
        if (p.waitMs > 0) {
            gapTimer->start(p.waitMs);
            p.waitMs = 0;
            return;
        }
        writeOut(pieces.dequeue().bytes);
    }
}

void SerialLink::writeOut(const QByteArray &bytes)
{
    if (byteMs > 0) {
        enqueue(outbound, bytes);
        return;
    }
    unwritten.append(bytes);
    onWritable();
}

void SerialLink::onWritable()
{
    while (!unwritten.isEmpty()) {
        const ssize_t n = ::write(fd, unwritten.constData(), static_cast<size_t>(unwritten.size()));
        if (n > 0) {
            written += n;
            unwritten.remove(0, static_cast<int>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            writeNotifier->setEnabled(true); // the far side is not reading yet
            return;
        }
        sim->log(QStringLiteral("serial write failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        unwritten.clear();
    }
    writeNotifier->setEnabled(false);
}
