#include "systemdnotify.h"

#include <QTimer>

#include <algorithm>

#ifdef TELVANOR_SYSTEMD
#include <systemd/sd-daemon.h>
const bool SystemdNotify::Available = true;
#else
const bool SystemdNotify::Available = false;
#endif

namespace {
void notify(const QByteArray &state)
{
#ifdef TELVANOR_SYSTEMD
    sd_notify(0, state.constData());
#else
    Q_UNUSED(state);
#endif
}

// A status is one line.
QByteArray statusLine(const QString &status)
{
    return "STATUS=" + QString(status).replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8();
}
} // namespace

SystemdNotify::SystemdNotify(QObject *parent) : QObject(parent)
{
#ifdef TELVANOR_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        keepAlive = new QTimer(this);
        keepAlive->setInterval(static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, 3600 * 1000)));
        connect(keepAlive, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
    }
#endif
}

void SystemdNotify::ready(const QString &status)
{
    notify("READY=1\n" + statusLine(status));
    if (keepAlive) {
        notify("WATCHDOG=1");
        keepAlive->start();
    }
}

void SystemdNotify::status(const QString &status)
{
    notify(statusLine(status));
}

void SystemdNotify::stopping()
{
    if (keepAlive)
        keepAlive->stop();
    notify("STOPPING=1");
}

int SystemdNotify::keepAliveMs() const
{
    return keepAlive ? keepAlive->interval() : 0;
}
