#include "sites.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include "fleet.h"
#include "frames.h"

namespace {
constexpr int kMostValue = 4096; // a state value longer than this is none of ours

bool validKey(const QString &key)
{
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9]{1,32}")));
    return re.match(key).hasMatch();
}

QByteArray valueBytes(const QJsonValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

// A retained value: one JSON value, else false.
bool readValue(const QByteArray &payload, QJsonValue *out)
{
    if (payload.size() > kMostValue)
        return false;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson('[' + payload + ']', &pe);
    if (pe.error != QJsonParseError::NoError || doc.array().size() != 1)
        return false;
    *out = doc.array().at(0);
    return true;
}

Http::Response answer(int status, const QJsonObject &body)
{
    return Http::Response{status, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json", {}};
}

Http::Response fault(int status, const QString &why)
{
    return answer(status, QJsonObject{{"error", why}});
}

QString hexToken()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

// The API route a command verb stands for, by verb.
struct Verb {
    const char *verb;
    const char *method;
    const char *route;  // the Api's route pattern
    const char *suffix; // after /monitors/NAME
};
constexpr Verb kVerbs[] = {
    {"set", "PATCH", "/monitors/{name}/screens/{n}", "/screens/%1"},
    {"tally", "POST", "/monitors/{name}/screens/{n}/tally", "/screens/%1/tally"},
    {"umd", "POST", "/monitors/{name}/screens/{n}/umd", "/screens/%1/umd"},
    {"recall", "POST", "/monitors/{name}/recall", "/recall"},
};
const Verb *verbNamed(const QString &verb)
{
    for (const Verb &v : kVerbs)
        if (verb == QLatin1String(v.verb))
            return &v;
    return nullptr;
}
} // namespace

// ---- topics ----

namespace SiteTopics {

QString site(const QString &s, const QString &rest)
{
    return QStringLiteral("%1/%2/%3").arg(QLatin1String(Root), s, rest);
}

QString monitor(const QString &s, const QString &name, const QString &key)
{
    return site(s, QStringLiteral("monitors/%1/%2").arg(name, key));
}

QString screen(const QString &s, const QString &name, int n, const QString &key)
{
    return site(s, QStringLiteral("monitors/%1/%2/%3").arg(name).arg(n).arg(key));
}

Parsed parse(const QString &topic)
{
    Parsed p;
    const QStringList parts = topic.split(QLatin1Char('/'));
    if (parts.size() < 3 || parts.size() > 6 || parts.at(0) != QLatin1String(Root) || !validName(parts.at(1)))
        return p;
    p.site = parts.at(1);
    const QString branch = parts.at(2);
    auto screenOf = [](const QString &s) {
        bool ok = false;
        const int n = s.toInt(&ok);
        return ok && n >= 1 && n <= 8 && s == QString::number(n) ? n : 0;
    };
    Parsed::Kind kind = Parsed::None;
    if (parts.size() == 3 && branch == QLatin1String("online"))
        kind = Parsed::Online;
    else if (parts.size() == 3 && branch == QLatin1String("info"))
        kind = Parsed::Info;
    else if (parts.size() == 4 && branch == QLatin1String("replies") && validKey(parts.at(3)))
        p.key = parts.at(3), kind = Parsed::Reply;
    else if (parts.size() >= 5 && (branch == QLatin1String("monitors") || branch == QLatin1String("command")) && validName(parts.at(3))) {
        p.monitor = parts.at(3);
        p.key = parts.last();
        p.screen = parts.size() == 6 ? screenOf(parts.at(4)) : 0;
        const bool command = branch == QLatin1String("command");
        const bool screenWanted = command ? p.key != QLatin1String("recall") : parts.size() == 6;
        if (validKey(p.key) && (parts.size() == 6) == screenWanted && (p.screen > 0) == screenWanted
            && (!command || verbNamed(p.key)))
            kind = command ? Parsed::Command : screenWanted ? Parsed::Screen : Parsed::Monitor;
    }
    p.kind = kind;
    return p;
}

} // namespace SiteTopics

// ---- a site ----

SitePublisher::SitePublisher(MqttClient *c, Api *a, Fleet::Fleet *f, const MqttConfig &cfg,
                             const QMap<QString, QString> &r, QObject *parent)
    : QObject(parent), client(c), api(a), fleet(f), config(cfg), rooms(r)
{
    flusher = new QTimer(this);
    flusher->setSingleShot(true);
    connect(flusher, &QTimer::timeout, this, &SitePublisher::flush);
    auto byKey = [this](const QString &key) { dirty(key); };
    connect(fleet, &Fleet::Fleet::fieldChanged, this, byKey);
    connect(fleet, &Fleet::Fleet::inputChanged, this, byKey);
    connect(fleet, &Fleet::Fleet::nameChanged, this, byKey);
    connect(fleet, &Fleet::Fleet::labelSent, this, byKey);
    connect(fleet, &Fleet::Fleet::onlineChanged, this, byKey);
    connect(fleet, &Fleet::Fleet::identified, this, byKey);
    connect(fleet, &Fleet::Fleet::screenKnown, this, byKey);
    connect(api, &Api::monitorAdded, this, [this](const QString &name) { dirty(api->keyOf(name)); });
    connect(client, &MqttClient::connected, this, &SitePublisher::connected);
    connect(client, &MqttClient::message, this, &SitePublisher::received);
    client->subscribe(SiteTopics::site(config.site, QStringLiteral("command/#")));
    // What the broker kept from an earlier run comes back once: what is no longer here is cleared.
    client->subscribe(SiteTopics::site(config.site, QStringLiteral("monitors/#")));
}

QString SitePublisher::willTopic(const MqttConfig &config)
{
    return SiteTopics::site(config.site, QStringLiteral("online"));
}

void SitePublisher::dirty(const QString &key)
{
    dirtyKeys.insert(key);
    if (!flusher->isActive())
        flusher->start(0);
}

void SitePublisher::put(const QString &topic, const QByteArray &payload)
{
    if (!quiet && client->isConnected())
        client->publish(topic, payload, 1, true);
    else
        away.insert(topic);
}

void SitePublisher::flush()
{
    const QSet<QString> keys = std::exchange(dirtyKeys, {});
    for (const QString &key : keys) {
        const QString name = api->nameOf(key);
        const Fleet::Monitor *m = fleet->find(key);
        if (name.isEmpty() || !m)
            continue;
        QMap<QString, QByteArray> now;
        now.insert(SiteTopics::monitor(config.site, name, QStringLiteral("online")), valueBytes(m->online));
        now.insert(SiteTopics::monitor(config.site, name, QStringLiteral("type")), valueBytes(m->type >= 0 ? QJsonValue(m->type) : QJsonValue()));
        now.insert(SiteTopics::monitor(config.site, name, QStringLiteral("screenCount")), valueBytes(m->screenCount));
        now.insert(SiteTopics::monitor(config.site, name, QStringLiteral("monitorName")), valueBytes(Frame::shownText(m->name)));
        now.insert(SiteTopics::monitor(config.site, name, QStringLiteral("room")),
                   valueBytes(rooms.contains(name) ? QJsonValue(rooms.value(name)) : QJsonValue()));
        for (int s = 0; s < m->screenCount; ++s) {
            if (!m->screens[static_cast<std::size_t>(s)].known)
                continue;
            const QJsonObject st = api->screenState(*m, s);
            for (auto it = st.begin(); it != st.end(); ++it)
                now.insert(SiteTopics::screen(config.site, name, s + 1, it.key()), valueBytes(it.value()));
        }
        // A screen not read yet keeps what the broker holds of it: a restart blanks no tile.
        const QString prefix = SiteTopics::monitor(config.site, name, QString());
        for (auto it = retained.lowerBound(prefix); it != retained.end() && it.key().startsWith(prefix);) {
            const SiteTopics::Parsed p = SiteTopics::parse(it.key());
            const bool keep = now.contains(it.key())
                || (p.kind == SiteTopics::Parsed::Screen && p.screen <= m->screenCount
                    && !m->screens[static_cast<std::size_t>(p.screen - 1)].known);
            if (keep) {
                ++it;
                continue;
            }
            put(it.key(), QByteArray());
            it = retained.erase(it);
        }
        for (auto it = now.begin(); it != now.end(); ++it) {
            auto was = retained.find(it.key());
            if (was != retained.end() && was.value() == it.value())
                continue;
            retained.insert(it.key(), it.value());
            put(it.key(), it.value());
        }
    }
}

void SitePublisher::connected()
{
    emit logLine(QStringLiteral("mqtt: connected to %1 as site %2").arg(config.broker, config.site));
    for (const QString &name : api->names())
        dirtyKeys.insert(api->keyOf(name));
    // Here first: a centre takes the state that follows as a present site's.
    put(willTopic(config), "true");
    flusher->stop();
    quiet = true;
    flush();
    quiet = false;
    QJsonArray roomList;
    for (const QString &room : rooms)
        if (!roomList.contains(room))
            roomList.append(room);
    put(SiteTopics::site(config.site, QStringLiteral("info")),
        QJsonDocument(QJsonObject{{"commands", config.commands}, {"rooms", roomList}, {"monitors", api->names().size()}}).toJson(QJsonDocument::Compact));
    // What changed while the broker was away goes first (a centre shows it within a
    // moment of the return), then the rest, which a broker that forgot needs again.
    const QSet<QString> first = std::exchange(away, {});
    for (const QString &topic : first)
        put(topic, retained.value(topic)); // a topic no longer held: cleared
    for (auto it = retained.cbegin(); it != retained.cend(); ++it)
        if (!first.contains(it.key()))
            put(it.key(), it.value());
}

void SitePublisher::received(const MqttClient::Message &message)
{
    const SiteTopics::Parsed p = SiteTopics::parse(message.topic);
    if (p.site != config.site)
        return;
    if ((p.kind == SiteTopics::Parsed::Monitor || p.kind == SiteTopics::Parsed::Screen) && message.retained
        && !message.payload.isEmpty() && !retained.contains(message.topic)) {
        // Kept from an earlier run: gone, unless its monitor or screen is still to be read.
        const Fleet::Monitor *m = api->names().contains(p.monitor) ? fleet->find(api->keyOf(p.monitor)) : nullptr;
        const bool unread = m && (m->type < 0 || (p.kind == SiteTopics::Parsed::Screen && p.screen <= m->screenCount
                                                  && !m->screens[static_cast<std::size_t>(p.screen - 1)].known));
        if (!unread)
            put(message.topic, QByteArray());
        return;
    }
    if (p.kind != SiteTopics::Parsed::Command)
        return;
    ++commandCount;
    if (!config.commands)
        return answer(message, 403, QJsonDocument(QJsonObject{{"error", QStringLiteral("site %1 takes no commands").arg(config.site)}})
                                        .toJson(QJsonDocument::Compact));
    const Verb *v = verbNamed(p.key);
    const QString path = QStringLiteral("/api/v1/monitors/%1").arg(p.monitor) + QString::fromLatin1(v->suffix).arg(p.screen);
    QPointer<SitePublisher> self(this);
    api->command(v->method, path, message.payload, [self, message](const Http::Response &r) {
        if (self)
            self->answer(message, r.status, r.body);
    });
}

void SitePublisher::answer(const MqttClient::Message &to, int status, const QByteArray &body)
{
    // An answer goes to a reply topic of the tree or outside it, never onto another's state.
    if (to.responseTopic.isEmpty()
        || (to.responseTopic.startsWith(QLatin1String(SiteTopics::Root) + QLatin1Char('/'))
            && SiteTopics::parse(to.responseTopic).kind != SiteTopics::Parsed::Reply))
        return emit logLine(QStringLiteral("mqtt: %1: %2 (no answer sent: %3)").arg(to.topic).arg(status)
                                .arg(to.responseTopic.isEmpty() ? QStringLiteral("no response topic") : QStringLiteral("response topic refused")));
    const QJsonObject o{{"status", status}, {"body", QJsonDocument::fromJson(body).object()}};
    if (!client->publish(to.responseTopic, QJsonDocument(o).toJson(QJsonDocument::Compact), 1, false, QString(), to.correlation))
        emit logLine(QStringLiteral("mqtt: %1: %2, and the answer could not go out: the broker is not reachable").arg(to.topic).arg(status));
}

// ---- a centre ----

RemoteSites::RemoteSites(MqttClient *c, const MqttConfig &cfg, QObject *parent) : QObject(parent), client(c), config(cfg)
{
    clock.start();
    batcher = new QTimer(this);
    batcher->setSingleShot(true);
    connect(batcher, &QTimer::timeout, this, &RemoteSites::flush);
    expirer = new QTimer(this);
    connect(expirer, &QTimer::timeout, this, &RemoteSites::expire);
    expirer->start(1000);
    config.sites.removeAll(config.site);
    for (const QString &s : config.allSites ? QStringList{QStringLiteral("+")} : config.sites) {
        client->subscribe(SiteTopics::site(s, QStringLiteral("online")));
        client->subscribe(SiteTopics::site(s, QStringLiteral("info")));
        client->subscribe(SiteTopics::site(s, QStringLiteral("monitors/#")));
    }
    for (const QString &s : qAsConst(config.sites))
        siteList.insert(s, Site{false, true, {}, 0, 0});
    config.client.clientId = hexToken(); // the reply topic's last level
    client->subscribe(replyTopic());
    connect(client, &MqttClient::message, this, &RemoteSites::received);
    connect(client, &MqttClient::disconnected, this, [this] {
        failWaiting(QString(), 503, QStringLiteral("the broker connection dropped before the site answered: the change may or may not have been made"));
    });
}

QString RemoteSites::replyTopic() const
{
    return SiteTopics::site(config.site, QStringLiteral("replies/") + config.client.clientId);
}

bool RemoteSites::wanted(const QString &site) const
{
    return site != config.site && (config.allSites || config.sites.contains(site));
}

bool RemoteSites::owns(const QString &name) const
{
    return monitors.contains(name);
}

QStringList RemoteSites::names() const
{
    return monitors.keys();
}

QJsonObject RemoteSites::monitorJson(const QString &name, bool withScreens) const
{
    const Remote r = monitors.value(name);
    const Site s = siteList.value(r.site);
    QJsonObject o{{"name", name}, {"site", r.site}, {"link", QStringLiteral("site:") + r.site}, {"target", name}};
    for (const char *key : {"room", "type", "screenCount", "online", "monitorName"})
        o.insert(QLatin1String(key), r.meta.value(QLatin1String(key)));
    o.insert("siteOnline", s.online);
    // A gone site's monitors keep what it last told: silent since it went.
    o.insert("silentMs", s.online || s.sinceMs < 0 ? QJsonValue() : QJsonValue(clock.elapsed() - s.sinceMs));
    if (withScreens) {
        QJsonArray screens;
        for (int n = 1; n <= r.meta.value("screenCount").toInt(); ++n)
            screens.append(screenJson(name, n));
        o.insert("screens", screens);
    }
    return o;
}

QJsonObject RemoteSites::screenJson(const QString &name, int n) const
{
    const Remote r = monitors.value(name);
    if (n < 1 || n > r.meta.value("screenCount").toInt())
        return QJsonObject();
    QJsonObject settings = r.screens.value(n);
    QJsonArray labels;
    for (int k = 1; k <= 4; ++k)
        labels.append(settings.take(QStringLiteral("umd%1").arg(k)));
    const QJsonValue input = settings.take(QStringLiteral("input"));
    return QJsonObject{{"monitor", name}, {"screen", n}, {"known", !settings.isEmpty()}, {"labels", labels},
                       {"input", input}, {"settings", settings.isEmpty() ? QJsonValue() : QJsonValue(settings)}};
}

QJsonObject RemoteSites::state() const
{
    QJsonObject all;
    for (auto it = monitors.begin(); it != monitors.end(); ++it) {
        QJsonObject mon{{"online", it->meta.value("online")}, {"monitorName", it->meta.value("monitorName")},
                        {"siteOnline", siteList.value(it->site).online}};
        for (auto s = it->screens.begin(); s != it->screens.end(); ++s)
            mon.insert(QString::number(s.key()), s.value());
        all.insert(it.key(), mon);
    }
    return all;
}

QJsonArray RemoteSites::sites() const
{
    QMap<QString, int> counts;
    for (const Remote &r : monitors)
        ++counts[r.site];
    QStringList order = siteList.keys();
    std::sort(order.begin(), order.end());
    QJsonArray list;
    for (const QString &name : order) {
        const Site &s = siteList[name];
        list.append(QJsonObject{{"site", name}, {"online", s.online}, {"commands", s.commands}, {"rooms", s.rooms},
                                {"monitors", counts.value(name)}, {"monitorsTold", s.told},
                                {"silentMs", s.online || s.sinceMs < 0 ? QJsonValue() : QJsonValue(clock.elapsed() - s.sinceMs)}});
    }
    return list;
}

void RemoteSites::received(const MqttClient::Message &message)
{
    const SiteTopics::Parsed p = SiteTopics::parse(message.topic);
    if (p.kind == SiteTopics::Parsed::Reply && p.site == config.site && p.key == config.client.clientId)
        return answered(message);
    if (p.kind == SiteTopics::Parsed::None || p.kind == SiteTopics::Parsed::Command || !wanted(p.site))
        return;
    ++messageCount;
    if (p.kind == SiteTopics::Parsed::Online)
        return siteChanged(p.site, message.payload.trimmed() == "true");
    if (p.kind == SiteTopics::Parsed::Info) {
        const QJsonObject info = QJsonDocument::fromJson(message.payload.left(kMostValue)).object();
        Site &s = siteList[p.site];
        s.commands = info.value("commands").toBool(true);
        s.rooms = info.value("rooms").toArray();
        s.told = info.value("monitors").toInt();
        return;
    }
    const QString name = p.site + SiteTopics::Separator + p.monitor;
    QJsonValue value;
    if (message.payload.isEmpty())
        value = QJsonValue(QJsonValue::Undefined); // cleared
    else if (!readValue(message.payload, &value))
        return emit logLine(QStringLiteral("mqtt: %1: no JSON value; left out").arg(message.topic));
    if (!siteList.contains(p.site))
        siteList.insert(p.site, Site{});
    change(name, p.kind == SiteTopics::Parsed::Screen ? p.screen : 0, p.key, value);
}

void RemoteSites::change(const QString &name, int screen, const QString &key, const QJsonValue &value)
{
    auto it = monitors.find(name);
    if (it == monitors.end()) {
        if (value.isUndefined())
            return;
        it = monitors.insert(name, Remote{name.section(SiteTopics::Separator, 0, 0), name.section(SiteTopics::Separator, 1), {}, {}});
        added << name;
    }
    QJsonObject &o = screen ? it->screens[screen] : it->meta;
    if (o.value(key) == value)
        return;
    if (value.isUndefined())
        o.remove(key);
    else
        o.insert(key, value);
    if (!screen && key == QLatin1String("screenCount")) // screens beyond the count are gone
        for (auto s = it->screens.begin(); s != it->screens.end();)
            s = s.key() > value.toInt() ? it->screens.erase(s) : std::next(s);
    QJsonObject mon = batch.take(name).toObject();
    if (screen) {
        QJsonObject sc = mon.take(QString::number(screen)).toObject();
        sc.insert(key, value.isUndefined() ? QJsonValue() : value);
        mon.insert(QString::number(screen), sc);
    } else {
        mon.insert(key, value.isUndefined() ? QJsonValue() : value);
    }
    batch.insert(name, mon);
    if (!batcher->isActive())
        batcher->start(BatchMs);
}

void RemoteSites::flush()
{
    for (const QString &name : std::exchange(added, {}))
        if (monitors.contains(name))
            emit event(QJsonObject{{"type", "added"}, {"monitor", monitorJson(name, true)}});
    if (!batch.isEmpty())
        emit event(QJsonObject{{"type", "state"}, {"state", std::exchange(batch, {})}});
}

void RemoteSites::siteChanged(const QString &site, bool online)
{
    Site &s = siteList[site];
    if (s.online == online && s.sinceMs >= 0)
        return;
    s.online = online;
    s.sinceMs = clock.elapsed();
    emit logLine(QStringLiteral("mqtt: site %1 %2").arg(site, online ? QStringLiteral("is here") : QStringLiteral("is gone")));
    if (!online)
        failWaiting(site, 503, QStringLiteral("site %1 went away before it answered: the change may or may not have been made").arg(site));
    flush();
    emit event(QJsonObject{{"type", "site"}, {"site", site}, {"online", online}});
}

void RemoteSites::failWaiting(const QString &site, int status, const QString &why)
{
    for (auto it = pending.begin(); it != pending.end();) {
        if (!site.isEmpty() && it->site != site) {
            ++it;
            continue;
        }
        const Http::Respond respond = it->respond;
        it = pending.erase(it);
        respond(fault(status, why));
    }
}

void RemoteSites::expire()
{
    const qint64 now = clock.elapsed();
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->untilMs > now) {
            ++it;
            continue;
        }
        const Pending p = *it;
        it = pending.erase(it);
        p.respond(fault(504, QStringLiteral("site %1 did not answer within %2 s: the change may or may not have been made")
                                 .arg(p.site).arg(AnswerMs / 1000)));
    }
}

void RemoteSites::forward(const QString &route, const QStringList &args, const QByteArray &body, const Http::Respond &respond)
{
    const QString name = args.value(0);
    const Remote r = monitors.value(name);
    const Site s = siteList.value(r.site);
    const Verb *verb = nullptr;
    for (const Verb &v : kVerbs)
        if (route == QStringLiteral("%1 %2").arg(QLatin1String(v.method), QLatin1String(v.route)))
            verb = &v;
    if (!verb)
        return respond(fault(405, QStringLiteral("%1 is a monitor of site %2: it takes PATCH of a screen, tally, umd and recall").arg(name, r.site)));
    const int n = args.size() > 1 ? args.at(1).toInt() : 0;
    if (args.size() > 1 && (n < 1 || n > 8 || args.at(1) != QString::number(n)))
        return respond(fault(404, QStringLiteral("no screen '%1': screens count from 1").arg(args.value(1))));
    if (!client->isConnected())
        return respond(fault(503, QStringLiteral("the broker is not reachable: the monitors of site %1 cannot be reached").arg(r.site)));
    if (!s.online)
        return respond(fault(503, QStringLiteral("site %1 is gone: its monitors cannot be changed").arg(r.site)));
    if (!s.commands)
        return respond(fault(403, QStringLiteral("site %1 takes no commands").arg(r.site)));
    const QString topic = n ? SiteTopics::site(r.site, QStringLiteral("command/%1/%2/%3").arg(r.name).arg(n).arg(QLatin1String(verb->verb)))
                            : SiteTopics::site(r.site, QStringLiteral("command/%1/%2").arg(r.name, QLatin1String(verb->verb)));
    const QByteArray correlation = hexToken().toLatin1();
    if (!client->publish(topic, body, 1, false, replyTopic(), correlation, CommandExpiryS))
        return respond(fault(503, QStringLiteral("the broker is not reachable: the monitors of site %1 cannot be reached").arg(r.site)));
    pending.insert(correlation, Pending{respond, r.site, name, clock.elapsed() + AnswerMs});
}

void RemoteSites::answered(const MqttClient::Message &message)
{
    const auto it = pending.find(message.correlation);
    if (it == pending.end())
        return; // answered already (it timed out, or its site went)
    const Pending p = *it;
    pending.erase(it);
    const QJsonObject o = QJsonDocument::fromJson(message.payload).object();
    const int status = o.value("status").toInt();
    if (status < 100 || status > 599 || !o.value("body").isObject())
        return p.respond(fault(502, QStringLiteral("site %1 answered with no answer of ours").arg(p.site)));
    QJsonObject body = o.value("body").toObject();
    if (body.contains("monitor")) // the site's name for it, made the centre's
        body.insert("monitor", p.monitor);
    p.respond(answer(status, body));
}
