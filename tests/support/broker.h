#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private mosquitto broker (Debian's /usr/sbin/mosquitto) for a test: its own
// configuration in a temporary folder, one listener on 127.0.0.1 at a port that was
// free when the broker was made, anonymous clients, nothing kept on disk. Stopped when
// it goes.
class Broker
{
public:
    Broker();
    ~Broker() { stop(); }

    // Starts it and waits until its port takes a connection: false (and why) when it does not.
    bool start(QString *why = nullptr);
    void stop() { process.terminate(); process.waitForFinished(10000); } // returns once it has ended
    void kill() { process.kill(); process.waitForFinished(10000); }      // its clients are cut off
    bool restart(QString *why = nullptr) { stop(); return start(why); } // on the same port
    quint16 port() const { return listenPort; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(listenPort); }

private:
    QTemporaryDir dir;
    QProcess process;
    quint16 listenPort = 0;
};
