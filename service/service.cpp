#include "service.h"

#include <QPointer>
#include <QTimer>
#include <QWebSocket>

#include "api.h"
#include "events.h"
#include "fleet.h"
#include "health.h"
#include "target.h"
#include "httpgate.h"
#include "mqttclient.h"
#include "sites.h"
#include "tallybridge.h"
#include "webpage.h"

namespace {
constexpr int kStatusMs = 1000;
}

Service::Service(const ServiceConfig &c, QObject *parent) : QObject(parent), config(c)
{
    fleetPart = new Fleet::Fleet(config.baud, this);
    Api::Options o;
    o.presetsDir = config.presetsDir;
    o.readEveryMs = config.readEveryMs;
    o.discoverLan = config.discoverLan;
    o.discoverSerial = config.discoverSerial;
    o.token = config.token;
    o.corsOrigins = config.corsOrigins;
    o.hosts = config.hosts;
    o.site = config.mqtt.on ? config.mqtt.site : QString();
    o.rooms = config.rooms;
    apiPart = new Api(fleetPart, o, this);
    eventsPart = new Events(apiPart, fleetPart, this);
    Http::Limits limits;
    limits.maxBody = Api::MaxBody;
    limits.maxClients = config.maxClients;
    serverPart = new Http::Server(
        limits,
        [this](const Http::Request &r, const Http::Respond &answer) {
            // Every request answered is counted, whoever answers it.
            const QPointer<Health> health(apiPart->health());
            const Http::Respond respond = [health, answer, method = r.method](const Http::Response &resp) {
                if (health)
                    health->countRequest(method, resp.status);
                answer(resp);
            };
            const Http::Response wrongHost = apiPart->misdirected(r);
            if (wrongHost.status)
                return respond(wrongHost);
            Http::Response page;
            if (WebPage::serve(r, &page))
                return respond(page);
            apiPart->handle(r, respond);
        },
        [this](const Http::Request &r) { return apiPart->upgrade(r); }, this);
    connect(serverPart, &Http::Server::webSocket, this, [this](QWebSocket *ws, const Http::Request &) { eventsPart->add(ws); });
    connect(apiPart, &Api::logLine, this, &Service::logLine);
    connect(eventsPart, &Events::logLine, this, &Service::logLine);
    connect(apiPart, &Api::requestAnswered, this, [this](const QString &method, const QString &path, int status) {
        emit logLine(QStringLiteral("%1 %2: %3").arg(method, path).arg(status));
    });
    connect(fleetPart, &Fleet::Fleet::onlineChanged, this, [this](const QString &key, bool online) {
        emit logLine(QStringLiteral("%1: %2").arg(apiPart->nameOf(key), online ? QStringLiteral("answering") : QStringLiteral("not answering")));
    });
    // The fleet reopens every serial line that has gone; said once each way. A
    // port the configuration has searched is searched again when it comes back
    // (or first appears): the monitors on it may be others now.
    for (const QString &d : qAsConst(config.discoverSerial))
        searchedLines.insert(QStringLiteral("serial:") + Fleet::canonicalPort(d), d);
    connect(fleetPart, &Fleet::Fleet::lineChanged, this, [this](const QString &lineKey, bool open, const QString &text) {
        emit logLine(text);
        if (open && started && searchedLines.contains(lineKey))
            search(false, {searchedLines.value(lineKey)});
    });
    apiPart->health()->watchEvents(eventsPart);
    statusTicker = new QTimer(this);
    connect(statusTicker, &QTimer::timeout, this, [this] {
        const QString now = apiPart->health()->summary();
        if (now != statusLine)
            emit statusChanged(statusLine = now);
    });
    if (config.mqtt.on)
        joinSites();
    if (!config.stateDir.isEmpty()) {
        store = new StateStore(config.stateDir, this);
        store->setSource([this] { return keptState(); });
        connect(store, &StateStore::logLine, this, &Service::logLine);
        connect(fleetPart, &Fleet::Fleet::labelSent, store, &StateStore::changed);
        connect(apiPart, &Api::monitorAdded, this, [this](const QString &name) {
            searched << name;
            store->changed();
        });
    }
}

Service::~Service()
{
    if (store)
        store->flush(); // while the parts it asks are still there
}

quint16 Service::port() const
{
    return serverPart->port();
}

int Service::start(QString *error)
{
    if (!serverPart->listen(config.listen, config.port, error)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3").arg(config.listenText).arg(config.port).arg(*error);
        return ExitPort;
    }
    for (const QString &name : qAsConst(config.names))
        apiPart->addMonitor(name, config.monitors.value(name));
    if (config.hasBridge) {
        // Monitors the map names by place alone get a name from it.
        for (const BridgeMapping &d : qAsConst(config.bridgeMap.displays))
            if (apiPart->nameOf(d.target.address().key()).isEmpty())
                apiPart->addMonitor(nameForPlace(d.target), d.target);
        bridge = new TallyBridge(config.bridgeMap, false, config.baud, this, fleetPart);
        connect(bridge, &TallyBridge::logLine, this, &Service::logLine);
    }
    restoreState();
    if (bridge) {
        if (store)
            connect(bridge, &TallyBridge::stateChanged, store, &StateStore::changed);
        const int status = bridge->start(error);
        if (status != ExitOk)
            return status;
        apiPart->health()->watchTally(bridge->receiver(), config.bridgeMap);
    }
    started = true;
    statusTicker->start(kStatusMs);
    if (mqttPart)
        mqttPart->start();
    if (config.discoverLan || !config.discoverSerial.isEmpty())
        search(config.discoverLan, config.discoverSerial);
    return ExitOk;
}

void Service::joinSites()
{
    MqttClient::Options o = config.mqtt.client;
    if (config.mqtt.publish) {
        // A site that drops off is said gone by the broker.
        o.willTopic = SitePublisher::willTopic(config.mqtt);
        o.willPayload = "false";
    }
    mqttPart = new MqttClient(o, this);
    connect(mqttPart, &MqttClient::logLine, this, &Service::logLine);
    connect(mqttPart, &MqttClient::disconnected, this, [this](const QString &why) {
        emit logLine(QStringLiteral("mqtt: %1: %2; trying again by itself").arg(config.mqtt.broker, why));
    });
    if (config.mqtt.publish) {
        publisher = new SitePublisher(mqttPart, apiPart, fleetPart, config.mqtt, config.rooms, this);
        connect(publisher, &SitePublisher::logLine, this, &Service::logLine);
    }
    if (config.mqtt.allSites || !config.mqtt.sites.isEmpty()) {
        remote = new RemoteSites(mqttPart, config.mqtt, this);
        apiPart->setRemote(remote);
        connect(remote, &RemoteSites::logLine, this, &Service::logLine);
        connect(remote, &RemoteSites::event, eventsPart, &Events::publish);
    }
    apiPart->health()->watchSites(mqttPart, config.mqtt.broker, remote);
}

void Service::search(bool lan, const QStringList &serial)
{
    apiPart->discover(lan, serial, [this](const QStringList &found, const QStringList &added) {
        emit logLine(QStringLiteral("search: %1 monitor(s) found, %2 new").arg(found.size()).arg(added.size()));
    });
}

void Service::restoreState()
{
    if (!store) {
        emit logLine(QStringLiteral("state: none kept (no \"state\" in the configuration, no $STATE_DIRECTORY): labels sent and "
                                    "monitors found by a search are forgotten at a restart"));
        return;
    }
    const StateStore::State saved = store->load();
    QStringList ports; // the serial ports a search may have found monitors on
    for (const QString &d : qAsConst(config.discoverSerial))
        ports << Fleet::canonicalPort(d);
    for (const Fleet::Target &t : qAsConst(config.monitors))
        ports << t.port;
    for (const BridgeMapping &d : qAsConst(config.bridgeMap.displays))
        ports << d.target.port;
    for (const StateStore::Found &f : saved.monitors) {
        Fleet::Target t;
        QString why;
        Fleet::parseTarget(f.target, &t, &why); // load() took it
        const QString now = apiPart->nameOf(f.target); // the configuration's names and places win
        if (apiPart->names().contains(f.name))
            why = QStringLiteral("the name is taken");
        else if (!now.isEmpty())
            why = QStringLiteral("the monitor is %1 now").arg(now);
        else if (t.serial && !ports.contains(t.port))
            why = QStringLiteral("the configuration no longer names its port");
        if (!why.isEmpty()) {
            emit logLine(QStringLiteral("state: %1 (%2), found by an earlier search, left out: %3").arg(f.name, f.target, why));
            continue;
        }
        apiPart->addMonitor(f.name, t);
        searched << f.name;
    }
    int labels = 0;
    for (const StateStore::Label &l : saved.labels)
        labels += apiPart->keyOf(l.monitor) == l.target && fleetPart->restoreLabel(l.target, l.screen, l.slot, l.text);
    int displays = 0;
    if (bridge) {
        QStringList faults;
        displays = bridge->importState(saved.bridge, &faults);
        for (QString &f : faults)
            f.prepend(QStringLiteral("bridge: "));
        store->leftOut(faults);
    }
    emit logLine(QStringLiteral("state: kept in %1 (from %2); taken back: %3 label(s), %4 monitor(s) found by a search, "
                                "%5 bridge display(s)").arg(store->folder(), config.stateFrom).arg(labels).arg(searched.size()).arg(displays));
}

StateStore::State Service::keptState() const
{
    StateStore::State s;
    for (const QString &name : apiPart->names()) {
        const Fleet::Monitor *m = fleetPart->find(apiPart->keyOf(name));
        for (std::size_t screen = 0; m && screen < m->screens.size(); ++screen)
            for (std::size_t slot = 0; slot < 4; ++slot)
                if (m->screens[screen].labelSent[slot])
                    s.labels.append({name, apiPart->keyOf(name), int(screen), int(slot), m->screens[screen].labels[slot]});
    }
    for (const QString &name : searched)
        s.monitors.append({name, apiPart->keyOf(name)});
    if (bridge)
        s.bridge = bridge->exportState();
    return s;
}
