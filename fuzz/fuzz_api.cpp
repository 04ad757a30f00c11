// Fuzz target for the service's request dispatcher, without a server: requests
// built from the input go to Api::handle over monitors of types 1, 2 and 4 (and
// one never identified) at IPv6 link-local addresses without a scope, which the
// fleet's IPv4 socket cannot send to: nothing goes out.
// Beyond "no crash": each request is answered at most once, with a status the API
// uses and a JSON object body ("error" from 400 on); requests that name no known
// monitor, or whose body is faulty, are answered at once. Then the monitors answer
// every read and search request for a few rounds, so answers that wait come too.
// Input: method and header flags, route and name, screen and preset, known screens
// (bit 7: a token from WORD), then "WORD\nBODY".
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include "api.h"
#include "webpage.h"
#include "frames.h"
#include "machinedevice.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}
const QByteArray kToken = "fuzz-token-0123456789";
const char *const kMethods[] = {"GET", "PATCH", "POST", "PUT", "DELETE", "OPTIONS", "HEAD", "get"};
const char *const kRoutes[] = {"/monitors", "/monitors/{name}", "/monitors/{name}/screens/{n}",
    "/monitors/{name}/screens/{n}/umd", "/monitors/{name}/screens/{n}/tally", "/monitors/{name}/recall",
    "/presets", "/presets/{preset}", "/discover", "/openapi.json", "/events", "/monitors/{name}/screens",
    "/{word}", "/monitors/{name}/screens/{n}/{word}", "/fields", "{word}"};
const char *const kNames[] = {"t1", "t2", "t4", "tx", "{word}", "nope", "", "t1.x"};
const char *const kPresets[] = {"p1", "p4", "broken", "{word}", "missing", "", "../p1", "p1.json"};

// Whether the request may wait for a monitor: it names a monitor (one never
// identified is probed first) and one of its screens, or asks for a recall, and
// its body has only keys the route takes, each value in its domain. A field or
// UMD slot the monitor's type lacks is told once the screen is read, so that is
// not judged here.
bool mayWait(const Http::Request &r, const QHash<QString, const Fleet::Monitor *> &named)
{
    const QStringList p = r.path.split(QLatin1Char('/'));
    if (p.size() < 5 || p.mid(0, 4).join(QLatin1Char('/')) != QLatin1String("/api/v1/monitors") || !named.contains(p[4]))
        return false;
    const Fleet::Monitor &m = *named[p[4]];
    bool ok = false;
    const int n = p.value(6).toInt(&ok);
    const bool screen = p.value(5) == QLatin1String("screens") && ok && n >= 1 && n <= (m.type < 0 ? 8 : m.screenCount);
    const QString route = QString::fromLatin1(r.method) + (screen ? QStringList{"screens/N"} + p.mid(7) : p.mid(5)).join('/').prepend(' ');
    const QJsonDocument doc = QJsonDocument::fromJson(r.body);
    const QJsonObject o = doc.object();
    const QStringList keys = o.keys();
    SettingsJson::Assignment a;
    QString why;
    if (route == QLatin1String("GET screens/N") || (route == QLatin1String("GET ") && m.type < 0))
        return true;
    if (!doc.isObject())
        return false;
    if (route == QLatin1String("PATCH screens/N")) {
        for (const QString &k : keys)
            if (k == QLatin1String("umdTextIndex") || SettingsJson::parse(k, o.value(k), &a, &why) != SettingsJson::Fault::None
                || std::none_of(kFields.begin(), kFields.end(), [&](const FieldInfo &f) { return k == QLatin1String(f.name); }))
                return false;
        return !keys.isEmpty();
    }
    if (route == QLatin1String("POST screens/N/umd")) {
        const QJsonValue slot = o.value("slot");
        return keys.size() == o.contains("slot") + o.contains("text") && o.value("text").isString()
            && o.value("text").toString().size() <= 16
            && (slot.isUndefined() || (slot.isDouble() && QVector<double>{1, 2, 3, 4}.contains(slot.toDouble())));
    }
    if (route == QLatin1String("POST screens/N/tally"))
        return keys == QStringList{"tally"} && SettingsJson::parse("tally", o.value("tally"), &a, &why) == SettingsJson::Fault::None;
    return route == QLatin1String("POST recall")
        && keys.size() == o.contains("preset") + o.contains("screens") + o.contains("force");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_api", *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir presets;
    static const bool quiet = (QLoggingCategory::setFilterRules(QStringLiteral("telvanor.*.debug=false")), true);
    if (size < 4 || !quiet)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data + 4), static_cast<int>(size - 4));
    const int cut = rest.indexOf('\n');
    const QString word = QString::fromUtf8(cut < 0 ? QByteArray() : rest.left(cut));
    Http::Request r;
    r.method = kMethods[data[0] & 7];
    r.body = cut < 0 ? rest : rest.mid(cut + 1);
    r.path = QString::fromLatin1(kRoutes[data[1] & 15]).replace("{name}", kNames[(data[1] >> 4) & 7]);
    r.path.replace("{n}", (data[2] & 15) ? QString::number(data[2] & 15) : QStringLiteral("{word}"));
    r.path.replace("{preset}", kPresets[(data[2] >> 4) & 7]).replace("{word}", word);
    if ((data[1] & 15) != 15)
        r.path.prepend(QStringLiteral("/api/v1"));
    else if (data[3] & 0x40) // the page's files
        r.path.prepend(QStringLiteral("/ui/"));
    r.query.setQueryItems({{"fresh", (data[1] & 0x80) ? "true" : "no"}, {"verify", (data[0] & 0x08) ? "true" : ""}});
    r.headers.insert("host", "127.0.0.1:8080");
    if (data[0] & 0x20)
        r.headers.insert("authorization", "Bearer " + ((data[3] & 0x80) ? word.toUtf8() : kToken));
    const char *const origins[] = {nullptr, "http://127.0.0.1:8080", "http://panel.test:8000", "http://elsewhere.test"};
    if (const char *origin = origins[data[0] >> 6])
        r.headers.insert("origin", origin);

    // Searches stay on a port that does not exist: a body naming the LAN or other ports is not tried.
    const QJsonObject body = QJsonDocument::fromJson(r.body).object();
    if (r.path.endsWith(QLatin1String("/discover")) && (body.value("lan").toBool() || body.contains("serial")))
        return 0;
    QDir dir(presets.path());
    for (const QString &f : dir.entryList(QDir::Files))
        dir.remove(f);
    const QByteArray preset = R"({"format": "telvanor-preset", "version": 1, "deviceType": %1, "name": "P",
        "screens": [{"screen": 1, "settings": {"brightness": 3, "tally": "red"}}, {"screen": 2, "settings": {"contrast": 5}}]})";
    for (const char *type : {"1", "4", ""}) {
        QFile f(dir.filePath(*type ? QStringLiteral("p%1.json").arg(type) : QStringLiteral("broken.json")));
        check(f.open(QIODevice::WriteOnly) && f.write(*type ? QByteArray(preset).replace("%1", type) : "{\"format\": ") > 0);
    }

    int answers = 0;
    {
        Fleet::Fleet fleet;
        Api::Options options;
        options.presetsDir = presets.path();
        options.discoverSerial = QStringList{QStringLiteral("/nonexistent/fuzz-search")};
        options.corsOrigins = QStringList{QStringLiteral("http://panel.test:8000")};
        if (data[0] & 0x10)
            options.token = kToken;
        Api api(&fleet, options);
        QHash<QString, const Fleet::Monitor *> named;
        for (int type : {1, 2, 4, -1}) {
            Fleet::Target t; // on the LAN at no address: what is sent to it goes nowhere
            t.ip = QStringLiteral("fe80::%1").arg(type < 0 ? 9 : type);
            const QString n = type < 0 ? QStringLiteral("tx") : QStringLiteral("t%1").arg(type);
            api.addMonitor(n, t);
            Fleet::Monitor &m = *fleet.find(t.address().key());
            named.insert(n, &m);
            if (type < 0)
                continue;
            MachineDevice d;
            d.setDeviceType(type);
            m.type = type;
            m.screenCount = d.screenCount;
            for (int s = 0; s < 8; ++s) { // screens read; the even ones have had their UMD 1 label
                m.screens[s].known = (data[3] >> std::min(s, 6)) & 1;
                m.screens[s].labelSent[0] = m.screens[s].known && s % 2 == 0;
            }
        }
        // Let through: no token asked for, or the right one; no foreign origin.
        const bool let = (options.token.isEmpty() || r.header("authorization") == "Bearer " + kToken) && (data[0] >> 6) != 3;
        // The page's files first, as the service routes them: answered at once, never JSON.
        Http::Response page;
        if (WebPage::serve(r, &page)) {
            check((page.status == 200 && r.path != QLatin1String("/ui/")) || page.status == 404 || page.status == 405);
            check(page.status != 200 || !page.type.startsWith("text/plain"));
            return 0;
        }
        api.handle(r, [&](const Http::Response &resp) {
            check(++answers == 1);
            const QJsonDocument doc = QJsonDocument::fromJson(resp.body);
            if (resp.status == 204)
                return check(r.method == "OPTIONS" && resp.body.isEmpty());
            if (resp.type != "application/json") // the metrics, in Prometheus' text format
                return check(resp.status == 200 && r.path == QLatin1String("/metrics"));
            check(QVector<int>{200, 201, 400, 401, 403, 404, 405, 409, 413, 422, 500, 502, 503}.contains(resp.status));
            check(doc.isObject() && (resp.status < 400 || doc.object().value("error").isString()));
        });
        check(answers == 1 || (let && mayWait(r, named)));
        // The monitors answer what they are asked, for a few rounds: settings from the input.
        QByteArray settings(1 + SettingsReply::Type2PayloadLength, '\0');
        for (int i = 0; i < settings.size() && !rest.isEmpty(); ++i)
            settings[i] = rest.at(i % rest.size());
        for (int round = 0; round < 3; ++round) {
            for (const Fleet::Monitor *m : qAsConst(named)) {
                const std::uint8_t id = static_cast<std::uint8_t>(m->id);
                fleet.receive(m->address, Frame::build({Frame::LinkNetwork, 0, 4, id}, Frame::CmdSearch, {}));
                for (int s = 0; s < 8; ++s)
                    fleet.receive(m->address, Frame::build({Frame::LinkNetwork, std::uint8_t(1 << s), 0, id}, Frame::CmdRead, settings));
            }
            QCoreApplication::processEvents();
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
