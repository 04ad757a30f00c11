#pragma once

#include <QJsonObject>
#include <QObject>
#include <QVector>

#include "basicdata.h"

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

    Events(Api *api, Fleet::Fleet *fleet, QObject *parent = nullptr);
    ~Events() override;

    void add(QWebSocket *socket);
    int clients() const { return sockets.size(); }
    void publish(const QJsonObject &message);

signals:
    void logLine(const QString &line);

private:
    void onField(const QString &key, int screen, Field field, int before, int after);
    QJsonObject message(const QString &type, const QString &monitor, int screen, const QJsonObject &fields,
                        const QJsonObject &values) const;

    Api *api;
    Fleet::Fleet *fleet;
    QVector<QWebSocket *> sockets;
};
