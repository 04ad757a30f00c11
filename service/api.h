#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVector>

#include <functional>

#include "exitstatus.h"
#include "target.h"
#include "fleet.h"
#include "httpgate.h"
#include "settingsjson.h"

// The HTTP/JSON API under /api/v1: monitors by name, their screens' settings,
// UMD labels and tally, presets, searches. Requests are checked whole before
// anything is sent; setting frames go out through the fleet, paced per monitor,
// and frames still waiting for the same screen and packet group are merged.
class Health;

// Monitors another service owns (a site joined through a broker): listed beside
// this service's own, answered from what their site last told, and changed by
// asking their site, whose answer becomes the request's.
class RemoteMonitors
{
public:
    virtual ~RemoteMonitors() = default;
    virtual bool owns(const QString &name) const = 0;
    virtual QStringList names() const = 0;
    virtual QJsonObject monitorJson(const QString &name, bool withScreens) const = 0;
    // One screen (1-8) as GET answers it; empty when the monitor has no such screen.
    virtual QJsonObject screenJson(const QString &name, int screen) const = 0;
    virtual QJsonObject state() const = 0;
    virtual QJsonArray sites() const = 0;
    // A request that changes a remote monitor: route names the route ("PATCH
    // /monitors/{name}/screens/{n}"), args its {name} and {n}.
    virtual void forward(const QString &route, const QStringList &args, const QByteArray &body, const Http::Respond &respond) = 0;
};

class Api : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxBody = 64 * 1024;
    static constexpr int MostPresets = 1000;
    static constexpr int SendLimitMs = 30000; // a request whose frames have not gone out by then fails
    static constexpr int MostTickets = 64;    // events tickets outstanding; the oldest goes first

    struct Options {
        QString presetsDir;
        int readEveryMs = 5000;
        bool discoverLan = false;
        QStringList discoverSerial;
        QByteArray token;          // empty: none asked for
        QStringList corsOrigins;
        QStringList hosts;         // names besides localhost and address literals the service is reached by
        int ticketMs = 30000;      // how long an events ticket opens the socket
        QString site;              // this service's site, when it joins others through a broker
        QMap<QString, QString> rooms; // room by monitor name
    };

    // One route: a method and a path pattern with {name}, {n} or {preset} segments,
    // under /api/v1 unless atRoot.
    struct Route {
        const char *method;
        const char *pattern;
        void (Api::*handler)(const Http::Request &, const QStringList &args, const Http::Respond &);
        bool atRoot = false;
    };
    static const QVector<Route> &routes();

    Api(Fleet::Fleet *fleet, const Options &options, QObject *parent = nullptr);

    // A monitor under a name; its screens are read from now on.
    void addMonitor(const QString &name, const Fleet::Target &target);
    QStringList names() const { return order; }
    // This service's monitors and then the remote ones.
    QStringList listed() const;
    void setRemote(RemoteMonitors *r) { remote = r; }
    QString nameOf(const QString &fleetKey) const { return byKey.value(fleetKey); }
    QString keyOf(const QString &name) const { return monitors.value(name).address().key(); }

    void handle(const Http::Request &request, const Http::Respond &respond);
    // A request that came as a command through the broker: routed as one over
    // HTTP, with no token or origin to check (the broker's own access rules hold).
    void command(const QByteArray &method, const QString &path, const QByteArray &body, const Http::Respond &respond);
    // A request whose Host names none of the names the service is reached by (a
    // page whose own name was made to resolve to this machine): its refusal, else
    // status 0. Checked before anything else, the page's files and upgrades included.
    Http::Response misdirected(const Http::Request &request) const;
    // The verdict on a WebSocket upgrade: status 0 accepts it. A ticket it is
    // opened with is used up.
    Http::Response upgrade(const Http::Request &request);

    QJsonObject monitorJson(const QString &name, bool withScreens) const;
    // The sites: this service's own (when it has a site name) and the remote ones.
    QJsonArray sitesJson() const;
    QJsonObject screenJson(const Fleet::Monitor &m, int screen) const;
    // One screen as the events' "state" holds it: its settings, input and labels sent.
    QJsonObject screenState(const Fleet::Monitor &m, int screen) const;
    // Every monitor and screen as the events' "state" object: name -> {online,
    // monitorName, "1": {field: value, ..., input, umd1-umd4}}.
    QJsonObject state() const;
    QJsonObject requestEvent(const QString &method, const QString &path, int status, const QJsonObject &result) const;

    // Searches the LAN and serial ports; monitors not yet named are added.
    void discover(bool lan, const QStringList &serial, const std::function<void(QStringList found, QStringList added)> &done);

    // The OpenAPI description of the routes, its setting fields from the field table.
    static QJsonObject openApi();
    // The settings pages in the window's order and every field a request may set:
    // its caption, page (packet group), range and, where values have names, each
    // value with its name. Which fields a monitor has shows in its screens' settings.
    static QJsonObject fieldTable();
    // Which values each monitor type offers, never enables, or turns off by other
    // settings, and the captions it gives values (the state's type rules).
    static QJsonObject typeTable();
    // How long the monitor has been silent, in ms; null before its first answer.
    QJsonValue silentMs(const Fleet::Monitor &m) const;
    // The health and metrics served at /api/v1/health and /metrics.
    Health *health() const { return healthPart; }

signals:
    void monitorAdded(const QString &name);
    // A request that changed something, with its result (the events' "request").
    void requestDone(const QJsonObject &result);
    // Every request that may change something, answered (for the log).
    void requestAnswered(const QString &method, const QString &path, int status);
    void logLine(const QString &line);

private:
    using Done = std::function<void(bool)>;
    // Called once a queued frame has been written (or could not be): with the record it carried.
    using Waiter = std::function<void(bool written, const ST_BasicData &sent)>;
    struct Outbox {                       // what waits to go out for one screen and packet group
        QString key;                      // the monitor's fleet key
        int screen = 0;
        QVector<SettingsJson::Assignment> wanted;
        int textSlot = -1;                // a UMD text frame: its slot (type 2) or 0
        QString text;
        ST_BasicData built;               // the record of the frame as built
        QVector<Waiter> waiters;
    };

    void listMonitors(const Http::Request &, const QStringList &, const Http::Respond &);
    void getMonitor(const Http::Request &, const QStringList &, const Http::Respond &);
    void getScreen(const Http::Request &, const QStringList &, const Http::Respond &);
    void patchScreen(const Http::Request &, const QStringList &, const Http::Respond &);
    void postUmd(const Http::Request &, const QStringList &, const Http::Respond &);
    void postTally(const Http::Request &, const QStringList &, const Http::Respond &);
    void listPresets(const Http::Request &, const QStringList &, const Http::Respond &);
    void getPreset(const Http::Request &, const QStringList &, const Http::Respond &);
    void putPreset(const Http::Request &, const QStringList &, const Http::Respond &);
    void deletePreset(const Http::Request &, const QStringList &, const Http::Respond &);
    void recall(const Http::Request &, const QStringList &, const Http::Respond &);
    void postDiscover(const Http::Request &, const QStringList &, const Http::Respond &);
    void getOpenApi(const Http::Request &, const QStringList &, const Http::Respond &);
    void getFields(const Http::Request &, const QStringList &, const Http::Respond &);
    void postTicket(const Http::Request &, const QStringList &, const Http::Respond &);
    void getHealth(const Http::Request &, const QStringList &, const Http::Respond &);
    void getMetrics(const Http::Request &, const QStringList &, const Http::Respond &);
    void getSites(const Http::Request &, const QStringList &, const Http::Respond &);
    // The route of the request answered, or its 404/405.
    void route(const Http::Request &r, const Http::Respond &respond);
    // respond, and then the log's and the events' word on a request that may change something.
    Http::Respond told(const Http::Request &r, const Http::Respond &respond);

    // The monitor of a name with its type known (probed when not), or an error response.
    void withMonitor(const QString &name, const Http::Respond &respond, const std::function<void(Fleet::Monitor &)> &then);
    // As withMonitor, and the screen number checked and the screen read (always
    // when fresh, else only when it never was).
    void withScreen(const QStringList &args, bool fresh, const Http::Respond &respond,
                    const std::function<void(Fleet::Monitor &, int screen)> &then);
    // Changes fields of one screen: only the packet groups that differ go out (with
    // always, the fields' groups go out even when the last read shows the values).
    void change(Fleet::Monitor &m, int screen, QVector<SettingsJson::Assignment> fields, bool verify,
                const Http::Respond &respond, bool always = false);
    void sendLabel(Fleet::Monitor &m, int screen, int slot, const QString &text, const Http::Respond &respond);
    // Queues one frame; done() once it has been written, or could not be.
    void queue(const QString &key, int screen, int group, const QVector<SettingsJson::Assignment> &fields,
               int textSlot, const QString &text, const Waiter &done);
    // The screen as it will be once the frames waiting for it have gone out.
    ST_BasicData expected(const Fleet::Monitor &m, int screen) const;
    // False (with 503 answered) when the monitor's line is closed and does not open again.
    bool lineOpen(const Fleet::Monitor &m, const Http::Respond &respond);
    bool build(const QString &outboxKey, const QString &key, int screen, int group, Fleet::Fleet::Setting *out);
    // The label a frame carries to a monitor that files every frame's text as UMD 1's.
    bool labelKnown(const Fleet::Monitor &m, int screen) const;
    static QString outboxKey(const QString &key, int screen, int group, int textSlot);
    // True once for a ticket given out and not expired: it is removed.
    bool takeTicket(const QByteArray &ticket);
    QString presetPath(const QString &name) const;
    void writePreset(const QString &name, const QJsonObject &preset, const Http::Respond &respond);

    Fleet::Fleet *fleet;
    Options options;
    QHash<QString, Fleet::Target> monitors;   // by name
    QStringList order;
    QHash<QString, QString> byKey;        // name of each fleet key
    QHash<QString, Outbox> outbox;
    bool searching = false;
    int sendCount = 0;
    struct Ticket {
        QByteArray value;
        qint64 untilMs;                   // on the clock
    };
    QVector<Ticket> tickets;              // oldest first
    QElapsedTimer clock;
    Health *healthPart = nullptr;
    RemoteMonitors *remote = nullptr;
};
