#include "config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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
    {"bridgeMap", QJsonValue::String},
};
constexpr KeyKind kDiscoverKeys[] = {{"lan", QJsonValue::Bool}, {"serial", QJsonValue::Array}};
constexpr KeyKind kHttpKeys[] = {
    {"listen", QJsonValue::String}, {"port", QJsonValue::Double}, {"tokenFile", QJsonValue::String},
    {"maxClients", QJsonValue::Double}, {"corsOrigins", QJsonValue::Array},
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

} // namespace

bool validName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return re.match(name).hasMatch();
}

QString nameForPlace(const CtlTarget &t)
{
    QString place = t.serial ? QStringLiteral("serial-%1-%2").arg(QFileInfo(t.port).fileName()).arg(t.id)
                             : QStringLiteral("lan-") + t.ip;
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return place.replace(other, QStringLiteral("-")).left(ServiceConfigLimits::MostNameLength);
}

int readServiceConfig(const QString &path, ServiceConfig *out, QString *error)
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
        CtlTarget t;
        QString reason;
        if (!it.value().isString() || !parseCtlTarget(it.value().toString(), &t, &reason) || t.screen >= 0)
            return bad(line, QStringLiteral("%1: %2").arg(it.key(), reason.isEmpty() ? QStringLiteral("a target \"lan:A.B.C.D\" or \"serial:PORT#ID\"") : reason));
        for (auto other = c.monitors.cbegin(); other != c.monitors.cend(); ++other)
            if (other.value().key() == t.key())
                return bad(line, QStringLiteral("%1: the same monitor as \"%2\"").arg(it.key(), other.key()));
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
        c.discoverSerial << v.toString();
    }
    if (c.monitors.isEmpty() && !c.discoverLan && c.discoverSerial.isEmpty())
        return bad(1, QStringLiteral("no monitors: give \"monitors\" or \"discover\""));

    c.baud = top.value("baud").toInt(38400);
    if (c.baud < 1200 || c.baud > 921600)
        return bad(lineOf(raw, "baud"), QStringLiteral("baud: 1200-921600"));
    c.readEveryMs = top.value("readEveryMs").toInt(5000);
    if (c.readEveryMs < ServiceConfigLimits::MinReadEveryMs)
        return bad(lineOf(raw, "readEveryMs"), QStringLiteral("readEveryMs: at least %1").arg(ServiceConfigLimits::MinReadEveryMs));

    c.presetsDir = place(top.value("presets").toString(QStringLiteral("presets")));
    if (!QDir().mkpath(c.presetsDir) || !QFileInfo(c.presetsDir).isWritable())
        return bad(lineOf(raw, "presets"), QStringLiteral("presets: %1 is no folder this service can write").arg(c.presetsDir));

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
