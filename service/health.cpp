#include "health.h"

#include "mqttclient.h"
#include "sites.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>

#include "api.h"
#include "events.h"
#include "fleet.h"
#include "tslreceiver.h"

namespace {
// A label value in the text format: backslash, double quote and line feed escaped.
QByteArray labelValue(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8())
        out += c == '\\' ? QByteArray("\\\\") : c == '"' ? QByteArray("\\\"") : c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    return out;
}

// The text format, one metric family after another.
class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const char *name, const QVector<QPair<const char *, QString>> &labels, const QByteArray &value)
    {
        text += name;
        for (int i = 0; i < labels.size(); ++i)
            text += (i ? "," : "{") + QByteArray(labels[i].first) + "=\"" + labelValue(labels[i].second) + '"';
        text += (labels.isEmpty() ? " " : "} ") + value + '\n';
    }
    void sample(const char *name, const QVector<QPair<const char *, QString>> &labels, quint64 value)
    {
        sample(name, labels, QByteArray::number(value));
    }
    QByteArray text;
};

QByteArray seconds(qint64 ms)
{
    return QByteArray::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}
} // namespace

Health::Health(const Api *a, Fleet::Fleet *f, QObject *parent) : QObject(parent), api(a), fleet(f)
{
    startedAtMs = QDateTime::currentMSecsSinceEpoch();
}

void Health::watchEvents(const Events *e)
{
    events = e;
}

void Health::watchTally(const Tsl::Receiver *receiver, const BridgeMap &map)
{
    tsl = receiver;
    tally = map;
    connect(receiver, &Tsl::Receiver::displayReceived, this, [this] {
        ++tslReceived;
        sinceTsl.start();
    });
    connect(receiver, &Tsl::Receiver::packetRejected, this, [this] { ++tslRejected; });
}

void Health::watchSites(const MqttClient *client, const QString &url, const RemoteSites *sites)
{
    mqtt = client;
    broker = url;
    remote = sites;
}

void Health::countRequest(const QByteArray &method, int status)
{
    ++requests[qMakePair(method, status)];
}

QStringList Health::lineKeys() const
{
    QStringList keys;
    for (const QString &name : api->names()) {
        const QString key = fleet->find(api->keyOf(name))->address.lineKey();
        if (!keys.contains(key))
            keys << key;
    }
    return keys;
}

QStringList Health::reasons() const
{
    QStringList why;
    for (const QString &key : lineKeys())
        if (!fleet->lineIsOpen(key))
            why << QStringLiteral("%1: not open (%2)").arg(key, fleet->lineError(key));
    for (const QString &name : api->names()) {
        const Fleet::Monitor &m = *fleet->find(api->keyOf(name));
        if (!m.online)
            why << (m.lastAnswerMs < 0 ? QStringLiteral("%1: not answering (never answered)").arg(name)
                                       : QStringLiteral("%1: not answering for %2 s").arg(name).arg(api->silentMs(m).toInteger() / 1000));
    }
    if (tsl && !tally.serial31.isEmpty() && !tsl->serialOpen())
        why << QStringLiteral("TSL serial port %1: not open (%2)").arg(tally.serial31, tsl->errorString());
    if (mqtt && !mqtt->isConnected())
        why << QStringLiteral("broker %1: not connected").arg(broker);
    if (remote)
        for (const QJsonValue &site : remote->sites())
            if (!site["online"].toBool())
                why << QStringLiteral("site %1: gone").arg(site["site"].toString());
            else if (site["monitors"].toInt() < site["monitorsTold"].toInt()) // a broker whose queue overflowed drops state
                why << QStringLiteral("site %1: %2 of its %3 monitors heard of (a broker dropping messages? see max_queued_messages)")
                           .arg(site["site"].toString()).arg(site["monitors"].toInt()).arg(site["monitorsTold"].toInt());
    return why;
}

QString Health::summary() const
{
    const QStringList why = reasons();
    if (!why.isEmpty())
        return QStringLiteral("degraded: ") + why.join(QLatin1String("; "));
    return QStringLiteral("ok: %1 monitor(s) answering on %2 line(s)").arg(api->names().size()).arg(lineKeys().size());
}

Http::Response Health::report() const
{
    QJsonArray lines, monitors;
    for (const QString &key : lineKeys()) {
        QJsonObject o{{"line", key}, {"open", fleet->lineIsOpen(key)}};
        if (!fleet->lineIsOpen(key))
            o.insert("error", fleet->lineError(key));
        lines.append(o);
    }
    for (const QString &name : api->names()) {
        const Fleet::Monitor &m = *fleet->find(api->keyOf(name));
        monitors.append(QJsonObject{{"name", name}, {"line", m.address.lineKey()}, {"answering", m.online}, {"silentMs", api->silentMs(m)}});
    }
    QJsonObject doc{{"lines", lines}, {"monitors", monitors}, {"eventClients", events ? events->clients() : 0}};
    if (tsl) {
        QJsonArray inputs;
        for (const auto &[kind, port] : {qMakePair("udp31", tally.udp31), qMakePair("udp5", tally.udp5), qMakePair("tcp5", tally.tcp5)})
            if (port)
                inputs.append(QJsonObject{{"input", kind}, {"port", port}});
        if (!tally.serial31.isEmpty())
            inputs.append(QJsonObject{{"input", "serial31"}, {"port", tally.serial31}, {"open", tsl->serialOpen()}});
        doc.insert("tally", QJsonObject{{"inputs", inputs}, {"received", qint64(tslReceived)}, {"rejected", qint64(tslRejected)},
                                        {"lastMessageMs", sinceTsl.isValid() ? QJsonValue(sinceTsl.elapsed()) : QJsonValue()}});
    }
    if (mqtt)
        doc.insert("mqtt", QJsonObject{{"broker", broker}, {"connected", mqtt->isConnected()},
                                       {"sites", remote ? remote->sites() : QJsonArray()}});
    const QStringList why = reasons();
    doc.insert("status", why.isEmpty() ? "ok" : "degraded");
    Http::Response r;
    if (!why.isEmpty()) {
        r.status = 503;
        doc.insert("reasons", QJsonArray::fromStringList(why));
        doc.insert("error", summary());
    }
    r.body = QJsonDocument(doc).toJson(QJsonDocument::Compact);
    r.headers += {{"Cache-Control", "no-store"}};
    return r;
}

Http::Response Health::metrics() const
{
    Exposition e;
    e.family("telvanor_build_info", "gauge", "The version of telvanord (the value is always 1).");
    e.sample("telvanor_build_info", {{"version", QStringLiteral(TELVANOR_VERSION)}}, 1);
    e.family("telvanor_start_time_seconds", "gauge", "When the service started, in seconds since 1970; its counters count from then.");
    e.text += "telvanor_start_time_seconds " + seconds(startedAtMs) + '\n';
    e.family("telvanor_monitors", "gauge", "Monitors the service serves.");
    e.sample("telvanor_monitors", {}, quint64(api->names().size()));
    e.family("telvanor_line_open", "gauge", "Whether a line to monitors (serial:PORT, or lan) is open.");
    for (const QString &key : lineKeys())
        e.sample("telvanor_line_open", {{"line", key}}, fleet->lineIsOpen(key) ? 1 : 0);
    QVector<const Fleet::Monitor *> served;
    for (const QString &name : api->names())
        served << fleet->find(api->keyOf(name));
    const auto perMonitor = [&](const char *name, const char *type, const char *help, const std::function<QByteArray(const Fleet::Monitor &)> &value) {
        e.family(name, type, help);
        for (int i = 0; i < served.size(); ++i)
            if (const QByteArray v = value(*served[i]); !v.isEmpty())
                e.sample(name, {{"monitor", api->names().at(i)}}, v);
    };
    perMonitor("telvanor_monitor_answering", "gauge", "Whether a monitor answers (0 once 3 requests in a row have gone unanswered, and before its first answer).",
               [](const Fleet::Monitor &m) { return QByteArray(m.online ? "1" : "0"); });
    perMonitor("telvanor_monitor_silent_seconds", "gauge", "Seconds since the monitor last answered (none before its first answer).",
               [this](const Fleet::Monitor &m) { return m.lastAnswerMs < 0 ? QByteArray() : seconds(api->silentMs(m).toInteger()); });
    perMonitor("telvanor_setting_frames_written_total", "counter", "Setting frames written to the monitor's line.",
               [](const Fleet::Monitor &m) { return QByteArray::number(m.framesWritten); });
    perMonitor("telvanor_setting_frames_not_written_total", "counter", "Setting frames that could not be written (the monitor's line not open).",
               [](const Fleet::Monitor &m) { return QByteArray::number(m.framesNotWritten); });
    perMonitor("telvanor_reads_answered_total", "counter", "Requests to the monitor (screen reads and type probes) it answered.",
               [](const Fleet::Monitor &m) { return QByteArray::number(m.answers); });
    perMonitor("telvanor_reads_timed_out_total", "counter", "Requests to the monitor (screen reads and type probes) it did not answer in time.",
               [](const Fleet::Monitor &m) { return QByteArray::number(m.timeouts); });
    e.family("telvanor_api_requests_total", "counter", "HTTP requests answered (the API, the page's files, health and metrics), by method and status.");
    for (auto it = requests.begin(); it != requests.end(); ++it)
        e.sample("telvanor_api_requests_total", {{"method", QString::fromLatin1(it.key().first)}, {"code", QString::number(it.key().second)}}, it.value());
    e.family("telvanor_event_clients", "gauge", "WebSocket clients of the live events.");
    e.sample("telvanor_event_clients", {}, quint64(events ? events->clients() : 0));
    e.family("telvanor_event_clients_dropped_total", "counter", "Event clients the service closed: not keeping up, or not answering its pings.");
    e.sample("telvanor_event_clients_dropped_total", {}, events ? events->dropped() : 0);
    if (tsl) {
        e.family("telvanor_tsl_messages_received_total", "counter", "TSL display messages the tally bridge received.");
        e.sample("telvanor_tsl_messages_received_total", {}, tslReceived);
        e.family("telvanor_tsl_messages_rejected_total", "counter", "TSL packets the tally bridge rejected as malformed.");
        e.sample("telvanor_tsl_messages_rejected_total", {}, tslRejected);
        e.family("telvanor_tsl_silent_seconds", "gauge", "Seconds since the last TSL message (none before the first).");
        if (sinceTsl.isValid())
            e.sample("telvanor_tsl_silent_seconds", {}, seconds(sinceTsl.elapsed()));
    }
    if (mqtt) {
        e.family("telvanor_mqtt_connected", "gauge", "Whether the service is connected to its broker.");
        e.sample("telvanor_mqtt_connected", {}, mqtt->isConnected() ? 1 : 0);
        e.family("telvanor_mqtt_messages_received_total", "counter", "Messages the broker delivered to the service.");
        e.sample("telvanor_mqtt_messages_received_total", {}, mqtt->messagesIn());
        e.family("telvanor_mqtt_messages_sent_total", "counter", "Messages the service handed to the broker.");
        e.sample("telvanor_mqtt_messages_sent_total", {}, mqtt->messagesOut());
        e.family("telvanor_mqtt_connects_total", "counter", "Connections made to the broker (the first and each one after a loss).");
        e.sample("telvanor_mqtt_connects_total", {}, mqtt->connects());
    }
    if (remote) {
        e.family("telvanor_site_online", "gauge", "Whether a site the service shows is connected to the broker.");
        for (const QJsonValue &site : remote->sites())
            e.sample("telvanor_site_online", {{"site", site["site"].toString()}}, site["online"].toBool() ? 1 : 0);
        e.family("telvanor_site_requests_waiting", "gauge", "Requests forwarded to sites and not yet answered.");
        e.sample("telvanor_site_requests_waiting", {}, quint64(remote->waiting()));
    }
    return Http::Response{200, e.text, MetricsType, {{"Cache-Control", "no-store"}}};
}
