#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QStringList>

#include "httpgate.h"
#include "tallybridge.h"

class Api;
class Events;
class MqttClient;
class RemoteSites;
namespace Fleet {
class Fleet;
}
namespace Tsl {
class Receiver;
}

// What the service tells a facility's monitoring: a health document (each line
// open or not, each monitor answering or not and how long silent, the tally
// bridge's TSL inputs, the event clients), answered 200 when all is well and 503
// with the reasons when not, and the same in Prometheus' text format with the
// counters since start: setting frames, requests to monitors, API requests,
// TSL messages and event clients dropped.
class Health : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *MetricsType = "text/plain; version=0.0.4; charset=utf-8";

    Health(const Api *api, Fleet::Fleet *fleet, QObject *parent = nullptr);

    // The parts a service adds: its event clients, the tally bridge's TSL receiver.
    void watchEvents(const Events *events);
    void watchTally(const Tsl::Receiver *receiver, const BridgeMap &map);
    // The broker connection, and the sites shown (remote may be null).
    void watchSites(const MqttClient *client, const QString &broker, const RemoteSites *remote);
    // One HTTP request answered.
    void countRequest(const QByteArray &method, int status);

    Http::Response report() const;
    Http::Response metrics() const;
    // "ok: ..." or "degraded: " and the reasons, in one line (the service manager's status).
    QString summary() const;

private:
    // Why the service is not well; empty when it is.
    QStringList reasons() const;
    // The lines of the monitors served, each once, in the order of the monitors.
    QStringList lineKeys() const;

    const Api *api;
    Fleet::Fleet *fleet;
    QPointer<const Events> events;
    QPointer<const Tsl::Receiver> tsl;
    BridgeMap tally;
    QPointer<const MqttClient> mqtt;
    QString broker;
    QPointer<const RemoteSites> remote;
    quint64 tslReceived = 0, tslRejected = 0;
    QElapsedTimer sinceTsl;             // invalid before the first TSL message
    QMap<QPair<QByteArray, int>, quint64> requests; // by method and status
    qint64 startedAtMs = 0;             // since the epoch
};
