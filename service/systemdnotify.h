#pragma once

#include <QObject>
#include <QString>

class QTimer;

// The service manager's notifications (systemd's sd_notify), the one place that
// speaks them: READY=1 once the service listens, STATUS= lines, STOPPING=1 on the
// way out, and the watchdog's keep-alive. The keep-alive comes from a timer of
// the event loop at half the interval the manager asks for (WATCHDOG_USEC, when
// WATCHDOG_PID names this process), so a loop that hangs stops it and the
// manager restarts the service. Built without libsystemd, or run without
// NOTIFY_SOCKET, it does nothing.
class SystemdNotify : public QObject
{
    Q_OBJECT
public:
    static const bool Available; // built with libsystemd

    explicit SystemdNotify(QObject *parent = nullptr);

    // The service is up: READY=1 with a status line; the keep-alive starts.
    void ready(const QString &status);
    void status(const QString &status);
    void stopping();
    // How often the keep-alive goes out, in ms; 0 when no watchdog is asked for.
    int keepAliveMs() const;

private:
    QTimer *keepAlive = nullptr;
};
