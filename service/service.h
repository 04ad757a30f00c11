#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include "config.h"
#include "statestore.h"

class Api;
class Events;
class MqttClient;
class RemoteSites;
class SitePublisher;
class TallyBridge;
class QTimer;
namespace Fleet {
class Fleet;
}
namespace Http {
class Server;
}

// telvanord's parts on one fleet: the monitors it is given or finds, the API,
// the events and, when configured, the tally bridge, all sharing the lines.
class Service : public QObject
{
    Q_OBJECT
public:
    explicit Service(const ServiceConfig &config, QObject *parent = nullptr);
    ~Service() override;

    // Opens the lines and starts listening: ExitOk, or ExitPort with *error set.
    int start(QString *error);
    quint16 port() const;

    Api *api() const { return apiPart; }
    Events *events() const { return eventsPart; }
    Fleet::Fleet *fleet() const { return fleetPart; }
    Http::Server *server() const { return serverPart; }
    StateStore *stateStore() const { return store; } // null when no state is kept
    MqttClient *mqtt() const { return mqttPart; }     // null without an "mqtt" section
    RemoteSites *remoteSites() const { return remote; } // null unless other sites are shown

signals:
    void logLine(const QString &line);
    // The service's health in one line, when it changes ("ok: ...", "degraded: ...").
    void statusChanged(const QString &status);

private:
    void search(bool lan, const QStringList &serial);
    // Joins the other sites through the broker: this one's monitors out, theirs in.
    void joinSites();
    // What an earlier run kept, taken back before anything starts: nothing goes out for it.
    void restoreState();
    StateStore::State keptState() const;

    ServiceConfig config;
    Fleet::Fleet *fleetPart = nullptr;
    Api *apiPart = nullptr;
    Events *eventsPart = nullptr;
    Http::Server *serverPart = nullptr;
    TallyBridge *bridge = nullptr;
    QHash<QString, QString> searchedLines; // the configuration's search ports: device by line key
    bool started = false;
    QTimer *statusTicker = nullptr;        // the health summary, looked at every second
    QString statusLine;                    // as last told by statusChanged
    StateStore *store = nullptr;
    QStringList searched;                  // monitors a search found, by name
    MqttClient *mqttPart = nullptr;
    SitePublisher *publisher = nullptr;
    RemoteSites *remote = nullptr;
};
