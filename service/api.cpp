#include "api.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTimer>

#include <memory>

#include "captions.h"
#include "config.h"
#include "domains.h"
#include "frames.h"
#include "health.h"
#include "machinedevice.h"
#include "typerules.h"

using SettingsJson::Assignment;
using SettingsJson::Fault;

namespace {
constexpr int kUmdGroup = 6;
constexpr int kNoText = 15;      // text index of a frame that files no text (type 2)
const QString kBase = QStringLiteral("/api/v1");

QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

Http::Response reply(int status, const QJsonObject &body)
{
    Http::Response r;
    r.status = status;
    r.body = json(body);
    return r;
}

Http::Response error(int status, const QString &message, const QString &field = QString())
{
    QJsonObject o{{"error", message}};
    if (!field.isEmpty())
        o.insert("field", field);
    return reply(status, o);
}

// The HTTP status of a refused field or value.
int statusOf(Fault f)
{
    return f == Fault::OutOfDomain ? 422 : f == Fault::WrongType ? 409 : 400;
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

// The body as a JSON object; an empty body is an empty object when allowed.
bool bodyObject(const Http::Request &r, QJsonObject *out, const Http::Respond &respond, bool emptyAllowed = false)
{
    if (emptyAllowed && r.body.trimmed().isEmpty()) {
        *out = QJsonObject();
        return true;
    }
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(r.body, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
        respond(error(400, pe.error != QJsonParseError::NoError ? QStringLiteral("bad JSON: %1 at byte %2").arg(pe.errorString()).arg(pe.offset)
                                                                : QStringLiteral("bad JSON: the body is a JSON object")));
        return false;
    }
    *out = doc.object();
    return true;
}

// Refuses any key of o not in keys.
bool onlyKeys(const QJsonObject &o, const QStringList &keys, const Http::Respond &respond)
{
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!keys.contains(it.key())) {
            respond(error(400, QStringLiteral("unknown field '%1'").arg(it.key()), it.key()));
            return false;
        }
    return true;
}

bool wholeNumber(const QJsonValue &v)
{
    return v.isDouble() && v.toDouble() == static_cast<double>(v.toInt());
}

QJsonArray sentJson(const QVector<int> &groups)
{
    QJsonArray a;
    for (int g : groups)
        a.append(QJsonObject{{"group", g}, {"page", Captions::groupCaption(g)}});
    return a;
}
} // namespace

const QVector<Api::Route> &Api::routes()
{
    static const QVector<Route> table = {
        {"GET", "/monitors", &Api::listMonitors},
        {"GET", "/monitors/{name}", &Api::getMonitor},
        {"GET", "/monitors/{name}/screens/{n}", &Api::getScreen},
        {"PATCH", "/monitors/{name}/screens/{n}", &Api::patchScreen},
        {"POST", "/monitors/{name}/screens/{n}/umd", &Api::postUmd},
        {"POST", "/monitors/{name}/screens/{n}/tally", &Api::postTally},
        {"POST", "/monitors/{name}/recall", &Api::recall},
        {"GET", "/presets", &Api::listPresets},
        {"GET", "/presets/{preset}", &Api::getPreset},
        {"PUT", "/presets/{preset}", &Api::putPreset},
        {"DELETE", "/presets/{preset}", &Api::deletePreset},
        {"POST", "/discover", &Api::postDiscover},
        {"GET", "/openapi.json", &Api::getOpenApi},
        {"GET", "/fields", &Api::getFields},
        {"POST", "/events/ticket", &Api::postTicket},
        {"GET", "/health", &Api::getHealth},
        {"GET", "/metrics", &Api::getMetrics, true},
        {"GET", "/sites", &Api::getSites},
    };
    return table;
}

Api::Api(Fleet::Fleet *f, const Options &o, QObject *parent) : QObject(parent), fleet(f), options(o)
{
    clock.start();
    healthPart = new Health(this, fleet, this);
    // Once a monitor's type is known (or has changed), every screen it has is
    // read on the cadence, and only those.
    connect(fleet, &Fleet::Fleet::identified, this, [this](const QString &key) {
        const Fleet::Monitor *m = fleet->find(key);
        if (!m || !byKey.contains(key))
            return;
        for (int s = 0; s < MachineDevice::MaxScreens; ++s) {
            if (s < m->screenCount)
                fleet->watch(key, s, options.readEveryMs);
            else
                fleet->unwatch(key, s);
        }
    });
}

void Api::addMonitor(const QString &name, const Fleet::Target &target)
{
    Fleet::Target t = target;
    t.name = name;
    monitors.insert(name, t);
    order << name;
    const Fleet::Address a = t.address();
    byKey.insert(a.key(), name);
    const Fleet::Monitor &m = fleet->add(a);
    fleet->openLine(a);
    // The first read asks for the type too; a monitor a search found is known already.
    for (int s = 0; s < std::max(1, m.screenCount); ++s)
        fleet->watch(a.key(), s, options.readEveryMs);
}

Http::Response Api::misdirected(const Http::Request &r) const
{
    QString host = QString::fromLatin1(r.header("host")).trimmed().toLower();
    if (host.startsWith(QLatin1Char('[')))
        host = host.section(QLatin1Char(']'), 0, 0).mid(1);
    else if (host.count(QLatin1Char(':')) == 1)
        host = host.section(QLatin1Char(':'), 0, 0);
    // An address literal cannot be made to point here by a name server; a name can.
    if (host.isEmpty() || host == QLatin1String("localhost") || !QHostAddress(host).isNull()
        || options.hosts.contains(host, Qt::CaseInsensitive))
        return Http::Response{0, {}, {}, {}};
    return error(403, QStringLiteral("host not allowed: %1 (the service answers to localhost, its addresses and the "
                                     "names its configuration lists under http.hosts)").arg(QString::fromLatin1(r.header("host"))));
}

// The token of an Authorization header ("Bearer TOKEN", the scheme in any case).
static QByteArray bearer(const Http::Request &r)
{
    const QByteArray value = r.header("authorization").trimmed();
    const int space = value.indexOf(' ');
    return space > 0 && value.left(space).toLower() == "bearer" ? value.mid(space + 1).trimmed() : QByteArray();
}

Http::Response Api::upgrade(const Http::Request &r)
{
    const Http::Response wrongHost = misdirected(r);
    if (wrongHost.status)
        return wrongHost;
    if (r.path != kBase + QStringLiteral("/events"))
        return error(404, QStringLiteral("not found: %1").arg(r.path));
    const QByteArray origin = r.header("origin");
    if (!origin.isEmpty() && !options.corsOrigins.contains(QString::fromUtf8(origin))
        && origin != "http://" + r.header("host") && origin != "https://" + r.header("host"))
        return error(403, QStringLiteral("origin not allowed: %1").arg(QString::fromUtf8(origin)));
    if (!options.token.isEmpty() && !sameBytes(bearer(r), options.token)
        && !takeTicket(r.query.queryItemValue(QStringLiteral("ticket"), QUrl::FullyDecoded).toUtf8())
        && !sameBytes(r.query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8(), options.token))
        return error(401, QStringLiteral("a token is needed: Authorization: Bearer TOKEN, ?ticket= from POST %1/events/ticket, "
                                         "or ?token=TOKEN").arg(kBase));
    return Http::Response{0, {}, {}, {}};
}

void Api::handle(const Http::Request &r, const Http::Respond &respondRaw)
{
    // Browsers name the page a request comes from: only the service's own pages
    // and the origins configured may use it.
    const QByteArray origin = r.header("origin");
    QVector<QPair<QByteArray, QByteArray>> cors;
    if (!origin.isEmpty()) {
        if (options.corsOrigins.contains(QString::fromUtf8(origin)))
            cors = {{"Access-Control-Allow-Origin", origin}, {"Vary", "Origin"}};
        else if (origin != "http://" + r.header("host") && origin != "https://" + r.header("host"))
            return respondRaw(error(403, QStringLiteral("origin not allowed: %1").arg(QString::fromUtf8(origin))));
    }
    const Http::Respond respond = told(r, [respondRaw, cors](const Http::Response &resp) {
        Http::Response out = resp;
        out.headers += cors;
        respondRaw(out);
    });
    if (r.method == "OPTIONS") {
        if (cors.isEmpty())
            return respondRaw(error(403, QStringLiteral("cross-origin requests are off")));
        Http::Response pre{204, {}, "application/json", cors};
        pre.headers += {{"Access-Control-Allow-Methods", "GET, PUT, PATCH, POST, DELETE"},
                        {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                        {"Access-Control-Max-Age", "600"}};
        return respondRaw(pre);
    }
    if (!options.token.isEmpty() && !sameBytes(bearer(r), options.token)) {
        Http::Response denied = error(401, QStringLiteral("a token is needed: Authorization: Bearer TOKEN"));
        denied.headers += {{"WWW-Authenticate", "Bearer"}};
        denied.headers += cors;
        return respondRaw(denied);
    }
    if (r.body.size() > MaxBody)
        return respond(error(413, QStringLiteral("request body over %1 bytes").arg(MaxBody)));
    route(r, respond);
}

Http::Respond Api::told(const Http::Request &r, const Http::Respond &respondRaw)
{
    QPointer<Api> self(this);
    // A ticket changes nothing and is its asker's alone: no event or log line tells it.
    const bool changes = r.method != "GET" && r.path != kBase + QStringLiteral("/events/ticket");
    const QString method = QString::fromLatin1(r.method), path = r.path;
    return [respondRaw, self, changes, method, path](const Http::Response &resp) {
        respondRaw(resp);
        if (self && changes)
            emit self->requestAnswered(method, path, resp.status);
        if (self && changes && resp.status >= 200 && resp.status < 300) // what changed something
            emit self->requestDone(self->requestEvent(method, path, resp.status, QJsonDocument::fromJson(resp.body).object()));
    };
}

void Api::command(const QByteArray &method, const QString &path, const QByteArray &body, const Http::Respond &respond)
{
    Http::Request r;
    r.method = method;
    r.path = path;
    r.body = body;
    if (body.size() > MaxBody)
        return respond(error(413, QStringLiteral("request body over %1 bytes").arg(MaxBody)));
    route(r, told(r, respond));
}

void Api::route(const Http::Request &r, const Http::Respond &respond)
{
    const bool inApi = r.path.startsWith(kBase + QLatin1Char('/'));
    const QStringList parts = r.path.mid(inApi ? kBase.size() + 1 : 1).split(QLatin1Char('/'));
    QStringList allowed;
    for (const Route &route : routes()) {
        if (route.atRoot == inApi)
            continue;
        const QStringList pattern = QString::fromLatin1(route.pattern).mid(1).split(QLatin1Char('/'));
        if (pattern.size() != parts.size())
            continue;
        QStringList args;
        bool match = true;
        for (int i = 0; i < parts.size() && match; ++i) {
            if (pattern.at(i).startsWith(QLatin1Char('{')))
                args << parts.at(i);
            else
                match = pattern.at(i) == parts.at(i);
        }
        if (!match)
            continue;
        if (r.method == route.method && remote && args.size() >= 1 && QByteArray(route.pattern).startsWith("/monitors/{name}")
            && remote->owns(args.at(0))) {
            // A check read after the change would be the site's: it is not offered through a centre.
            if (r.query.queryItemValue(QStringLiteral("verify")) == QLatin1String("true"))
                return respond(error(400, QStringLiteral("verify: not offered for a monitor of another site (ask its site)")));
            if (r.method != "GET")
                return remote->forward(QStringLiteral("%1 %2").arg(QLatin1String(route.method), QLatin1String(route.pattern)), args, r.body, respond);
            const QJsonObject o = args.size() > 1 ? remote->screenJson(args.at(0), args.at(1).toInt())
                                                  : remote->monitorJson(args.at(0), true);
            if (o.isEmpty())
                return respond(error(404, QStringLiteral("%1 has no screen %2").arg(args.at(0), args.value(1))));
            return respond(reply(200, o));
        }
        if (r.method == route.method)
            return (this->*route.handler)(r, args, respond);
        allowed << QString::fromLatin1(route.method);
    }
    if (allowed.isEmpty())
        return respond(error(404, inApi ? QStringLiteral("not found: %1").arg(r.path)
                                        : QStringLiteral("not found: %1 (the API is under %2)").arg(r.path, kBase)));
    Http::Response wrong = error(405, QStringLiteral("%1 takes %2").arg(r.path, allowed.join(QLatin1String(", "))));
    wrong.headers += {{"Allow", allowed.join(QLatin1String(", ")).toLatin1()}};
    respond(wrong);
}

// A request's result as an event: its state holds each screen it names as it is now.
QJsonObject Api::requestEvent(const QString &method, const QString &path, int status, const QJsonObject &result) const
{
    QJsonObject state;
    const QString name = result.value("monitor").toString();
    const Fleet::Monitor *m = monitors.contains(name) ? fleet->find(keyOf(name)) : nullptr;
    QJsonArray screens = result.value("screens").toArray();
    if (result.contains("screen"))
        screens.append(result);
    QJsonObject mon;
    for (const QJsonValue &sc : qAsConst(screens)) {
        const int n = sc.toObject().value("screen").toInt();
        if (m && n >= 1 && n <= m->screenCount)
            mon.insert(QString::number(n), screenState(*m, n - 1));
    }
    if (!mon.isEmpty())
        state.insert(name, mon);
    return QJsonObject{{"type", "request"}, {"method", method}, {"path", path}, {"status", status}, {"result", result}, {"state", state}};
}

// ---- monitors and screens ----

QJsonObject Api::screenJson(const Fleet::Monitor &m, int screen) const
{
    const Fleet::ScreenState &st = m.screens[static_cast<std::size_t>(screen)];
    QJsonArray labels;
    for (std::size_t k = 0; k < 4; ++k)
        labels.append(st.labelSent[k] ? QJsonValue(st.labels[k].trimmed()) : QJsonValue());
    QJsonObject o{{"screen", screen + 1}, {"known", st.known}, {"labels", labels}};
    o.insert("input", st.known ? QJsonValue(Frame::shownText(st.input)) : QJsonValue());
    o.insert("settings", st.known ? QJsonValue(SettingsJson::fields(st.record, m.type, false)) : QJsonValue());
    return o;
}

QJsonObject Api::monitorJson(const QString &name, bool withScreens) const
{
    if (remote && remote->owns(name))
        return remote->monitorJson(name, withScreens);
    const Fleet::Target t = monitors.value(name);
    const Fleet::Monitor *m = fleet->find(t.address().key());
    QJsonObject o{{"name", name}, {"target", t.text()}, {"link", t.address().lineKey()}};
    o.insert("site", options.site.isEmpty() ? QJsonValue() : QJsonValue(options.site));
    o.insert("room", options.rooms.contains(name) ? QJsonValue(options.rooms.value(name)) : QJsonValue());
    if (!m)
        return o;
    o.insert("type", m->type >= 0 ? QJsonValue(m->type) : QJsonValue());
    o.insert("screenCount", m->screenCount);
    o.insert("online", m->online);
    o.insert("silentMs", silentMs(*m));
    o.insert("monitorName", Frame::shownText(m->name));
    if (withScreens) {
        QJsonArray screens;
        for (int s = 0; s < m->screenCount; ++s)
            screens.append(screenJson(*m, s));
        o.insert("screens", screens);
    }
    return o;
}

QJsonObject Api::state() const
{
    QJsonObject all;
    for (const QString &name : order) {
        const Fleet::Monitor *m = fleet->find(keyOf(name));
        if (!m)
            continue;
        QJsonObject mon{{"online", m->online}, {"monitorName", Frame::shownText(m->name)}};
        for (int s = 0; s < m->screenCount; ++s)
            mon.insert(QString::number(s + 1), screenState(*m, s));
        all.insert(name, mon);
    }
    if (remote) {
        const QJsonObject others = remote->state();
        for (auto it = others.begin(); it != others.end(); ++it)
            all.insert(it.key(), it.value());
    }
    return all;
}

QJsonObject Api::screenState(const Fleet::Monitor &m, int screen) const
{
    const Fleet::ScreenState &st = m.screens[static_cast<std::size_t>(screen)];
    QJsonObject sc = st.known ? SettingsJson::fields(st.record, m.type, false) : QJsonObject();
    sc.insert("input", Frame::shownText(st.input));
    for (std::size_t k = 0; k < 4; ++k)
        if (st.labelSent[k])
            sc.insert(QStringLiteral("umd%1").arg(k + 1), st.labels[k].trimmed());
    return sc;
}

void Api::withMonitor(const QString &name, const Http::Respond &respond, const std::function<void(Fleet::Monitor &)> &then)
{
    if (!monitors.contains(name))
        return respond(error(404, QStringLiteral("unknown monitor '%1'").arg(name)));
    const Fleet::Address a = monitors.value(name).address();
    Fleet::Monitor *m = fleet->find(a.key());
    if (m && m->type >= 0)
        return then(*m);
    if (!fleet->openLine(a))
        return respond(error(503, QStringLiteral("%1: the line does not open: %2").arg(name, fleet->lineError(a.lineKey()))));
    QPointer<Api> self(this);
    const QString key = a.key();
    fleet->probe(key, [self, key, name, respond, then](bool ok) {
        if (!self)
            return;
        Fleet::Monitor *found = self->fleet->find(key);
        if (!ok || !found || found->type < 0)
            return respond(error(503, QStringLiteral("monitor '%1' is not answering").arg(name)));
        then(*found);
    }, QStringLiteral("api"));
}

// The screen number of {n}, 1-8; 0 (with the answer given) when it is none.
static int screenArg(const QStringList &args, const Http::Respond &respond)
{
    bool ok = false;
    const int n = args.value(1).toInt(&ok);
    if (ok && n >= 1 && n <= MachineDevice::MaxScreens)
        return n;
    respond(error(404, QStringLiteral("no screen '%1': screens count from 1").arg(args.value(1))));
    return 0;
}

void Api::withScreen(const QStringList &args, bool fresh, const Http::Respond &respond,
                     const std::function<void(Fleet::Monitor &, int)> &then)
{
    const int n = screenArg(args, respond);
    if (!n)
        return;
    const QString name = args.value(0);
    QPointer<Api> self(this);
    withMonitor(name, respond, [self, name, n, fresh, respond, then](Fleet::Monitor &m) {
        if (n > m.screenCount)
            return respond(error(404, QStringLiteral("%1 has no screen %2: a type %3 monitor has %4")
                                          .arg(name).arg(n).arg(m.type).arg(m.screenCount)));
        const int s = n - 1;
        if (m.screens[static_cast<std::size_t>(s)].known && !fresh)
            return then(m, s);
        const QString key = m.address.key();
        self->fleet->read(key, s, [self, key, s, name, respond, then](bool answered) {
            if (!self)
                return;
            Fleet::Monitor *found = self->fleet->find(key);
            if (!answered || !found)
                return respond(error(503, QStringLiteral("monitor '%1' is not answering").arg(name)));
            then(*found, s);
        }, QStringLiteral("api"), fresh);
    });
}

QStringList Api::listed() const
{
    return remote ? order + remote->names() : order;
}

void Api::getSites(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    respond(reply(200, QJsonObject{{"sites", sitesJson()}}));
}

QJsonArray Api::sitesJson() const
{
    QJsonArray list;
    if (!options.site.isEmpty())
        list.append(QJsonObject{{"site", options.site}, {"online", true}, {"here", true}, {"monitors", order.size()}});
    if (remote)
        for (const QJsonValue &v : remote->sites())
            list.append(v);
    return list;
}

void Api::listMonitors(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    QJsonArray list;
    for (const QString &name : listed())
        list.append(monitorJson(name, false));
    respond(reply(200, QJsonObject{{"monitors", list}}));
}

void Api::getMonitor(const Http::Request &, const QStringList &args, const Http::Respond &respond)
{
    QPointer<Api> self(this);
    const QString name = args.value(0);
    withMonitor(name, respond, [self, name, respond](Fleet::Monitor &) {
        respond(reply(200, self->monitorJson(name, true)));
    });
}

void Api::getScreen(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    QPointer<Api> self(this);
    const QString name = args.value(0);
    const bool fresh = r.query.queryItemValue(QStringLiteral("fresh")) == QLatin1String("true");
    withScreen(args, fresh, respond, [self, name, respond](Fleet::Monitor &m, int s) {
        QJsonObject o = self->screenJson(m, s);
        o.insert("monitor", name);
        respond(reply(200, o));
    });
}

QString Api::outboxKey(const QString &key, int screen, int group, int textSlot)
{
    return QStringLiteral("%1|%2|%3|%4").arg(key).arg(screen).arg(group).arg(textSlot);
}

// A label sent, or one waiting to go out (it goes before any later frame).
bool Api::labelKnown(const Fleet::Monitor &m, int screen) const
{
    return m.type == 2 || m.screens[static_cast<std::size_t>(screen)].labelSent[0]
        || outbox.contains(outboxKey(m.address.key(), screen, kUmdGroup, 0));
}

void Api::patchScreen(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    QJsonObject body;
    if (!bodyObject(r, &body, respond))
        return;
    if (body.isEmpty())
        return respond(error(400, QStringLiteral("no fields to change")));
    QVector<Assignment> fields;
    for (auto it = body.begin(); it != body.end(); ++it) {
        Assignment a;
        QString why;
        if (it.key() == QLatin1String(fieldInfo(Field::umdTextIndex).name))
            return respond(error(400, QStringLiteral("umdTextIndex: labels go out with POST .../umd"), it.key()));
        const Fault f = SettingsJson::parse(it.key(), it.value(), &a, &why);
        if (f != Fault::None)
            return respond(error(statusOf(f), why, it.key()));
        fields.append(a);
    }
    SettingsJson::sortInRecordOrder(&fields);
    const bool verify = r.query.queryItemValue(QStringLiteral("verify")) == QLatin1String("true");
    const bool fresh = r.query.queryItemValue(QStringLiteral("fresh")) == QLatin1String("true");
    if (!screenArg(args, respond))
        return;
    QPointer<Api> self(this);
    // The type is checked before the screen is read: a refusal needs no answer from the monitor.
    withMonitor(args.value(0), respond, [self, args, fresh, fields, verify, respond](Fleet::Monitor &m) {
        for (const Assignment &a : fields) {
            const QString name = QLatin1String(fieldInfo(a.field).name);
            if (!typeHasField(m.type, a.field))
                return respond(error(409, QStringLiteral("a type %1 monitor has no %2").arg(m.type).arg(name), name));
            if (!TypeRules::offers(m.type, a.field, a.value))
                return respond(error(409, QStringLiteral("a type %1 monitor has no %2 %3").arg(m.type).arg(name, Captions::valueCaption(a.field, a.value)), name));
        }
        self->withScreen(args, fresh, respond, [self, fields, verify, respond](Fleet::Monitor &mon, int s) {
            // What other settings turn off, as the screen will be with this request.
            ST_BasicData after = self->expected(mon, s);
            for (const Assignment &a : fields)
                after.set(a.field, a.value);
            for (const Assignment &a : fields) {
                const QString why = TypeRules::whyOff(mon.type, after, a.field, a.value);
                if (!why.isEmpty())
                    return respond(error(409, QStringLiteral("%1 %2: %3").arg(QLatin1String(fieldInfo(a.field).name), Captions::valueCaption(a.field, a.value), why),
                                         QLatin1String(fieldInfo(a.field).name)));
            }
            self->change(mon, s, fields, verify, respond);
        });
    });
}

void Api::postTally(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    QJsonObject body;
    if (!bodyObject(r, &body, respond) || !onlyKeys(body, {QStringLiteral("tally")}, respond))
        return;
    if (!body.contains("tally"))
        return respond(error(400, QStringLiteral("give \"tally\": off, red, green or yellow"), QStringLiteral("tally")));
    Assignment a;
    QString why;
    const Fault f = SettingsJson::parse(QStringLiteral("tally"), body.value("tally"), &a, &why);
    if (f != Fault::None)
        return respond(error(statusOf(f), why, QStringLiteral("tally")));
    QPointer<Api> self(this);
    withScreen(args, false, respond, [self, a, respond](Fleet::Monitor &m, int s) {
        // A tally is sent even when the record read last shows it already.
        self->change(m, s, {a}, false, respond, true);
    });
}

ST_BasicData Api::expected(const Fleet::Monitor &m, int screen) const
{
    ST_BasicData rec = m.screens[static_cast<std::size_t>(screen)].record;
    const QString key = m.address.key();
    for (const Outbox &o : outbox)
        if (o.key == key && o.screen == screen)
            for (const Assignment &a : o.wanted)
                rec.set(a.field, a.value);
    return rec;
}

bool Api::lineOpen(const Fleet::Monitor &m, const Http::Respond &respond)
{
    if (fleet->lineIsOpen(m.address.lineKey()) || fleet->openLine(m.address))
        return true;
    respond(error(503, QStringLiteral("%1: the line is not open: %2").arg(nameOf(m.address.key()), fleet->lineError(m.address.lineKey()))));
    return false;
}

void Api::change(Fleet::Monitor &m, int s, QVector<Assignment> fields, bool verify, const Http::Respond &respond,
                 bool always)
{
    const QString key = m.address.key();
    const QString name = nameOf(key);
    // Compared with what the screen will show once the frames still waiting have
    // gone out: a value asked again after another one is queued must go out too.
    const ST_BasicData before = expected(m, s);
    ST_BasicData after = before;
    for (const Assignment &a : fields)
        after.set(a.field, a.value);
    QVector<int> groups = SettingsJson::changedGroups(before, after, m.type);
    // A value already waiting to go out is answered once its frame is written, as is
    // a tally asked for even when the last read shows it.
    for (const Assignment &a : fields) {
        const int g = fieldInfo(a.field).group;
        if (!groups.contains(g) && (always || outbox.contains(outboxKey(key, s, g, -1))))
            groups.append(g);
    }
    if (groups.contains(kUmdGroup) && !labelKnown(m, s))
        return respond(error(409, QStringLiteral("a type %1 monitor takes UMD 1's label with every UMD or tally change, "
                                                 "and no label was sent to screen %2 yet: send it first (POST .../umd)")
                                      .arg(m.type).arg(s + 1)));
    if (!groups.isEmpty() && !lineOpen(m, respond))
        return;
    auto result = std::make_shared<QJsonObject>(QJsonObject{{"monitor", name}, {"screen", s + 1}, {"sent", sentJson(groups)}});
    auto finish = [this, key, s, result, respond](int status, const QString &problem) {
        const Fleet::Monitor *now = fleet->find(key);
        if (!problem.isEmpty())
            return respond(error(status, problem));
        if (now)
            result->insert("settings", SettingsJson::fields(now->screens[static_cast<std::size_t>(s)].record, now->type, false));
        respond(reply(status, *result));
    };
    if (groups.isEmpty())
        return finish(200, QString());
    auto left = std::make_shared<int>(groups.size());
    auto over = std::make_shared<bool>(false);
    // The value of each field asked for as it went out: a later request merged
    // into the same frame may have replaced it.
    auto wentOut = std::make_shared<QVector<Assignment>>();
    QTimer::singleShot(SendLimitMs, this, [over, finish, name] {
        if (!std::exchange(*over, true))
            finish(503, QStringLiteral("%1: the frames did not go out in time").arg(name));
    });
    QPointer<Api> self(this);
    auto sent = [self, left, over, finish, verify, key, s, fields, name, result, wentOut](bool written, const ST_BasicData &frame, int group) {
        if (*over || !self)
            return;
        if (!written) {
            *over = true;
            return finish(503, QStringLiteral("%1: the frame was not written: the line is gone (%2)")
                                   .arg(name, self->fleet->lineError(self->fleet->find(key) ? self->fleet->find(key)->address.lineKey() : QString())));
        }
        for (const Assignment &a : fields)
            if (fieldInfo(a.field).group == group && frame.get(a.field) != a.value
                && std::none_of(wentOut->begin(), wentOut->end(), [&](const Assignment &w) { return w.field == a.field; }))
                wentOut->append({a.field, frame.get(a.field)});
        if (--*left > 0)
            return;
        if (!wentOut->isEmpty()) {
            QJsonObject replaced;
            for (const Assignment &w : qAsConst(*wentOut))
                replaced.insert(QLatin1String(fieldInfo(w.field).name), SettingsJson::value(w.field, w.value));
            result->insert("replacedBy", replaced); // a later request's values went out instead
        }
        if (!verify) {
            *over = true;
            return finish(200, QString());
        }
        self->fleet->read(key, s, [self, over, finish, key, s, fields, name, result, wentOut](bool answered) {
            if (!self || std::exchange(*over, true))
                return;
            const Fleet::Monitor *m = self->fleet->find(key);
            if (!answered || !m)
                return finish(503, QStringLiteral("monitor '%1' is not answering").arg(name));
            QStringList missed;
            const ST_BasicData &now = m->screens[static_cast<std::size_t>(s)].record;
            for (Assignment a : fields) {
                for (const Assignment &w : qAsConst(*wentOut))
                    if (w.field == a.field)
                        a.value = w.value; // what went out is what the monitor must show
                if (now.get(a.field) != a.value)
                    missed << QStringLiteral("%1 (sent %2, reads %3)").arg(QLatin1String(fieldInfo(a.field).name),
                                                                         Captions::valueCaption(a.field, a.value),
                                                                         Captions::valueCaption(a.field, now.get(a.field)));
            }
            if (!missed.isEmpty())
                return finish(502, QStringLiteral("%1 screen %2 did not take: %3").arg(name).arg(s + 1).arg(missed.join(QLatin1String(", "))));
            result->insert("verified", true);
            finish(200, QString());
        }, QStringLiteral("api"));
    };
    for (int g : qAsConst(groups)) {
        QVector<Assignment> own;
        for (const Assignment &a : qAsConst(fields))
            if (fieldInfo(a.field).group == g)
                own.append(a);
        queue(key, s, g, own, -1, QString(), [sent, g](bool written, const ST_BasicData &frame) { sent(written, frame, g); });
    }
}

void Api::queue(const QString &key, int screen, int group, const QVector<Assignment> &fields, int textSlot,
                const QString &text, const Waiter &done)
{
    const QString okey = outboxKey(key, screen, group, textSlot);
    Outbox &o = outbox[okey];
    o.key = key;
    o.screen = screen;
    for (const Assignment &a : fields) {
        auto same = std::find_if(o.wanted.begin(), o.wanted.end(), [&](const Assignment &w) { return w.field == a.field; });
        if (same != o.wanted.end())
            same->value = a.value; // a later request for the field wins
        else
            o.wanted.append(a);
    }
    SettingsJson::sortInRecordOrder(&o.wanted);
    o.textSlot = textSlot;
    if (textSlot >= 0)
        o.text = text;
    o.waiters.append(done);
    QPointer<Api> self(this);
    fleet->send(key, QStringLiteral("api|") + okey,
                [self, okey, key, screen, group](Fleet::Fleet::Setting *out) { return self && self->build(okey, key, screen, group, out); },
                [self, okey](bool written) {
                    if (!self)
                        return;
                    const Outbox o = self->outbox.take(okey);
                    for (const Waiter &w : o.waiters)
                        w(written, o.built);
                });
}

// The frame is built when the monitor's turn comes: the bytes this request does
// not change are the screen's latest (read, or sent by anyone since).
bool Api::build(const QString &okey, const QString &key, int screen, int group, Fleet::Fleet::Setting *out)
{
    const Fleet::Monitor *m = fleet->find(key);
    if (!m || !outbox.contains(okey))
        return false;
    Outbox &o = outbox[okey];
    const Fleet::ScreenState &st = m->screens[static_cast<std::size_t>(screen)];
    ST_BasicData rec = st.record;
    for (const Assignment &a : o.wanted)
        rec.set(a.field, a.value);
    out->screenMask = 1 << screen;
    out->group = group;
    out->umdText.clear();
    if (group == kUmdGroup) {
        if (m->type == 2) {
            rec.set(Field::umdTextIndex, o.textSlot >= 0 ? o.textSlot : kNoText);
            if (o.textSlot >= 0)
                out->umdText = Frame::umdLabel(o.text);
        } else if (o.textSlot >= 0) {
            out->umdText = Frame::umdLabel(o.text);
        } else if (st.labelSent[0]) {
            out->umdText = st.labels[0]; // the only UMD takes every frame's text: its last label
        } else if (outbox.contains(outboxKey(key, screen, kUmdGroup, 0))) {
            out->umdText = Frame::umdLabel(outbox.value(outboxKey(key, screen, kUmdGroup, 0)).text);
        } else {
            return false;
        }
    }
    out->record = rec;
    o.built = rec;
    return true;
}

void Api::postUmd(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    QJsonObject body;
    if (!bodyObject(r, &body, respond) || !onlyKeys(body, {QStringLiteral("slot"), QStringLiteral("text")}, respond))
        return;
    const QJsonValue slotValue = body.value("slot");
    if (body.contains("slot") && !wholeNumber(slotValue))
        return respond(error(400, QStringLiteral("slot: takes a whole number 1-4"), QStringLiteral("slot")));
    const int slot = body.contains("slot") ? slotValue.toInt() : 1;
    if (slot < 1 || slot > 4)
        return respond(error(422, QStringLiteral("slot=%1: slot takes 1-4").arg(slot), QStringLiteral("slot")));
    if (!body.value("text").isString())
        return respond(error(400, QStringLiteral("text: give the label as a string"), QStringLiteral("text")));
    const QString text = body.value("text").toString();
    if (text.size() > kUmdTextLength)
        return respond(error(422, QStringLiteral("text: at most %1 characters").arg(kUmdTextLength), QStringLiteral("text")));
    if (!Frame::sendsAsWritten(text))
        return respond(error(422, QStringLiteral("text: printable ASCII only (anything else would go out as blanks)"), QStringLiteral("text")));
    if (!screenArg(args, respond))
        return;
    QPointer<Api> self(this);
    withMonitor(args.value(0), respond, [self, args, slot, text, respond](Fleet::Monitor &m) {
        if (slot > 1 && m.type != 2)
            return respond(error(409, QStringLiteral("a type %1 monitor has one UMD").arg(m.type), QStringLiteral("slot")));
        self->withScreen(args, false, respond, [self, slot, text, respond](Fleet::Monitor &mon, int s) {
            self->sendLabel(mon, s, slot, text, respond);
        });
    });
}

void Api::sendLabel(Fleet::Monitor &m, int s, int slot, const QString &text, const Http::Respond &respond)
{
    const QString key = m.address.key();
    const QString name = nameOf(key);
    if (!lineOpen(m, respond))
        return;
    queue(key, s, kUmdGroup, {}, m.type == 2 ? slot - 1 : 0, text, [respond, name, s, slot, text](bool written, const ST_BasicData &) {
        if (!written)
            return respond(error(503, QStringLiteral("%1: the frame was not written: the line is gone").arg(name)));
        respond(reply(200, QJsonObject{{"monitor", name}, {"screen", s + 1}, {"slot", slot}, {"text", text},
                                       {"sent", sentJson({kUmdGroup})}}));
    });
}

// ---- presets ----

QString Api::presetPath(const QString &name) const
{
    return QDir(options.presetsDir).filePath(name + QStringLiteral(".json"));
}

void Api::listPresets(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    QJsonArray list;
    const QStringList files = QDir(options.presetsDir).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (const QString &file : files.mid(0, MostPresets)) {
        const QString name = file.chopped(5);
        if (!validName(name))
            continue;
        QFile f(presetPath(name));
        SettingsJson::Preset p;
        QString why;
        if (!f.open(QIODevice::ReadOnly) || f.size() > MaxBody || SettingsJson::readPreset(f.readAll(), &p, &why) != Fault::None) {
            list.append(QJsonObject{{"name", name}, {"error", why.isEmpty() ? f.errorString() : why}});
            continue;
        }
        QJsonArray screens;
        for (const auto &sc : qAsConst(p.screens))
            screens.append(sc.screen + 1);
        list.append(QJsonObject{{"name", name}, {"deviceType", p.deviceType}, {"monitorName", p.name}, {"screens", screens}});
    }
    respond(reply(200, QJsonObject{{"presets", list}}));
}

void Api::getPreset(const Http::Request &, const QStringList &args, const Http::Respond &respond)
{
    const QString name = args.value(0);
    QFile f(presetPath(name));
    if (!validName(name) || !f.open(QIODevice::ReadOnly))
        return respond(error(404, QStringLiteral("unknown preset '%1'").arg(name)));
    const QJsonDocument doc = QJsonDocument::fromJson(f.read(MaxBody + 1));
    if (!doc.isObject())
        return respond(error(500, QStringLiteral("preset '%1' cannot be read").arg(name)));
    respond(reply(200, doc.object()));
}

void Api::putPreset(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    const QString name = args.value(0);
    if (!validName(name))
        return respond(error(400, QStringLiteral("preset name '%1': 1-64 of A-Z a-z 0-9 _ -").arg(name)));
    const QJsonObject body = QJsonDocument::fromJson(r.body).object();
    if (!body.contains("from")) {
        SettingsJson::Preset p;
        QString why;
        const Fault f = SettingsJson::readPreset(r.body, &p, &why);
        if (f != Fault::None)
            return respond(error(statusOf(f), why));
        return writePreset(name, QJsonDocument::fromJson(r.body).object(), respond);
    }
    // A screen saved as it reads now, in the form every program saves a preset in.
    if (!onlyKeys(body, {QStringLiteral("from"), QStringLiteral("screen")}, respond))
        return;
    if (!body.value("from").isString() || (body.contains("screen") && !wholeNumber(body.value("screen"))))
        return respond(error(400, QStringLiteral("give \"from\": a monitor's name and \"screen\": its number")));
    QPointer<Api> self(this);
    const QStringList where{body.value("from").toString(), QString::number(body.value("screen").toInt(1))};
    withScreen(where, true, respond, [self, name, respond](Fleet::Monitor &m, int s) {
        const QJsonObject preset = SettingsJson::presetJson(
            m.type, Frame::shownText(m.name), {SettingsJson::presetScreen(s, m.screens[static_cast<std::size_t>(s)].record, m.type)});
        self->writePreset(name, preset, respond);
    });
}

void Api::writePreset(const QString &name, const QJsonObject &preset, const Http::Respond &respond)
{
    const bool exists = QFile::exists(presetPath(name));
    if (!exists && QDir(options.presetsDir).entryList({QStringLiteral("*.json")}, QDir::Files).size() >= MostPresets)
        return respond(error(409, QStringLiteral("%1 presets already: delete some first").arg(MostPresets)));
    QSaveFile out(presetPath(name));
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(preset).toJson()) < 0 || !out.commit())
        return respond(error(500, QStringLiteral("cannot write preset '%1': %2").arg(name, out.errorString())));
    QJsonArray screens;
    for (const QJsonValue &sc : preset.value("screens").toArray())
        screens.append(sc.toObject().value("screen"));
    respond(reply(exists ? 200 : 201, QJsonObject{{"name", name}, {"deviceType", preset.value("deviceType")}, {"screens", screens}}));
}

void Api::deletePreset(const Http::Request &, const QStringList &args, const Http::Respond &respond)
{
    const QString name = args.value(0);
    if (!validName(name) || !QFile::remove(presetPath(name)))
        return respond(error(404, QStringLiteral("unknown preset '%1'").arg(name)));
    respond(reply(200, QJsonObject{{"deleted", name}}));
}

void Api::recall(const Http::Request &r, const QStringList &args, const Http::Respond &respond)
{
    QJsonObject body;
    if (!bodyObject(r, &body, respond)
        || !onlyKeys(body, {QStringLiteral("preset"), QStringLiteral("screens"), QStringLiteral("force"), QStringLiteral("tally")}, respond))
        return;
    // The tally is live state, not a setting: it changes only when the request names it.
    Assignment tally{Field::tally, -1};
    if (body.contains("tally")) {
        QString why;
        const Fault f = SettingsJson::parse(QStringLiteral("tally"), body.value("tally"), &tally, &why);
        if (f != Fault::None)
            return respond(error(statusOf(f), why, QStringLiteral("tally")));
    }
    const QString presetName = body.value("preset").toString();
    QFile f(presetPath(presetName));
    if (!validName(presetName) || !f.open(QIODevice::ReadOnly))
        return respond(error(404, QStringLiteral("unknown preset '%1'").arg(presetName), QStringLiteral("preset")));
    SettingsJson::Preset preset;
    QString why;
    const Fault fault = SettingsJson::readPreset(f.read(MaxBody + 1), &preset, &why);
    if (fault != Fault::None)
        return respond(error(statusOf(fault), QStringLiteral("preset '%1': %2").arg(presetName, why), QStringLiteral("preset")));
    if (body.contains("screens") && !body.value("screens").isArray())
        return respond(error(400, QStringLiteral("screens: a list of screen numbers"), QStringLiteral("screens")));
    QVector<int> chosen;
    for (const QJsonValue &v : body.value("screens").toArray()) {
        if (!wholeNumber(v) || v.toInt() < 1 || v.toInt() > MachineDevice::MaxScreens)
            return respond(error(422, QStringLiteral("screens: numbers 1-8"), QStringLiteral("screens")));
        chosen.append(v.toInt() - 1);
    }
    // The preset's screens the request picks; one preset screen may go onto any one screen.
    QVector<SettingsJson::PresetScreen> wanted;
    if (chosen.isEmpty())
        wanted = preset.screens;
    else if (preset.screens.size() == 1 && chosen.size() == 1) {
        wanted = preset.screens;
        wanted.first().screen = chosen.first();
    } else
        for (int s : qAsConst(chosen)) {
            auto it = std::find_if(preset.screens.begin(), preset.screens.end(), [s](const auto &p) { return p.screen == s; });
            if (it == preset.screens.end())
                return respond(error(404, QStringLiteral("preset '%1' has no screen %2").arg(presetName).arg(s + 1), QStringLiteral("screens")));
            wanted.append(*it);
        }
    const bool force = body.value("force").toBool(false);
    const QString name = args.value(0);
    QPointer<Api> self(this);
    withMonitor(name, respond, [self, name, preset, wanted, force, tally, respond, presetName](Fleet::Monitor &m) {
        if (m.type != preset.deviceType && !force)
            return respond(error(409, QStringLiteral("preset '%1' is for type %2, %3 is type %4 (\"force\": true recalls it anyway)")
                                          .arg(presetName).arg(preset.deviceType).arg(name).arg(m.type)));
        for (const auto &sc : wanted)
            if (sc.screen >= m.screenCount)
                return respond(error(404, QStringLiteral("%1 has no screen %2").arg(name).arg(sc.screen + 1), QStringLiteral("screens")));
        // Each screen is read (when never read), then changed; the answer waits for all.
        const QString key = m.address.key();
        auto results = std::make_shared<QJsonArray>();
        auto failed = std::make_shared<bool>(false);
        auto left = std::make_shared<int>(wanted.size());
        for (const auto &sc : wanted) {
            QVector<Assignment> fields;
            for (const Assignment &a : sc.fields)
                if (TypeRules::offers(m.type, a.field, a.value) && SettingsJson::inPreset(a.field))
                    fields.append(a);
            if (tally.value >= 0)
                fields.append(tally);
            self->withScreen({name, QString::number(sc.screen + 1)}, false, [failed, respond](const Http::Response &resp) {
                if (!std::exchange(*failed, true))
                    respond(resp);
            }, [self, fields, results, failed, left, respond, name, presetName](Fleet::Monitor &mon, int s) {
                self->change(mon, s, fields, false, [results, failed, left, respond, name, presetName](const Http::Response &resp) {
                    if (*failed)
                        return;
                    if (resp.status != 200) {
                        *failed = true;
                        return respond(resp);
                    }
                    results->append(QJsonDocument::fromJson(resp.body).object());
                    if (--*left == 0)
                        respond(reply(200, QJsonObject{{"monitor", name}, {"preset", presetName}, {"screens", *results}}));
                });
            });
        }
    });
}

// ---- searches ----

void Api::discover(bool lan, const QStringList &serial, const std::function<void(QStringList, QStringList)> &done)
{
    searching = true;
    auto found = std::make_shared<QStringList>();
    auto added = std::make_shared<QStringList>();
    auto ports = std::make_shared<QStringList>(serial);
    QPointer<Api> self(this);
    auto take = [self, found, added](const QStringList &keys) {
        if (!self)
            return;
        for (const QString &key : keys) {
            const Fleet::Monitor *m = self->fleet->find(key);
            if (!m)
                continue;
            if (!self->byKey.contains(key)) {
                Fleet::Target t;
                t.serial = m->address.onSerial();
                t.port = m->address.port;
                t.device = m->address.device;
                t.ip = m->address.ip;
                t.id = m->address.id;
                QString name = nameForPlace(t);
                for (int i = 2; self->monitors.contains(name); ++i)
                    name = nameForPlace(t) + QStringLiteral("-%1").arg(i);
                self->addMonitor(name, t);
                emit self->monitorAdded(name);
                emit self->logLine(QStringLiteral("%1: found at %2, type %3").arg(name, t.text()).arg(m->type));
                added->append(name);
            }
            found->append(self->byKey.value(key));
        }
    };
    auto next = std::make_shared<std::function<void()>>();
    *next = [self, ports, take, found, added, done, next] {
        if (!self)
            return;
        if (ports->isEmpty()) {
            self->searching = false;
            // The chain holds itself: it lets go once this call has returned.
            QTimer::singleShot(0, self, [next] { *next = nullptr; });
            return done(*found, *added);
        }
        const QString port = ports->takeFirst();
        const Fleet::Address a = self->fleet->serialLine(port);
        if (!self->fleet->openLine(a)) // the fleet says so, and searches it again when it opens
            return (*next)();
        self->fleet->discoverSerial(port, [take, next](const QStringList &keys) { take(keys); (*next)(); }, QStringLiteral("api"));
    };
    if (!lan)
        return (*next)();
    Fleet::Address a;
    if (!fleet->openLine(a)) {
        emit logLine(QStringLiteral("the network socket does not open: %1").arg(fleet->lineError(a.lineKey())));
        return (*next)();
    }
    fleet->discoverLan([take, next](const QStringList &keys) { take(keys); (*next)(); });
}

void Api::postDiscover(const Http::Request &r, const QStringList &, const Http::Respond &respond)
{
    QJsonObject body;
    if (!bodyObject(r, &body, respond, true) || !onlyKeys(body, {QStringLiteral("lan"), QStringLiteral("serial")}, respond))
        return;
    if (body.contains("lan") && !body.value("lan").isBool())
        return respond(error(400, QStringLiteral("lan: true or false"), QStringLiteral("lan")));
    if (body.contains("serial") && !body.value("serial").isArray())
        return respond(error(400, QStringLiteral("serial: a list of serial ports"), QStringLiteral("serial")));
    QStringList serial;
    // Only ports the configuration names are opened: a path given here could be any device.
    // Each is opened by the path the configuration gives it.
    QHash<QString, QString> known; // device by canonical port
    for (const QString &d : qAsConst(options.discoverSerial))
        known.insert(Fleet::canonicalPort(d), d);
    for (const Fleet::Target &t : qAsConst(monitors))
        if (t.serial && !known.contains(t.port))
            known.insert(t.port, t.device.isEmpty() ? t.port : t.device);
    for (const QJsonValue &v : body.value("serial").toArray()) {
        if (!v.isString() || v.toString().isEmpty())
            return respond(error(400, QStringLiteral("serial: a list of serial ports"), QStringLiteral("serial")));
        const QString port = Fleet::canonicalPort(v.toString());
        if (!known.contains(port))
            return respond(error(400, QStringLiteral("serial: %1 is not a port the configuration names").arg(v.toString()), QStringLiteral("serial")));
        serial << known.value(port);
    }
    const bool lan = body.isEmpty() ? options.discoverLan : body.value("lan").toBool(false);
    if (body.isEmpty())
        serial = options.discoverSerial;
    if (!lan && serial.isEmpty())
        return respond(error(400, QStringLiteral("nothing to search: give \"lan\": true or \"serial\"")));
    if (searching)
        return respond(error(409, QStringLiteral("a search is running")));
    discover(lan, serial, [respond](const QStringList &found, const QStringList &added) {
        respond(reply(200, QJsonObject{{"found", QJsonArray::fromStringList(found)}, {"added", QJsonArray::fromStringList(added)}}));
    });
}

QJsonValue Api::silentMs(const Fleet::Monitor &m) const
{
    return m.lastAnswerMs < 0 ? QJsonValue() : QJsonValue(fleet->msSinceStart() - m.lastAnswerMs);
}

void Api::getFields(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    static const QByteArray doc = json(fieldTable());
    Http::Response r;
    r.body = doc;
    respond(r);
}

void Api::getOpenApi(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    static const QByteArray doc = json(openApi());
    Http::Response r;
    r.body = doc;
    respond(r);
}

void Api::getHealth(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    respond(healthPart->report());
}

void Api::getMetrics(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    respond(healthPart->metrics());
}

// ---- events tickets ----

// A browser cannot give a WebSocket a header, and a token in the URL lands in
// every proxy's access log: the page opens the events with a ticket instead,
// good for one upgrade within its lifetime.
void Api::postTicket(const Http::Request &, const QStringList &, const Http::Respond &respond)
{
    takeTicket(QByteArray()); // the expired ones go
    if (tickets.size() >= MostTickets)
        tickets.removeFirst();
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray value = QByteArray(reinterpret_cast<const char *>(words), sizeof words)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    tickets.append({value, clock.elapsed() + options.ticketMs});
    Http::Response r = reply(200, QJsonObject{{"ticket", QString::fromLatin1(value)}, {"expiresInMs", options.ticketMs}});
    r.headers += {{"Cache-Control", "no-store"}};
    respond(r);
}

bool Api::takeTicket(const QByteArray &ticket)
{
    const qint64 now = clock.elapsed();
    tickets.removeIf([now](const Ticket &t) { return t.untilMs <= now; });
    // Every ticket compared whole: the time taken tells nothing of which one is near.
    int found = -1;
    for (int i = 0; i < tickets.size(); ++i)
        if (sameBytes(tickets.at(i).value, ticket) && !ticket.isEmpty())
            found = i;
    if (found < 0)
        return false;
    tickets.remove(found);
    return true;
}
