#include "config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QVector>

#include <utility>

namespace {

// The line of the first "key" at or after byte from (1 when not found).
int lineOf(const QByteArray &raw, const QByteArray &key, int from = 0)
{
    const int at = raw.indexOf('"' + key + '"', from);
    return at < 0 ? 1 : raw.left(at).count('\n') + 1;
}

struct KeyKind {
    const char *key;
    QJsonValue::Type type;
};
constexpr KeyKind kTopKeys[] = {
    {"monitors", QJsonValue::Object}, {"discover", QJsonValue::Object}, {"baud", QJsonValue::Double},
    {"readEveryMs", QJsonValue::Double}, {"presets", QJsonValue::String}, {"http", QJsonValue::Object},
    {"bridgeMap", QJsonValue::String}, {"state", QJsonValue::String}, {"rooms", QJsonValue::Object},
    {"mqtt", QJsonValue::Object},
};
constexpr KeyKind kMqttKeys[] = {
    {"broker", QJsonValue::String}, {"site", QJsonValue::String}, {"clientId", QJsonValue::String},
    {"user", QJsonValue::String}, {"passwordFile", QJsonValue::String}, {"caFile", QJsonValue::String},
    {"keepAlive", QJsonValue::Double}, {"publish", QJsonValue::Bool}, {"commands", QJsonValue::Bool},
    {"sites", QJsonValue::Array},
};
constexpr KeyKind kDiscoverKeys[] = {{"lan", QJsonValue::Bool}, {"serial", QJsonValue::Array}};
constexpr KeyKind kHttpKeys[] = {
    {"listen", QJsonValue::String}, {"port", QJsonValue::Double}, {"tokenFile", QJsonValue::String},
    {"maxClients", QJsonValue::Double}, {"corsOrigins", QJsonValue::Array}, {"hosts", QJsonValue::Array},
};

QString kindText(QJsonValue::Type t)
{
    switch (t) {
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Array: return QStringLiteral("a list");
    case QJsonValue::Bool: return QStringLiteral("true or false");
    case QJsonValue::Double: return QStringLiteral("a whole number");
    default: return QStringLiteral("a string");
    }
}

// The first key of o that is unknown or of another JSON type, described; empty when all are fine.
template <std::size_t N>
QString keyFault(const QJsonObject &o, const KeyKind (&keys)[N], const QString &where, QByteArray *key)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        const KeyKind *k = nullptr;
        for (const KeyKind &c : keys)
            if (it.key() == QLatin1String(c.key))
                k = &c;
        *key = it.key().toUtf8();
        if (!k)
            return QStringLiteral("%1unknown key \"%2\"").arg(where, it.key());
        const QJsonValue v = it.value();
        if (v.type() != k->type || (v.isDouble() && v.toDouble() != static_cast<double>(v.toInt())))
            return QStringLiteral("%1%2: takes %3").arg(where, it.key(), kindText(k->type));
    }
    return QString();
}

// A reason kept on one line: control characters a key or value brought in are shown escaped.
QString printable(QString text)
{
    for (int i = text.size() - 1; i >= 0; --i)
        if (text.at(i).unicode() < 0x20 || text.at(i).unicode() == 0x7f)
            text.replace(i, 1, QStringLiteral("\\u%1").arg(text.at(i).unicode(), 4, 16, QLatin1Char('0')));
    return text;
}

struct TwiceGiven {
    QString where; // "http: ", "monitors: "; empty at the top
    QString key;
    int first = 0, second = 0; // lines
};

// The first key given twice in one object of raw, JSON the parser took (the
// parser keeps the last of the two, dropping the first without a word).
bool keyGivenTwice(const QByteArray &raw, TwiceGiven *out)
{
    struct Open {
        bool object;
        QString where;
        QHash<QString, int> keys; // their lines
    };
    QVector<Open> open;
    QString key;          // the last key read
    bool keyNext = false; // after '{' or ',' in an object
    int line = 1;
    for (int i = 0; i < raw.size(); ++i) {
        const char ch = raw.at(i);
        if (ch == '\n') {
            ++line;
        } else if (ch == '{' || ch == '[') {
            const QString where = open.isEmpty() ? QString() : open.last().where + (open.last().object ? key + QStringLiteral(": ") : QString());
            open.append({ch == '{', where, {}});
            keyNext = ch == '{';
        } else if ((ch == '}' || ch == ']') && !open.isEmpty()) {
            open.removeLast();
        } else if (ch == ',' && !open.isEmpty()) {
            keyNext = open.last().object;
        } else if (ch == '"') {
            const int start = i;
            for (++i; i < raw.size() && raw.at(i) != '"'; ++i)
                i += raw.at(i) == '\\';
            if (!std::exchange(keyNext, false) || open.isEmpty())
                continue;
            const QByteArray token = raw.mid(start, i + 1 - start);
            key = token.contains('\\') ? QJsonDocument::fromJson('[' + token + ']').array().at(0).toString()
                                        : QString::fromUtf8(token.mid(1, token.size() - 2));
            Open &o = open.last();
            if (o.keys.contains(key)) {
                *out = {o.where, key, o.keys.value(key), line};
                return true;
            }
            o.keys.insert(key, line);
        }
    }
    return false;
}

// A folder this service can write to; at start it is made when missing, on a
// check one still to make is judged by the nearest folder above it that exists.
bool writableFolder(const QString &path, ConfigUse use)
{
    if (use == ConfigUse::Start && !QDir().mkpath(path))
        return false;
    QFileInfo f(path);
    while (!f.exists() && !f.isSymLink() && !f.isRoot())
        f.setFile(f.absolutePath());
    return f.isDir() && f.isWritable();
}

// The "mqtt" section; the line of a fault is looked for from at.
int readMqtt(QJsonObject m, const QString &path, const QByteArray &raw, int at, const QDir &base, MqttConfig *out, QString *error)
{
    auto bad = [&](const QByteArray &key, const QString &why) {
        *error = QStringLiteral("%1:%2: mqtt: %3").arg(path).arg(lineOf(raw, key, at)).arg(printable(why));
        return int(ExitFile);
    };
    const bool all = m.value("sites") == QJsonValue(QStringLiteral("*"));
    if (all)
        m.remove(QStringLiteral("sites"));
    QByteArray key;
    const QString why = keyFault(m, kMqttKeys, QString(), &key);
    if (!why.isEmpty())
        return bad(key, why);
    MqttConfig c;
    c.on = true;
    c.allSites = all;
    c.broker = m.value("broker").toString();
    QString reason;
    if (!MqttClient::parseUrl(c.broker, &c.client, &reason))
        return bad("broker", QStringLiteral("broker: %1").arg(reason));
    c.site = m.value("site").toString();
    if (!validName(c.site))
        return bad("site", QStringLiteral("site: this service's site name, 1-64 of A-Z a-z 0-9 _ -"));
    c.client.clientId = m.value("clientId").toString(QStringLiteral("telvanord-") + c.site);
    if (c.client.clientId.isEmpty() || c.client.clientId.size() > 128)
        return bad("clientId", QStringLiteral("clientId: 1-128 characters"));
    c.client.user = m.value("user").toString();
    if (m.contains("passwordFile")) {
        QFile pf(QDir::cleanPath(base.absoluteFilePath(m.value("passwordFile").toString())));
        if (!pf.open(QIODevice::ReadOnly))
            return bad("passwordFile", QStringLiteral("passwordFile: %1: %2").arg(pf.fileName(), pf.errorString()));
        c.client.password = pf.read(4096).trimmed();
    }
    if (m.contains("caFile")) {
        c.client.caFile = QDir::cleanPath(base.absoluteFilePath(m.value("caFile").toString()));
        if (!QFileInfo(c.client.caFile).isReadable())
            return bad("caFile", QStringLiteral("caFile: %1 cannot be read").arg(c.client.caFile));
    }
    c.client.keepAliveS = m.value("keepAlive").toInt(30);
    if (c.client.keepAliveS < 5 || c.client.keepAliveS > 3600)
        return bad("keepAlive", QStringLiteral("keepAlive: 5-3600 seconds"));
    c.publish = m.value("publish").toBool(true);
    c.commands = m.value("commands").toBool(true);
    for (const QJsonValue &v : m.value("sites").toArray()) {
        if (!validName(v.toString()) || v.toString() == c.site || c.sites.contains(v.toString()))
            return bad("sites", QStringLiteral("sites: \"*\" or a list of other sites' names, each once"));
        c.sites << v.toString();
    }
    *out = c;
    return ExitOk;
}

} // namespace

bool validName(const QString &name)
{
    // Anchored whole: "$" alone would also take a name ending in a line break.
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]{1,64}")));
    return re.match(name).hasMatch();
}

QString nameForPlace(const Fleet::Target &t)
{
    QString place = t.serial ? QStringLiteral("serial-%1-%2").arg(QFileInfo(t.port).fileName()).arg(t.id)
                             : QStringLiteral("lan-") + t.ip;
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return place.replace(other, QStringLiteral("-")).left(ServiceConfigLimits::MostNameLength);
}

int readServiceConfig(const QString &path, ServiceConfig *out, QString *error, ConfigUse use)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return ExitFile;
    }
    const QByteArray raw = f.readAll();
    auto bad = [&](int line, const QString &why) {
        *error = QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(printable(why));
        return int(ExitFile);
    };
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(raw, &pe);
    if (pe.error != QJsonParseError::NoError)
        return bad(raw.left(pe.offset).count('\n') + 1, pe.errorString());
    if (!doc.isObject())
        return bad(1, QStringLiteral("not a JSON object"));
    const QJsonObject top = doc.object();
    TwiceGiven twice;
    if (keyGivenTwice(raw, &twice))
        return bad(twice.second, QStringLiteral("%1\"%2\" given twice (first on line %3)").arg(twice.where, twice.key).arg(twice.first));
    const QDir base = QFileInfo(path).absoluteDir();
    auto place = [&](const QString &p) { return QDir::cleanPath(base.absoluteFilePath(p)); };
    QByteArray key;
    QString why = keyFault(top, kTopKeys, QString(), &key);
    if (!why.isEmpty())
        return bad(lineOf(raw, key), why);

    ServiceConfig c;
    c.path = path;
    const int monitorsAt = raw.indexOf("\"monitors\"");
    const QJsonObject monitors = top.value("monitors").toObject();
    for (auto it = monitors.begin(); it != monitors.end(); ++it) {
        const int line = lineOf(raw, it.key().toUtf8(), qMax(0, monitorsAt));
        if (!validName(it.key()))
            return bad(line, QStringLiteral("monitor name \"%1\": 1-64 of A-Z a-z 0-9 _ -").arg(it.key()));
        Fleet::Target t;
        QString reason;
        if (!it.value().isString() || !Fleet::parseTarget(it.value().toString(), &t, &reason) || t.screen >= 0)
            return bad(line, QStringLiteral("%1: %2").arg(it.key(), reason.isEmpty() ? QStringLiteral("a target \"lan:A.B.C.D\" or \"serial:PORT#ID\"") : reason));
        for (auto other = c.monitors.cbegin(); other != c.monitors.cend(); ++other)
            if (other.value().key() == t.key())
                return bad(line, QStringLiteral("%1: the same monitor as \"%2\" on line %3 (%4)")
                                     .arg(it.key(), other.key()).arg(lineOf(raw, other.key().toUtf8(), qMax(0, monitorsAt))).arg(t.text()));
        t.name = it.key();
        c.monitors.insert(it.key(), t);
    }
    // File order, for listings.
    QVector<QPair<int, QString>> ordered;
    for (const QString &n : c.monitors.keys())
        ordered.append({raw.indexOf('"' + n.toUtf8() + '"', qMax(0, monitorsAt)), n});
    std::sort(ordered.begin(), ordered.end());
    for (const auto &o : ordered)
        c.names << o.second;

    const QJsonObject discover = top.value("discover").toObject();
    why = keyFault(discover, kDiscoverKeys, QStringLiteral("discover: "), &key);
    if (!why.isEmpty())
        return bad(lineOf(raw, key, qMax(0, raw.indexOf("\"discover\""))), why);
    c.discoverLan = discover.value("lan").toBool(false);
    for (const QJsonValue &v : discover.value("serial").toArray()) {
        if (!v.isString() || v.toString().isEmpty())
            return bad(lineOf(raw, "serial"), QStringLiteral("discover: serial: a list of serial ports"));
        const QString port = Fleet::canonicalPort(v.toString());
        if (std::any_of(c.discoverSerial.begin(), c.discoverSerial.end(), [&](const QString &d) { return Fleet::canonicalPort(d) == port; }))
            return bad(lineOf(raw, "serial"), QStringLiteral("discover: serial: %1 given twice").arg(port));
        c.discoverSerial << v.toString(); // opened by the path given: a link follows the adapter
    }
    const int mqttAt = qMax(0, raw.indexOf("\"mqtt\""));
    if (top.contains("mqtt")) {
        const int status = readMqtt(top.value("mqtt").toObject(), path, raw, mqttAt, base, &c.mqtt, error);
        if (status != ExitOk)
            return status;
    }
    if (c.monitors.isEmpty() && !c.discoverLan && c.discoverSerial.isEmpty() && c.mqtt.sites.isEmpty() && !c.mqtt.allSites)
        return bad(1, QStringLiteral("no monitors: give \"monitors\", \"discover\" or \"mqtt\": {\"sites\": ...}"));
    const int roomsAt = qMax(0, raw.indexOf("\"rooms\""));
    const QJsonObject rooms = top.value("rooms").toObject();
    for (auto it = rooms.begin(); it != rooms.end(); ++it) {
        const int line = lineOf(raw, it.key().toUtf8(), roomsAt);
        if (it.key().trimmed().isEmpty() || it.key().size() > ServiceConfigLimits::MostNameLength || printable(it.key()) != it.key())
            return bad(line, QStringLiteral("rooms: a room's name is 1-64 printable characters"));
        if (!it.value().isArray())
            return bad(line, QStringLiteral("rooms: %1: a list of monitor names").arg(it.key()));
        for (const QJsonValue &v : it.value().toArray()) {
            if (!validName(v.toString()))
                return bad(line, QStringLiteral("rooms: %1: a list of monitor names").arg(it.key()));
            if (c.rooms.contains(v.toString()))
                return bad(line, QStringLiteral("rooms: %1 is in \"%2\" already").arg(v.toString(), c.rooms.value(v.toString())));
            c.rooms.insert(v.toString(), it.key());
        }
    }

    c.baud = top.value("baud").toInt(38400);
    if (c.baud < 1200 || c.baud > 921600)
        return bad(lineOf(raw, "baud"), QStringLiteral("baud: 1200-921600"));
    c.readEveryMs = top.value("readEveryMs").toInt(5000);
    if (c.readEveryMs < ServiceConfigLimits::MinReadEveryMs)
        return bad(lineOf(raw, "readEveryMs"), QStringLiteral("readEveryMs: at least %1").arg(ServiceConfigLimits::MinReadEveryMs));

    c.presetsDir = place(top.value("presets").toString(QStringLiteral("presets")));
    if (!writableFolder(c.presetsDir, use))
        return bad(lineOf(raw, "presets"), QStringLiteral("presets: %1 is no folder this service can write").arg(c.presetsDir));

    // systemd's StateDirectory= may name several folders, colon-separated: the first is ours.
    const QString systemdState = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (top.contains("state")) {
        if (top.value("state").toString().isEmpty())
            return bad(lineOf(raw, "state"), QStringLiteral("state: a folder for what the monitors cannot tell back"));
        c.stateDir = place(top.value("state").toString());
        c.stateFrom = QStringLiteral("\"state\" in the configuration");
    } else if (!systemdState.isEmpty()) {
        c.stateDir = QDir::cleanPath(QDir::current().absoluteFilePath(systemdState));
        c.stateFrom = QStringLiteral("$STATE_DIRECTORY");
    }
    if (!c.stateDir.isEmpty() && c.stateDir == c.presetsDir)
        return bad(lineOf(raw, top.contains("state") ? "state" : "presets"),
                   QStringLiteral("state: %1 is the presets folder: give another").arg(c.stateDir));

    const int httpAt = qMax(0, raw.indexOf("\"http\""));
    const QJsonObject http = top.value("http").toObject();
    why = keyFault(http, kHttpKeys, QStringLiteral("http: "), &key);
    if (!why.isEmpty())
        return bad(lineOf(raw, key, httpAt), why);
    c.listenText = http.value("listen").toString(QStringLiteral("127.0.0.1"));
    if (c.listenText == QLatin1String("localhost"))
        c.listen = QHostAddress(QHostAddress::LocalHost);
    else if (!c.listen.setAddress(c.listenText))
        return bad(lineOf(raw, "listen", httpAt), QStringLiteral("http: listen: \"%1\" is no IP address").arg(c.listenText));
    const int port = http.value("port").toInt(8080);
    if (port < 1 || port > 65535)
        return bad(lineOf(raw, "port", httpAt), QStringLiteral("http: port: 1-65535"));
    c.port = static_cast<quint16>(port);
    c.maxClients = http.value("maxClients").toInt(64);
    if (c.maxClients < 1 || c.maxClients > ServiceConfigLimits::MostClients)
        return bad(lineOf(raw, "maxClients", httpAt), QStringLiteral("http: maxClients: 1-%1").arg(ServiceConfigLimits::MostClients));
    for (const QJsonValue &v : http.value("corsOrigins").toArray()) {
        const QString o = v.toString();
        if (!v.isString() || !(o.startsWith(QLatin1String("http://")) || o.startsWith(QLatin1String("https://"))))
            return bad(lineOf(raw, "corsOrigins", httpAt), QStringLiteral("http: corsOrigins: a list of origins such as \"http://panel.example:8000\""));
        c.corsOrigins << o;
    }
    const int hostsAt = qMax(0, raw.indexOf("\"hosts\"", httpAt));
    for (const QJsonValue &v : http.value("hosts").toArray()) {
        static const QRegularExpression hostName(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9.-]{1,253}")));
        if (!v.isString())
            return bad(lineOf(raw, "hosts", httpAt), QStringLiteral("http: hosts: a list of host names"));
        const QByteArray written = v.toString().toUtf8();
        if (!hostName.match(v.toString()).hasMatch()) // on the line of the name, when it is written as it reads
            return bad(raw.indexOf('"' + written + '"', hostsAt) >= 0 ? lineOf(raw, written, hostsAt) : lineOf(raw, "hosts", httpAt),
                       QStringLiteral("http: hosts: \"%1\" is no host name (1-253 of A-Z a-z 0-9 - .)").arg(v.toString()));
        c.hosts << v.toString().toLower();
    }
    if (http.contains("tokenFile")) {
        c.tokenFile = place(http.value("tokenFile").toString());
        QFile tf(c.tokenFile);
        if (!tf.open(QIODevice::ReadOnly))
            return bad(lineOf(raw, "tokenFile", httpAt), QStringLiteral("http: tokenFile: %1: %2").arg(c.tokenFile, tf.errorString()));
        c.token = tf.read(4096).trimmed();
        if (c.token.size() < ServiceConfigLimits::MinTokenLength || c.token.contains('\n') || c.token.contains(' '))
            return bad(lineOf(raw, "tokenFile", httpAt), QStringLiteral("http: tokenFile: the token is one line of at least %1 characters without blanks").arg(ServiceConfigLimits::MinTokenLength));
    } else if (!c.listen.isLoopback()) {
        return bad(lineOf(raw, "listen", httpAt), QStringLiteral("http: listen: %1 is reachable from other machines: give \"tokenFile\"").arg(c.listenText));
    }

    if (top.contains("bridgeMap")) {
        c.hasBridge = true;
        c.bridgeMapPath = place(top.value("bridgeMap").toString());
        QFile map(c.bridgeMapPath);
        if (!map.open(QIODevice::ReadOnly))
            return bad(lineOf(raw, "bridgeMap"), QStringLiteral("bridgeMap: %1: %2").arg(c.bridgeMapPath, map.errorString()));
        const int status = readBridgeMap(c.bridgeMapPath, c.monitors, &c.bridgeMap, error);
        if (status != ExitOk) {
            *error = printable(*error);
            return status;
        }
    }
    *out = c;
    return ExitOk;
}
