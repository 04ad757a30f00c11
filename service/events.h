#pragma once

#include <QJsonObject>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include "basicdata.h"

class QTimer;
class QWebSocket;
class Api;
namespace Fleet {
class Fleet;
}

// Live events over WebSockets: each client gets one snapshot of every monitor
// and screen when it connects, then one JSON message per change. Every message
// carries a "state" object holding only what it changes, keyed
// monitor -> screen -> field, so a client can follow a value by one path
// ("state.studio-a.1.tally") through the snapshot and the changes alike.
// A client whose unsent messages pass MaxQueuedBytes is closed; the rest go on.
class Events : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 MaxQueuedBytes = 4 * 1024 * 1024;
    static constexpr int SnapshotFreshMs = 1000; // a snapshot is shared this long at most (its silences age)
    // Every client is pinged this often and closed when it has not answered for
    // so long: one whose link went down without a close gives its place back.
    static constexpr int PingEveryMs = 10000;
    static constexpr int SilentMs = 30000;
    void setPing(int everyMs, int silentMs);

    Events(Api *api, Fleet::Fleet *fleet, QObject *parent = nullptr);
    ~Events() override;

    void add(QWebSocket *socket);
    int clients() const { return sockets.size(); }
    // Clients closed by the service since start: not keeping up, or not answering.
    quint64 dropped() const { return droppedCount; }
    void publish(const QJsonObject &message);

signals:
    void logLine(const QString &line);

private:
    void onField(const QString &key, int screen, Field field, int before, int after);
    QJsonObject message(const QString &type, const QString &monitor, int screen, const QJsonObject &fields,
                        const QJsonObject &values) const;

    void pingAll();
    void drop(QWebSocket *socket, const QString &why);

    Api *api;
    Fleet::Fleet *fleet;
    QVector<QWebSocket *> sockets;
    QHash<QWebSocket *, qint64> heardAt; // ms on the monotonic clock
    QTimer *pinger = nullptr;
    int silentMs = SilentMs;
    QString snapshot;       // shared by the clients that connect until a change
    qint64 snapshotAt = -1; // when it was built; -1: to build
    quint64 droppedCount = 0;
};
