#include "ptypair.h"

#include <QSocketNotifier>
#include <QThread>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    path = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (slave >= 0)
        ::close(slave);
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

void PtyPair::write(const QByteArray &bytes) const
{
    int done = 0;
    while (master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += static_cast<int>(n);
        else
            QThread::usleep(100);
    }
}

SerialPeer::SerialPeer(PtyPair &p) : pty(p)
{
    clock.start();
    notifier = new QSocketNotifier(pty.masterFd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SerialPeer::onReadable);
}

void SerialPeer::onReadable()
{
    char buf[4096];
    const ssize_t n = ::read(pty.masterFd(), buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || errno != EAGAIN)
            notifier->setEnabled(false); // the slave side is gone
        return;
    }
    const auto got = gatherer.feed(QByteArray(buf, static_cast<int>(n)), clock.elapsed());
    for (const QByteArray &f : got) {
        frames.append({f, clock.elapsed(), {}, {}});
        emit frameSeen(f);
        const QByteArray reply = answer ? answer(f) : QByteArray();
        if (!reply.isEmpty())
            pty.write(reply);
    }
}
