// telvanord end to end: HTTP and WebSocket clients on real sockets, the service
// in this process, simulated monitors on a pseudo-terminal.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWebSocket>
#include <QtTest>

#include <sys/socket.h>

#include "api.h"
#include "config.h"
#include "events.h"
#include "fleet.h"
#include "httpgate.h"
#include "netlab.h"
#include "networklink.h"
#include "seriallink.h"
#include "service.h"
#include "simulator.h"
#include "statestore.h"
#include "systemdnotify.h"

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const QByteArray kToken = "sixteen-or-more-characters";
QByteArray text16(const char *s) { return QByteArray(s).leftJustified(16, ' '); }

// The value at a path of keys ("state", "quad", "2", "contrast").
QJsonValue at(QJsonValue v, const QStringList &path)
{
    for (const QString &k : path)
        v = v.toObject().value(k);
    return v;
}

struct Answer {
    int status = 0;
    QByteArray body;
};
} // namespace

class TestService : public QObject
{
    Q_OBJECT
    Simulator sim;
    std::unique_ptr<SerialLink> line;
    QTemporaryDir dir;
    std::unique_ptr<Service> service;
    QNetworkAccessManager nam;
    QString base;
    const quint16 tslPort = quint16(41000 + QCoreApplication::applicationPid() % 1000);

    // Writes a config file and reads it: the status, and the message when it is refused.
    int config(const QByteArray &text, ServiceConfig *out, QString *error)
    {
        QFile f(dir.filePath("telvanord.json"));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
        f.close();
        return readServiceConfig(f.fileName(), out, error);
    }

    QNetworkReply *start(const QByteArray &method, const QString &path, const QByteArray &body = {}, const QByteArray &auth = "Bearer " + kToken)
    {
        QNetworkRequest req(QUrl(base + path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (auth.startsWith("Origin ") || auth.startsWith("Host ")) // another site's page, or a name made to point here
            req.setRawHeader(auth.left(auth.indexOf(' ')), auth.mid(auth.indexOf(' ') + 1));
        else if (!auth.isEmpty())
            req.setRawHeader("Authorization", auth);
        if (auth.startsWith("Origin ") || auth.startsWith("Host "))
            req.setRawHeader("Authorization", "Bearer " + kToken);
        return nam.sendCustomRequest(req, method, body);
    }

    Answer finish(QNetworkReply *r)
    {
        QSignalSpy done(r, &QNetworkReply::finished);
        if (!r->isFinished())
            done.wait(15000);
        Answer a{r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), r->readAll()};
        r->deleteLater();
        return a;
    }

    Answer call(const QByteArray &method, const QString &path, const QByteArray &body = {}, const QByteArray &auth = "Bearer " + kToken)
    {
        return finish(start(method, path, body, auth));
    }

    // Bytes on a connection of their own: what comes back until the service closes
    // it or a whole JSON answer is in.
    QByteArray raw(const QByteArray &request, QTcpSocket *s)
    {
        s->connectToHost(QHostAddress::LocalHost, service->port());
        s->write(request);
        QByteArray got;
        (void)QTest::qWaitFor([&] { return s->state() == QAbstractSocket::UnconnectedState
                                           || ((got += s->readAll()).contains("\r\n\r\n{") && got.endsWith('}')); }, 10000);
        return got + s->readAll();
    }

    // Straight to the API, without a client: the request is taken before this returns.
    void direct(const QByteArray &method, const QString &path, const QByteArray &body, QList<Answer> *answers, const char *query = "")
    {
        Http::Request r;
        r.method = method;
        r.path = QStringLiteral("/api/v1") + path;
        r.query = QUrlQuery(QLatin1String(query));
        r.headers.insert("authorization", "Bearer " + kToken);
        r.body = body;
        service->api()->handle(r, [answers](const Http::Response &resp) { answers->append({resp.status, resp.body}); });
    }

    // A scrape of /metrics: each sample by its series, "name{label=value,...}", the label
    // values as the text format's escapes (\\ \" \n) give them back.
    QHash<QString, double> scrape(QByteArray *text = nullptr)
    {
        const Answer a = call("GET", "/../../metrics");
        if (text)
            *text = a.body;
        QHash<QString, double> samples;
        for (const QByteArray &l : a.body.split('\n')) {
            QByteArray series;
            bool quoted = false;
            int i = 0;
            for (; i < l.size() && (quoted || l[i] != ' ') && !l.startsWith('#'); ++i) {
                if (quoted && l[i] == '\\')
                    series += l[++i] == 'n' ? '\n' : l[i];
                else if (l[i] == '"')
                    quoted = !quoted;
                else
                    series += l[i];
            }
            if (i > 0)
                samples.insert(QString::fromUtf8(series), l.mid(i + 1).toDouble());
        }
        return samples;
    }

    Simulator kept; // the restart tests' monitors, on a line of their own: type 1 ID 2, type 4 ID 4, type 1 ID 5
    std::unique_ptr<SerialLink> keptLine;

    // A service of its own (PTY: the restart tests' line), its log gathered; the test's calls go to it.
    std::unique_ptr<Service> own(QString json, QStringList *log)
    {
        ServiceConfig c;
        QString why;
        if (config(json.replace("PTY", keptLine->path()).toUtf8(), &c, &why) != 0)
            qWarning("%s", qPrintable(why));
        c.port = 0;
        auto s = std::make_unique<Service>(c);
        connect(s.get(), &Service::logLine, this, [log](const QString &l) { *log << l; });
        if (s->start(&why) != 0)
            qWarning("%s", qPrintable(why));
        base = QStringLiteral("http://127.0.0.1:%1/api/v1").arg(s->port());
        return s;
    }

private slots:
    void init()
    {
        if (service)
            base = QStringLiteral("http://127.0.0.1:%1/api/v1").arg(service->port());
    }

    void initTestCase()
    {
        QString why;
        sim.monitors = {Sim::makeMonitor(2, 1, {}), Sim::makeMonitor(1, 2, {}), Sim::makeMonitor(4, 3, {})};
        sim.logReads = false;
        sim.monitors[2].name = QByteArray("RACK-A").leftJustified(16, '\0'); // fixed fields padded with zero bytes
        sim.monitors[2].screens[0].inputText = QByteArray("1080p50 IN1").leftJustified(18, '\0');
        sim.monitors.append(Sim::makeMonitor(4, 4, {})); // found by a search alone
        line = std::make_unique<SerialLink>(&sim);
        QVERIFY2(line->openPty(&why), qPrintable(why));
        kept.monitors = {Sim::makeMonitor(1, 2, {}), Sim::makeMonitor(4, 4, {}), Sim::makeMonitor(1, 5, {})};
        kept.logReads = false;
        keptLine = std::make_unique<SerialLink>(&kept);
        QVERIFY2(keptLine->openPty(&why), qPrintable(why));
        QFile token(dir.filePath("token"));
        QVERIFY(token.open(QIODevice::WriteOnly));
        token.write(kToken + "\n");
        token.close();
        QFile map(dir.filePath("map.json"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write(QStringLiteral(R"({"listen": {"udp31": %1}, "displays": [{"tsl": "3.1/1", "target": "single"}]})").arg(tslPort).toUtf8());
        map.close();
        ServiceConfig c;
        QCOMPARE(config(QStringLiteral(R"({"monitors": {"multi": "serial:%1#1", "single": "serial:%1#2", "quad": "serial:%1#3",
            "ghost": "serial:%1#9"}, "readEveryMs": 1000, "presets": "presets", "http": {"tokenFile": "token"},
            "bridgeMap": "map.json"})").arg(line->path()).toUtf8(), &c, &why), 0);
        c.port = 0; // any free port
        service = std::make_unique<Service>(c);
        QCOMPARE(service->start(&why), 0);
        base = QStringLiteral("http://127.0.0.1:%1/api/v1").arg(service->port());
        for (const char *name : {"multi", "single", "quad"})
            QTRY_VERIFY_WITH_TIMEOUT(service->fleet()->find(service->api()->keyOf(name))->screens[0].known, 10000);
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("auth");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("monitor");  // the simulated monitor that must take (or not take) frames
        QTest::addColumn<int>("frames");   // setting frames it takes; -1: not counted
        QTest::addColumn<QString>("field"); // and then shows this field (or UMD slot "umdN") ...
        QTest::addColumn<QVariant>("value"); // ... with this value or text
        const QByteArray ok = "Bearer " + kToken;
        auto row = [&](const char *name, const char *method, const char *path, const QByteArray &body, int status, const char *says,
                       int monitor = 0, int frames = -1, const char *field = "", const QVariant &value = {}, const QByteArray &auth = {}) {
            QTest::newRow(name) << QByteArray(method) << QString(path) << body << (auth.isEmpty() ? ok : auth) << status
                                << QString(says) << monitor << frames << QString(field) << value;
        };
        // Rows run in order: later ones build on what earlier ones sent.
        row("list", "GET", "/monitors", {}, 200, R"("name":"multi")");
        row("one monitor", "GET", "/monitors/quad", {}, 200, R"("screenCount":3)");
        row("text without its padding", "GET", "/monitors/quad", {}, 200, R"("input":"1080p50 IN1","known")");
        row("a name without its padding", "GET", "/monitors", {}, 200, R"("monitorName":"RACK-A","name":"quad")");
        row("unknown monitor", "GET", "/monitors/nope", {}, 404, "unknown monitor 'nope'");
        row("screen past its type's", "GET", "/monitors/quad/screens/4", {}, 404, "has no screen 4");
        row("screen 0", "GET", "/monitors/multi/screens/0", {}, 404, "screens count from 1");
        row("two fields, one group", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 80, "contrast": 60})", 200,
            R"("sent":[{"group":1,"page":"Picture"}])", 0, 1, "brightness", 80);
        row("two groups", "PATCH", "/monitors/multi/screens/1", R"({"volume": 20, "markerColor": "red"})", 200, R"("group":2)", 0, 2, "volume", 20);
        row("unchanged: nothing sent", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 80})", 200, R"("sent":[])", 0, 0);
        row("out of domain: nothing sent", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 50, "contrast": 101})", 422,
            "contrast takes 0-100", 0, 0, "brightness", 80);
        row("unknown field", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 50, "bogus": 1})", 400, R"("field":"bogus")", 0, 0);
        row("unknown value", "PATCH", "/monitors/multi/screens/1", R"({"colorTemp": "warmish"})", 400, "bad value 'warmish'", 0, 0);
        row("fraction", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 50.5})", 400, "whole number", 0, 0);
        row("bad JSON", "PATCH", "/monitors/multi/screens/1", R"({"brightness": )", 400, "bad JSON", 0, 0);
        row("a field the type lacks", "PATCH", "/monitors/single/screens/1", R"({"mvMode": 1})", 409, "has no mvMode", 1, 0);
        row("text index", "PATCH", "/monitors/multi/screens/1", R"({"umdTextIndex": 1})", 400, "POST .../umd", 0, 0);
        row("tally before a label", "POST", "/monitors/single/screens/1/tally", R"({"tally": "red"})", 409, "send it first", 1, 0);
        row("label", "POST", "/monitors/single/screens/1/umd", R"({"text": "CAM 1"})", 200, R"("text":"CAM 1")", 1, 1, "umd1", "CAM 1");
        row("tally keeps the label", "POST", "/monitors/single/screens/1/tally", R"({"tally": "red"})", 200, R"("tally":"red")", 1, 1, "umd1", "CAM 1");
        row("a tally already shown goes again", "POST", "/monitors/single/screens/1/tally", R"({"tally": 1})", 200, "", 1, 1, "tally", 1);
        row("unknown tally", "POST", "/monitors/single/screens/1/tally", R"({"tally": "purple"})", 400, "bad value", 1, 0);
        row("slot 2 of one UMD", "POST", "/monitors/single/screens/1/umd", R"({"slot": 2, "text": "x"})", 409, "has one UMD", 1, 0);
        row("slot 5", "POST", "/monitors/multi/screens/1/umd", R"({"slot": 5, "text": "x"})", 422, "slot takes 1-4", 0, 0);
        row("label too long", "POST", "/monitors/multi/screens/1/umd", R"({"text": "seventeen chars!!"})", 422, "at most 16", 0, 0);
        row("slot 3 of type 2", "POST", "/monitors/multi/screens/1/umd", R"({"slot": 3, "text": "ISO 3"})", 200, "", 0, 1, "umd3", "ISO 3");
        row("a label that would go out as blanks", "POST", "/monitors/multi/screens/1/umd", "{\"text\": \"Caf\u00e9\"}", 422, "printable ASCII", 0, 0);
        row("a source the type lacks", "PATCH", "/monitors/single/screens/1", R"({"source": "SDI3"})", 409, "has no source SDI3", 1, 0);
        row("a value the type never enables", "PATCH", "/monitors/quad/screens/1", R"({"wave": "Multi"})", 409, "never enables", 2, 0);
        row("a setting another turns off", "PATCH", "/monitors/multi/screens/1", R"({"umd2Color": "blue"})", 409, "while mvMode is not on", 0, 0);
        row("turned on by the same request", "PATCH", "/monitors/multi/screens/1", R"({"mvMode": "on", "umd2Color": "blue"})", 200, "", 0, 2, "mvMode", 1);
        row("off while multiview is on", "PATCH", "/monitors/multi/screens/1", R"({"markerColor": "blue"})", 409, "while mvMode is on", 0, 0);
        row("multiview off again", "PATCH", "/monitors/multi/screens/1", R"({"mvMode": "off"})", 200, "", 0, 1, "mvMode", 0);
        row("third screen", "PATCH", "/monitors/quad/screens/3", R"({"sharpness": 12})", 200, R"("screen":3)", 2, 1, "sharpness", 12);
        row("no token", "GET", "/monitors", {}, 401, "token", 0, -1, "", {}, "None");
        row("wrong token", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 10})", 401, "token", 0, 0, "", {}, "Bearer sixteen-or-more-characterz");
        row("too large", "PATCH", "/monitors/multi/screens/1", QByteArray(70000, ' '), 413, "over 65536 bytes", 0, 0);
        row("another site's page", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 10})", 403, "origin not allowed", 0, 0,
            "", {}, "Origin http://elsewhere.example");
        row("silent monitor", "GET", "/monitors/ghost/screens/1", {}, 503, "'ghost' is not answering");
        row("a port not configured", "POST", "/discover", R"({"serial": ["/dev/watchdog"]})", 400, "not a port the configuration names");
        row("a field name cut short", "PATCH", "/monitors/multi/screens/1", "{\"brightness\\u0000x\": 5}", 400, "unknown field", 0, 0);
        row("method", "DELETE", "/monitors", {}, 405, "takes GET");
        row("outside the API", "GET", "/../etc/passwd", {}, 404, "not found");
        row("a name made to point here", "GET", "/monitors", {}, 403, "host not allowed", 0, -1, "", {}, "Host attacker.example:8080");
        row("a tally through such a name", "POST", "/monitors/single/screens/1/tally", R"({"tally": "red"})", 403, "host not allowed", 1, 0,
            "", {}, "Host attacker.example");
        row("the page through such a name", "GET", "/../", {}, 403, "host not allowed", 0, -1, "", {}, "Host attacker.example");
        row("the scheme in lower case", "GET", "/monitors", {}, 200, R"("monitors")", 0, -1, "", {}, "bearer " + kToken);
        row("a negative level", "PATCH", "/monitors/multi/screens/1", R"({"brightness": -1})", 422, "brightness takes 0-100", 0, 0);
        row("a level past any integer", "PATCH", "/monitors/multi/screens/1", R"({"brightness": 4294967346})", 422, "takes 0-100", 0, 0);
        row("a number past the field's bits", "PATCH", "/monitors/multi/screens/1", R"({"colorTemp": 9})", 422, "colorTemp takes 0-5", 0, 0);
        row("a tally past its values", "POST", "/monitors/multi/screens/1/tally", R"({"tally": 7})", 422, "tally takes 0-3", 0, 0);
        row("health with a monitor never heard", "GET", "/health", {}, 503, R"(ghost: not answering (never answered))");
        row("health without the token", "GET", "/health", {}, 401, "token", 0, -1, "", {}, "None");
        row("metrics without the token", "GET", "/../../metrics", {}, 401, "token", 0, -1, "", {}, "None");
        row("metrics through a name made to point here", "GET", "/../../metrics", {}, 403, "host not allowed", 0, -1, "", {}, "Host attacker.example");
    }

    void requests()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, auth);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(int, monitor);
        QFETCH(int, frames);
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        const int before = sim.monitors[monitor].commandsApplied;
        const Answer a = call(method, path, body, auth == "None" ? QByteArray() : auth);
        QVERIFY2(a.status == status && a.body.contains(says.toUtf8()), qPrintable(QString::number(a.status) + ' ' + a.body));
        QVERIFY2(QJsonDocument::fromJson(a.body).isObject(), a.body);
        if (frames >= 0)
            QTRY_COMPARE(sim.monitors[monitor].commandsApplied - before, frames);
        if (field.isEmpty())
            return;
        const Sim::Screen &shown = sim.monitors[monitor].screens[path.section(QLatin1Char('/'), 4, 4).toInt() - 1];
        Field f;
        if (field.startsWith("umd"))
            QCOMPARE(shown.umdText[field.mid(3).toInt() - 1], text16(value.toByteArray().constData()));
        else if (fieldByName(field.toLatin1().constData(), &f))
            QCOMPARE(shown.record.get(f), value.toInt());
    }

    // A label and a tally asked for at once (in this order, straight to the API):
    // the tally does not wait for the label to go out, and carries it.
    void labelAndTallyAtOnce()
    {
        QList<Answer> answers;
        direct("PATCH", "/monitors/quad/screens/1", R"({"brightness": 44})", &answers); // holds the label back by the 500 ms pace
        direct("POST", "/monitors/quad/screens/3/umd", R"({"text": "Q3"})", &answers);
        direct("POST", "/monitors/quad/screens/3/tally", R"({"tally": "green"})", &answers);
        QTRY_COMPARE(answers.size(), 3);
        QVERIFY(std::all_of(answers.begin(), answers.end(), [](const Answer &a) { return a.status == 200; }));
        const Sim::Screen &shown = sim.monitors[2].screens[2];
        QTRY_COMPARE(shown.record.get(Field::tally), 2);
        QCOMPARE(shown.umdText[0], text16("Q3"));
    }

    // Requests asked while an earlier frame waits for the monitor's pace: the value
    // asked last is the value the monitor ends on (80, 50, 80 ends at 80), and a
    // request merged with a later one says what went out instead.
    void laterRequestWins()
    {
        QList<Answer> answers;
        const Sim::SimMonitor &quad = sim.monitors[2];
        QCOMPARE(call("PATCH", "/monitors/quad/screens/1", R"({"brightness": 80})").status, 200); // written: the next waits
        const int before = quad.commandsApplied;
        direct("PATCH", "/monitors/quad/screens/1", R"({"brightness": 50})", &answers, "verify=true");
        direct("PATCH", "/monitors/quad/screens/1", R"({"brightness": 80})", &answers);
        direct("PATCH", "/monitors/quad/screens/1", R"({"brightness": 80})", &answers); // answered once that frame is out
        QTRY_COMPARE(answers.size(), 3);
        QTRY_COMPARE(quad.commandsApplied - before, 1);
        QCOMPARE(quad.screens[0].record.get(Field::brightness), 80);
        QVERIFY2(answers[0].body.contains(R"("sent":[{"group":1)") && answers[1].body.contains(R"("sent":[{"group":1)"), answers[1].body);
        const Answer merged = answers[2]; // read back first
        QVERIFY2(merged.status == 200 && merged.body.contains(R"("replacedBy":{"brightness":80})") && merged.body.contains(R"("verified":true)"), merged.body);
    }

    // A monitor whose serial line has gone: 503 at once, nothing sent, its state and events unchanged.
    void lineGone()
    {
        Simulator other;
        other.monitors = {Sim::makeMonitor(1, 6, {})};
        auto gone = std::make_unique<SerialLink>(&other);
        QString why;
        QVERIFY2(gone->openPty(&why), qPrintable(why));
        Fleet::Target t;
        const QString unplugged = dir.filePath("ttyUNPLUGGED"); // gone for good: its number may serve another line later
        QVERIFY(QFile::link(gone->path(), unplugged));
        QVERIFY(Fleet::parseTarget(QStringLiteral("serial:%1#6").arg(unplugged), &t, &why));
        service->api()->addMonitor("unplugged", t);
        const QString key = service->api()->keyOf("unplugged");
        QTRY_VERIFY_WITH_TIMEOUT(service->fleet()->find(key)->screens[0].known, 10000);
        QCOMPARE(call("POST", "/monitors/unplugged/screens/1/umd", R"({"text": "U1"})").status, 200);
        QSignalSpy changed(service->fleet(), &Fleet::Fleet::fieldChanged);
        // Asked while the line is there, its frame held back by the pace; then the adapter is pulled.
        QList<Answer> answers;
        direct("POST", "/monitors/unplugged/screens/1/tally", R"({"tally": "red"})", &answers);
        gone.reset();
        QFile::remove(unplugged);
        QTRY_COMPARE(answers.size(), 1);
        for (const Answer &a : {answers[0], call("PATCH", "/monitors/unplugged/screens/1", R"({"brightness": 29})")})
            QVERIFY2(a.status == 503 && a.body.contains("line"), a.body);
        QCOMPARE(other.monitors[0].screens[0].record.get(Field::tally), 0);
        QCOMPARE(service->fleet()->find(key)->screens[0].record.get(Field::tally), 0);
        QVERIFY(std::none_of(changed.begin(), changed.end(), [&](const QList<QVariant> &c) { return c[0].toString() == key; }));
    }

    // A USB adapter pulled and plugged back (its pseudo-terminal gone, a new one
    // behind the same name) with a monitor of another type now at the same ID: the
    // fleet opens it again for the API and the bridge alike, asks the type again,
    // and says each change once. A searched port missing at start is said once,
    // searched when it appears. No UDP socket is made for serial lines.
    void adapterPluggedBack()
    {
        static QStringList said; // Qt's messages meanwhile
        const QtMessageHandler before = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) { said << m; });
        const auto restore = qScopeGuard([before] { qInstallMessageHandler(before); });
        auto udpSockets = [] { // datagram sockets of this process
            int n = 0;
            for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System)) {
                int type = 0;
                socklen_t len = sizeof type;
                n += getsockopt(fd.fileName().toInt(), SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
            }
            return n;
        };
        const int udpBefore = udpSockets();
        Simulator rackSim, laterSim;
        rackSim.monitors = {Sim::makeMonitor(4, 5, {})};
        laterSim.monitors = {Sim::makeMonitor(1, 7, {})};
        auto rack = std::make_unique<SerialLink>(&rackSim);
        SerialLink later(&laterSim);
        QString why;
        QVERIFY2(rack->openPty(&why) && later.openPty(&why), qPrintable(why));
        const QString rackPath = dir.filePath("ttyRACK"), laterPath = dir.filePath("ttyLATER");
        QVERIFY(QFile::link(rack->path(), rackPath));
        QFile map(dir.filePath("map-rack.json"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write(QStringLiteral(R"({"listen": {"tcp5": %1}, "displays": [{"tsl": "5.0/0/3", "target": "rack"}]})").arg(tslPort + 1).toUtf8());
        map.close();
        QStringList log;
        auto svc = own(QStringLiteral(R"({"monitors": {"rack": "serial:%1#5"}, "discover": {"serial": ["%2"]},
            "readEveryMs": 1000, "bridgeMap": "map-rack.json"})").arg(rackPath, laterPath), &log);
        auto count = [&](const QString &text) { return log.filter(text).size(); };
        const QString key = svc->api()->keyOf("rack");
        QTRY_VERIFY(svc->fleet()->find(key)->screens[0].known);
        QTcpSocket tsl; // the mixer's TSL 5.0 stream
        tsl.connectToHost(QHostAddress::LocalHost, tslPort + 1);
        QVERIFY(tsl.waitForConnected(5000));
        auto tally = [&](int left) { // DLE STX, byte count 14, version, flags, screen 0; index 3, left tally, 4 bytes "RACK"
            tsl.write(QByteArray::fromHex("fe02 0e00 00 00 0000 0300") + char(left << 4) + QByteArray::fromHex("00 0400") + "RACK");
        };
        tally(1);
        QTRY_COMPARE(rackSim.monitors[0].screens[0].record.get(Field::tally), 1);

        // Health: degraded while a port is not open or a monitor does not answer, else ok.
        auto health = [&](int status, const char *says) {
            const Answer a = call("GET", "/health", {}, {});
            return a.status == status && a.body.contains(says);
        };
        QTRY_VERIFY(health(200, R"("status":"ok")") && health(200, "\"answering\":true,\"line\":\"serial:"));
        rack.reset(); // pulled
        QTRY_COMPARE(count("ttyRACK is gone ("), 1);
        QTRY_VERIFY(health(503, ": not open (")); // and back before the monitor counts as silent
        rackSim.monitors = {Sim::makeMonitor(2, 5, {})}; // another monitor at ID 5 now
        rack = std::make_unique<SerialLink>(&rackSim);
        QVERIFY2(rack->openPty(&why), qPrintable(why));
        QVERIFY(QFile::remove(rackPath) && QFile::link(rack->path(), rackPath));
        QTRY_COMPARE(count("ttyRACK open again"), 1);
        QTRY_COMPARE(svc->fleet()->find(key)->type, 2);
        QCOMPARE(call("PATCH", "/monitors/rack/screens/1", R"({"brightness": 41})", {}).status, 200);
        QCOMPARE(rackSim.monitors[0].screens[0].record.get(Field::brightness), 41);
        // The bridge brings the new monitor up to date without a word from the mixer.
        QTRY_COMPARE(rackSim.monitors[0].screens[0].record.get(Field::tally), 1);
        QCOMPARE(rackSim.monitors[0].screens[0].umdText[0], text16("RACK"));

        QVERIFY(QFile::link(later.path(), laterPath)); // plugged in after the start
        QTRY_VERIFY_WITH_TIMEOUT(svc->api()->names().contains("serial-ttyLATER-7"), 15000); // 127 IDs asked
        QCOMPARE(count("does not open"), 1);
        QCOMPARE(count("state: none kept"), 1);
        laterSim.failures.stopAfter = laterSim.requestCount(); // its line still open
        QTRY_VERIFY_WITH_TIMEOUT(health(503, "serial-ttyLATER-7: not answering for"), 15000);
        QVERIFY2(said.filter("ttyLATER").size() <= 1, qPrintable(said.join('\n')));
        QCOMPARE(udpSockets(), udpBefore);
    }

    // Read back: taken, and not taken.
    void verify()
    {
        Answer a = call("PATCH", "/monitors/quad/screens/2?verify=true", R"({"brightness": 55})");
        QVERIFY2(a.status == 200 && a.body.contains(R"("verified":true)"), a.body);
        sim.failures.ignoreSettings = true;
        a = call("PATCH", "/monitors/quad/screens/2?verify=true", R"({"brightness": 56})");
        sim.failures.ignoreSettings = false;
        QVERIFY2(a.status == 502 && a.body.contains("did not take: brightness (sent 56, reads 55)"), a.body);
    }

    // The tally bridge and the API on one monitor: neither undoes what the other sent.
    void bridgeAndApiShareTheLine()
    {
        QUdpSocket tsl;
        const QByteArray v31 = QByteArray(1, char(0x81)) + char(0x01) + text16("BRIDGE"); // address 1, tally 1 on
        QCOMPARE(tsl.writeDatagram(v31, QHostAddress::LocalHost, tslPort), qint64(v31.size()));
        const Sim::Screen &single = sim.monitors[1].screens[0];
        QTRY_COMPARE(single.umdText[0], text16("BRIDGE"));
        QCOMPARE(single.record.get(Field::tally), 1);
        QCOMPARE(call("PATCH", "/monitors/single/screens/1", R"({"umd1Color": "green"})").status, 200);
        QTRY_COMPARE(single.record.get(Field::umd1Color), 2);
        QCOMPARE(single.record.get(Field::tally), 1);
        QCOMPARE(single.umdText[0], text16("BRIDGE"));
        QCOMPARE(call("POST", "/monitors/single/screens/1/tally", R"({"tally": "off"})").status, 200);
        const QByteArray v31b = QByteArray(1, char(0x81)) + char(0x00) + text16("BRIDGE 2");
        tsl.writeDatagram(v31b, QHostAddress::LocalHost, tslPort);
        QTRY_COMPARE(single.umdText[0], text16("BRIDGE 2"));
        QCOMPARE(single.record.get(Field::umd1Color), 2);
        QCOMPARE(single.record.get(Field::tally), 0);
    }

    // A preset stored, listed, recalled (only the groups that differ go out) and deleted.
    void presets()
    {
        const QByteArray day = R"({"format": "telvanor-preset", "version": 1, "deviceType": 2, "name": "MV",
            "screens": [{"screen": 1, "settings": {"brightness": 30, "volume": 20}}]})";
        QCOMPARE(call("PUT", "/presets/day", day).status, 201);
        QCOMPARE(call("PUT", "/presets/day", day).status, 200);
        QCOMPARE(call("PUT", "/presets/odd", R"({"format": "other"})").status, 400);
        QCOMPARE(call("PUT", "/presets/odd", QByteArray(day).replace("30", "101")).status, 422);
        QCOMPARE(call("PUT", "/presets/no.dots", day).status, 400);
        QCOMPARE(call("PUT", "/presets/line%0A", day).status, 400); // a name ending in a line break
        QVERIFY(call("GET", "/presets").body.contains(R"("name":"day")"));
        const int before = sim.monitors[0].commandsApplied;
        const Answer a = call("POST", "/monitors/multi/recall", R"({"preset": "day"})");
        QVERIFY2(a.status == 200 && a.body.contains(R"("sent":[{"group":1,"page":"Picture"}])"), a.body);
        QTRY_COMPARE(sim.monitors[0].screens[0].record.get(Field::brightness), 30);
        QCOMPARE(sim.monitors[0].commandsApplied - before, 1); // the volume is 20 already
        QVERIFY(call("POST", "/monitors/single/recall", R"({"preset": "day"})").body.contains("is for type 2"));
        QCOMPARE(call("POST", "/monitors/multi/recall", R"({"preset": "day", "screens": [2]})").status, 404);
        // Saved from a screen on air with a thickness no program writes: the preset
        // has neither, loads back, and a recall leaves the tally on air.
        sim.monitors[2].screens[0].record.set(Field::markerThickness, 0);
        QVERIFY(sim.command("set 3 1 tally red") && sim.command("set 3 2 contrast 9"));
        QCOMPARE(call("PUT", "/presets/onair", R"({"from": "quad", "screen": 1})").status, 201);
        const QByteArray saved = call("GET", "/presets/onair").body;
        QVERIFY2(!saved.contains("markerThickness") && !saved.contains("tally") && saved.contains(R"("name":"RACK-A")"), saved);
        QCOMPARE(call("PUT", "/presets/onair", saved).status, 200);
        QVERIFY(sim.command("set 3 2 tally green"));
        const Answer r = call("POST", "/monitors/quad/recall", R"({"preset": "onair", "screens": [2]})");
        QVERIFY2(r.status == 200 && r.body.contains(R"("group":1)") && !r.body.contains(R"("group":6)"), r.body);
        QTRY_COMPARE(sim.monitors[2].screens[1].record.get(Field::contrast), sim.monitors[2].screens[0].record.get(Field::contrast));
        QCOMPARE(sim.monitors[2].screens[1].record.get(Field::tally), 2);
        QCOMPARE(call("DELETE", "/presets/day").status, 200);
        QCOMPARE(call("GET", "/presets/day").status, 404);
        QCOMPARE(call("POST", "/monitors/multi/recall", R"({"preset": "day"})").status, 404);
    }

    // A WebSocket client (refused without the token: see eventsTicket): a snapshot, then a change
    // made at the monitor and the result of a request.
    void events()
    {
        QWebSocket ws;
        QList<QJsonObject> got;
        connect(&ws, &QWebSocket::textMessageReceived, this, [&](const QString &m) { got << QJsonDocument::fromJson(m.toUtf8()).object(); });
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/events?token=%2").arg(service->port()).arg(QString::fromUtf8(kToken))));
        QTRY_COMPARE(got.size(), 1);
        QCOMPARE(got[0].value("type").toString(), QStringLiteral("snapshot"));
        QCOMPARE(at(got[0], {"state", "multi", "1", "umd3"}).toString(), QStringLiteral("ISO 3"));
        QCOMPARE(got[0].value("monitors").toArray().size(), 5);
        // A change since: the next client's snapshot holds it (snapshots are shared until one).
        const QString quad = service->api()->keyOf("quad");
        const ST_BasicData shown = service->fleet()->find(quad)->screens[0].record;
        service->fleet()->send(quad, "test", [shown](Fleet::Fleet::Setting *s) { s->record = shown; s->record.set(Field::brightness, 23); return true; });
        QTRY_COMPARE(service->fleet()->find(quad)->screens[0].record.get(Field::brightness), 23);
        QWebSocket late;
        QString first;
        connect(&late, &QWebSocket::textMessageReceived, this, [&](const QString &m) { first = first.isEmpty() ? m : first; });
        late.open(ws.requestUrl());
        QTRY_VERIFY(!first.isEmpty());
        QCOMPARE(at(QJsonDocument::fromJson(first.toUtf8()).object(), {"state", "quad", "1", "brightness"}).toInt(), 23);
        late.close();
        QTRY_COMPARE(service->events()->clients(), 1);
        auto seen = [&](const char *type, const char *key, const QJsonValue &v) {
            return std::any_of(got.begin(), got.end(), [&](const QJsonObject &o) { return o.value("type") == QLatin1String(type) && o.value(QLatin1String(key)) == v; });
        };
        QVERIFY(sim.command("set 3 2 contrast 17"));
        QTRY_VERIFY_WITH_TIMEOUT(seen("field", "after", 17), 5000);
        const QJsonObject change = *std::find_if(got.begin(), got.end(), [](const QJsonObject &o) { return o.value("after") == 17; });
        QCOMPARE(at(change, {"state", "quad", "2", "contrast"}).toInt(), 17);
        QCOMPARE(change.value("field").toString(), QStringLiteral("contrast"));
        QCOMPARE(call("POST", "/monitors/single/screens/1/tally", R"({"tally": "green"})").status, 200);
        QCOMPARE(call("PATCH", "/monitors/nope/screens/1", R"({"brightness": 1})").status, 404); // changes nothing: no event
        QTRY_VERIFY(seen("request", "path", "/api/v1/monitors/single/screens/1/tally"));
        QVERIFY(seen("field", "after", "green"));
        const QJsonObject request = *std::find_if(got.begin(), got.end(), [](const QJsonObject &o) { return o.value("type") == QLatin1String("request"); });
        QCOMPARE(at(request, {"state", "single", "1", "tally"}).toString(), QStringLiteral("green"));
        QVERIFY(!seen("request", "path", "/api/v1/monitors/nope/screens/1"));

        // A client that stops reading is closed once its messages pile up; the other goes on.
        QTcpSocket stuck;
        stuck.setReadBufferSize(1024);
        stuck.connectToHost(QHostAddress::LocalHost, service->port());
        stuck.write("GET /api/v1/events?token=" + kToken + " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QTRY_COMPARE(service->events()->clients(), 2);
        const int before = got.size();
        const QJsonObject big{{"type", "padding"}, {"pad", QString(1 << 20, QLatin1Char('x'))}};
        int published = 0;
        for (; published < 64 && service->events()->clients() == 2; ++published) {
            service->events()->publish(big);
            QTest::qWait(20);
        }
        QCOMPARE(service->events()->clients(), 1);
        // Only the padding counts: a monitor's own events may come meanwhile.
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(got.begin() + before, got.end(), [](const QJsonObject &o) { return o.value("type") == QLatin1String("padding"); }),
                                  qsizetype(published), 10000);
        QCOMPARE(ws.state(), QAbstractSocket::ConnectedState);
    }

    // The metrics as Prometheus scrapes them: counters that move with the frames written
    // and not, the answers and the requests, and a monitor whose name needs escapes.
    void metrics()
    {
        const QString odd = QStringLiteral("odd \"name\" \\ on\ntwo lines");
        Fleet::Target t;
        QString why;
        QVERIFY(Fleet::parseTarget(QStringLiteral("serial:%1#12").arg(line->path()), &t, &why));
        service->api()->addMonitor(odd, t);
        const QHash<QString, double> before = scrape();
        QCOMPARE(before.value("telvanor_monitor_answering{monitor=" + odd + "}", -1), 0.0);
        QCOMPARE(before.value("telvanor_monitor_answering{monitor=quad}"), 1.0);
        QCOMPARE(before.value("telvanor_line_open{line=serial:" + line->path() + "}"), 1.0);
        // The label went out before its line was pulled, the tally waiting for the pace did not.
        QCOMPARE(before.value("telvanor_setting_frames_written_total{monitor=unplugged}"), 1.0);
        QCOMPARE(before.value("telvanor_setting_frames_not_written_total{monitor=unplugged}"), 1.0);
        QCOMPARE(before.value("telvanor_event_clients_dropped_total"), 1.0); // the client that stopped reading
        QCOMPARE(call("PATCH", "/monitors/quad/screens/1", R"({"brightness": 61})").status, 200);
        QUdpSocket tsl;
        tsl.writeDatagram("\x81", 1, QHostAddress::LocalHost, tslPort); // a TSL packet cut short
        QHash<QString, double> after;
        QByteArray text; // the last scrape's
        auto moved = [&](const QString &series) { return after.value(series) - before.value(series); };
        QTRY_VERIFY((after = scrape(&text), moved("telvanor_tsl_messages_rejected_total") == 1 && moved("telvanor_reads_answered_total{monitor=quad}") > 0));
        QCOMPARE(moved("telvanor_setting_frames_written_total{monitor=quad}"), 1.0);
        QCOMPARE(moved("telvanor_api_requests_total{method=PATCH,code=200}"), 1.0);
        QVERIFY(after.value("telvanor_reads_timed_out_total{monitor=ghost}") >= 3); // silent since the start
        QCOMPARE(after.value("telvanor_tsl_messages_received_total"), 2.0); // the bridge's two
        QProcess promtool;
        promtool.start("promtool", {"check", "metrics"});
        if (!promtool.waitForStarted())
            QSKIP("promtool (Debian's prometheus) is not installed: the text format is not checked");
        promtool.write(text);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(30000));
        QVERIFY2(promtool.exitCode() == 0, promtool.readAll() + '\n' + text);
    }

    // Connections the service must not keep: a client that asks to close, an upgrade
    // through a name made to point here or without its keys, a client that pipelines
    // and never reads, and a WebSocket client whose link went down without a close.
    void connectionsLetGo()
    {
        const QByteArray auth = "\r\nAuthorization: Bearer " + kToken;
        for (const QByteArray &head : {QByteArray("GET /api/v1/monitors HTTP/1.0\r\nHost: localhost"),
                                       QByteArray("GET /api/v1/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close")}) {
            QTcpSocket s;
            QVERIFY(raw(head + auth + "\r\n\r\n", &s).contains(" 200 "));
            QTRY_COMPARE(s.state(), QAbstractSocket::UnconnectedState);
        }
        const QByteArray upgrade = "GET /api/v1/events HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13" + auth;
        const QByteArray key = "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==";
        for (const auto &[request, status] : {std::pair{upgrade + key + "\r\nHost: attacker.example\r\n\r\n", " 403 "},
                                              std::pair{upgrade + "\r\nHost: localhost\r\n\r\n", " 400 "}}) {
            QTcpSocket s;
            const QByteArray got = raw(request, &s);
            QVERIFY2(got.startsWith(QByteArray("HTTP/1.1") + status), got);
        }
        // Pipelined: a PATCH that waits for the monitor's pace, then a GET answered at once: in order.
        QTcpSocket piped;
        piped.connectToHost(QHostAddress::LocalHost, service->port());
        for (const QByteArray &body : {QByteArray(R"({"brightness": 61})"), QByteArray(R"({"brightness": 62})")})
            piped.write("PATCH /api/v1/monitors/quad/screens/3 HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: "
                        + QByteArray::number(body.size()) + auth + "\r\n\r\n" + body);
        piped.write("GET /api/v1/presets HTTP/1.1\r\nHost: localhost" + auth + "\r\n\r\n");
        QByteArray answers;
        QTRY_COMPARE_WITH_TIMEOUT((answers += piped.readAll()).count("HTTP/1.1 200"), 3, 10000);
        QVERIFY2(answers.indexOf(R"("presets")") > answers.lastIndexOf("HTTP/1.1 200"), answers); // the GET's answer last

        const int before = service->server()->clients();
        QTcpSocket greedy; // pipelines its requests and reads none of the answers
        greedy.setReadBufferSize(1024);
        greedy.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        greedy.connectToHost(QHostAddress::LocalHost, service->port());
        QTRY_COMPARE(service->server()->clients(), before + 1);
        for (int i = 0; i < 300; ++i) // 30 KiB of requests: well within a request's bound
            greedy.write("GET /api/v1/openapi.json HTTP/1.1\r\nHost: localhost" + auth + "\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(service->server()->clients(), before, 20000);

        service->events()->setPing(100, 500);
        QTcpSocket gone; // completes the upgrade, then neither reads nor answers a ping
        gone.connectToHost(QHostAddress::LocalHost, service->port());
        const int listening = service->events()->clients();
        gone.write(upgrade + key + "\r\nHost: localhost\r\n\r\n");
        QTRY_COMPARE(service->events()->clients(), listening + 1);
        QTRY_COMPARE_WITH_TIMEOUT(service->events()->clients(), listening, 5000);
        service->events()->setPing(Events::PingEveryMs, Events::SilentMs);
    }

    // The page's way in: a ticket, asked for with the token, opens the events once, and only within its life.
    void eventsTicket()
    {
        const QString ticket = QJsonDocument::fromJson(call("POST", "/events/ticket").body).object().value("ticket").toString();
        for (int opens : {1, 0}) {
            QWebSocket ws;
            QSignalSpy connected(&ws, &QWebSocket::connected), gone(&ws, &QWebSocket::disconnected);
            ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/events?ticket=%2").arg(service->port()).arg(ticket)));
            QTRY_VERIFY(connected.size() + gone.size() > 0);
            QCOMPARE(connected.size(), opens);
        }
        Api::Options o;
        o.token = kToken;
        o.ticketMs = 0;
        Api brief(service->fleet(), o);
        Http::Request r{"POST", QStringLiteral("/api/v1/events/ticket"), {}, {{"authorization", "Bearer " + kToken}}, {}, {}, false};
        brief.handle(r, [&r](const Http::Response &a) { r.query = QUrlQuery({{"ticket", QJsonDocument::fromJson(a.body)["ticket"].toString()}}); });
        r.path = QStringLiteral("/api/v1/events");
        r.headers.clear();
        QCOMPARE(brief.upgrade(r).status, 401);
    }

    // Connections past the cap, a body without end and a request that never completes.
    void limits()
    {
        Http::Limits l;
        l.maxClients = 2;
        l.maxBody = 1024;
        l.requestTimeoutMs = 300;
        Http::Server server(l, [](const Http::Request &r, const Http::Respond &respond) {
            respond(Http::Response{200, QByteArray::number(r.body.size()), "text/plain", {}});
        }, [](const Http::Request &r) { return Http::Response{r.path == QLatin1String("/ws") ? 0 : 404, {}, {}, {}}; });
        connect(&server, &Http::Server::webSocket, this, [](QWebSocket *ws) { connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater); });
        QString why;
        QVERIFY2(server.listen(QHostAddress::LocalHost, 0, &why), qPrintable(why));
        auto connectOne = [&] {
            auto *s = new QTcpSocket(this);
            s->connectToHost(QHostAddress::LocalHost, server.port());
            s->waitForConnected(5000);
            return s;
        };
        QTcpSocket *slow = connectOne(), *endless = connectOne();
        QTRY_COMPARE(server.clients(), 2);
        QTcpSocket *third = connectOne();
        QByteArray refused;
        QTRY_VERIFY2((refused += third->readAll()).startsWith("HTTP/1.1 503"), refused);
        endless->write("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 100000000\r\n\r\n");
        QByteArray answer;
        for (int i = 0; i < 64 && endless->state() == QAbstractSocket::ConnectedState; ++i) {
            endless->write(QByteArray(4096, 'x'));
            endless->waitForBytesWritten(1000);
            QTest::qWait(5); // the server's turn
            answer += endless->readAll();
        }
        QTRY_VERIFY2((answer += endless->readAll()).startsWith("HTTP/1.1 413"), answer + " " + endless->errorString().toUtf8());
        slow->write("GET /x HTTP/1.1\r\nHost:");
        QByteArray late;
        QTRY_VERIFY_WITH_TIMEOUT((late += slow->readAll()).startsWith("HTTP/1.1 408"), 5000);
        QTRY_COMPARE(server.clients(), 0);
        QTcpSocket *next = connectOne();
        next->write("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc");
        QByteArray served;
        QTRY_VERIFY2((served += next->readAll()).endsWith("\r\n\r\n3"), served);
        // A WebSocket that has closed leaves its place to the next client.
        for (int i = 0; i < 3; ++i) {
            QWebSocket ws;
            QSignalSpy open(&ws, &QWebSocket::connected);
            ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(server.port())));
            QVERIFY(open.wait(5000));
            ws.close();
            QTRY_COMPARE(server.clients(), 1);
        }
    }

    void configFaults_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("says");
        QTest::newRow("not JSON") << QByteArray("{\n\"monitors\": {\n}}}") << ":3: ";
        QTest::newRow("unknown key") << QByteArray("{\"monitors\": {\"a\": \"lan:10.0.0.1\"},\n\"colour\": 1}") << R"(:2: unknown key "colour")";
        QTest::newRow("name with a dot") << QByteArray("{\"monitors\": {\n\"a.b\": \"lan:10.0.0.1\"}}") << R"(:2: monitor name "a.b")";
        QTest::newRow("bad target") << QByteArray("{\"monitors\": {\"a\": \"lan:10.0.0\"}}") << ":1: a: ";
        QTest::newRow("one monitor twice") << QByteArray("{\"monitors\": {\"a\": \"lan:10.0.0.1\",\n\"b\": \"lan:10.0.0.1\"}}") << ":2: b: the same monitor as \"a\"";
        QTest::newRow("nothing to serve") << QByteArray("{\"discover\": {\"lan\": false}}") << ":1: no monitors";
        QTest::newRow("wrong type") << QByteArray("{\"discover\": {\"lan\": true},\n\"readEveryMs\": \"5000\"}") << ":2: readEveryMs: takes a whole number";
        QTest::newRow("any address, no token") << QByteArray("{\"discover\": {\"lan\": true}, \"http\": {\n\"listen\": \"0.0.0.0\"}}") << ":2: http: listen: 0.0.0.0 is reachable";
        QTest::newRow("token file missing") << QByteArray("{\"discover\": {\"lan\": true}, \"http\": {\n\"tokenFile\": \"nope\"}}") << ":2: http: tokenFile: ";
        QTest::newRow("bridge map fault") << QByteArray("{\"discover\": {\"lan\": true}, \"bridgeMap\": \"telvanord.json\"}") << "telvanord.json:1: listen: give";
        QVERIFY(QFile::link(line->path(), dir.filePath("ttyLINK")));
        QTest::newRow("one port by a link") << QStringLiteral("{\"monitors\": {\"a\": \"serial:%1#5\",\n\"b\": \"serial:%2#5\"}}").arg(line->path(), dir.filePath("ttyLINK")).toUtf8()
                                            << ":2: b: the same monitor as \"a\" on line 1";
        QTest::newRow("a leading zero") << QByteArray("{\"monitors\": {\"a\": \"lan:10.78.9.10\",\n\"b\": \"lan:10.78.9.010\"}}") << ":2: b: the same monitor as \"a\" on line 1 (lan:10.78.9.10)";
        QTest::newRow("one name twice") << QByteArray("{\"monitors\": {\"a\": \"lan:10.0.0.7\",\n\"a\": \"lan:10.0.0.8\"}}") << ":2: monitors: \"a\" given twice (first on line 1)";
        QTest::newRow("state folder empty") << QByteArray("{\"discover\": {\"lan\": true},\n\"state\": \"\"}") << ":2: state: a folder";
        QTest::newRow("state in the presets folder") << QByteArray("{\"discover\": {\"lan\": true},\n\"state\": \"presets\"}")
                                                     << ":2: state: " + dir.filePath("presets") + " is the presets folder";
        QTest::newRow("no host name") << QByteArray("{\"discover\": {\"lan\": true}, \"http\": {\"hosts\": [\"panel\",\n\"studio_panel\"]}}") << ":2: http: hosts: \"studio_panel\" is no host name";
        QTest::newRow("broker not a URL") << QByteArray("{\"mqtt\": {\"site\": \"a\", \"sites\": \"*\",\n\"broker\": \"tcp://b\"}}") << ":2: mqtt: broker: ";
        QTest::newRow("no site name") << QByteArray("{\"mqtt\": {\"broker\": \"mqtt://127.0.0.1\",\n\"site\": \"a.b\", \"sites\": \"*\"}}") << ":2: mqtt: site: ";
        QTest::newRow("its own site shown") << QByteArray("{\"mqtt\": {\"broker\": \"mqtt://127.0.0.1\", \"site\": \"a\",\n\"sites\": [\"a\"]}}") << ":2: mqtt: sites: ";
        QTest::newRow("a monitor in two rooms") << QByteArray("{\"discover\": {\"lan\": true}, \"rooms\": {\"A\": [\"m\"],\n\"B\": [\"m\"]}}") << ":2: rooms: m is in \"A\" already";
    }

    void configFaults()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, says);
        ServiceConfig c;
        QString error;
        QCOMPARE(config(text, &c, &error), 9);
        QVERIFY2(error.contains(says), qPrintable(error));
    }

    // A check changes nothing: a presets folder still to make is made at start alone.
    void checkChangesNothing()
    {
        QFile f(dir.filePath("check.json"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(R"({"discover": {"lan": true}, "presets": "later/presets", "state": "later/state"})") > 0);
        f.close();
        QCOMPARE(QProcess::execute(TELVANORD, {"--check", f.fileName()}), 0);
        QVERIFY(!QFileInfo::exists(dir.filePath("later")));
    }

    // A real restart: a label sent before it is known after it, though the monitor cannot
    // tell it back, and nothing goes out for it at start; stopped within the second of the
    // change (the pending state written on the way out) or after its write.
    // After a restart (stopped within the second of the last change, before its write),
    // with a display now mapped ahead of the bridge's: a label sent before is known to the
    // single-UMD monitor (a tally 200, not 409, carrying it) with nothing sent at start; a
    // monitor a search found is served under the name it had and read; the bridge sends
    // nothing for a repeat of the last TSL message, and a tally without a label (v5 control
    // data) carries the label it had. Once the configuration gives the found monitor's name
    // to another, the configuration wins.
    void restart()
    {
        QTemporaryDir here;
        Fleet::Target four;
        QString why;
        QVERIFY(Fleet::parseTarget("serial:" + keptLine->path() + "#4", &four, &why));
        const QString taken = nameForPlace(four), found = taken + "-2"; // its place's name is taken
        auto v5 = [](int control, const QByteArray &text) { // screen 1, index 1
            auto le = [](int v) { return QByteArray(1, char(v & 0xFF)) + char(v >> 8 & 0xFF); };
            const QByteArray body = QByteArray(2, '\0') + le(1) + le(1) + le(control) + le(text.size()) + text;
            return le(body.size()) + body;
        };
        const quint16 port = tslPort + 1;
        const QString mapped = QStringLiteral(R"({"tsl": "5.0/1/1", "target": "%1"})").arg(taken);
        QStringList log;
        auto start = [&](const QString &name, const QString &displays) {
            QFile f(dir.filePath("kept-map.json"));
            f.open(QIODevice::WriteOnly | QIODevice::Truncate);
            f.write(QStringLiteral(R"({"listen": {"udp5": %1}, "displays": [%2]})").arg(port).arg(displays).toUtf8());
            f.close();
            return own(QStringLiteral(R"({"monitors": {"single": "serial:PTY#2", "%1": "serial:PTY#5"}, "readEveryMs": 1000,
                "state": "%2", "bridgeMap": "kept-map.json"})").arg(name, here.path()), &log);
        };
        kept.monitors[0] = Sim::makeMonitor(1, 2, {});
        kept.monitors[2] = Sim::makeMonitor(1, 5, {});
        const Sim::Screen &shown = kept.monitors[2].screens[0];
        auto svc = start(taken, mapped);
        QVERIFY(call("POST", "/monitors/single/screens/1/tally", R"({"tally": "red"})").body.contains("send it first"));
        QCOMPARE(call("POST", "/monitors/single/screens/1/umd", R"({"text": "CAM 1"})").status, 200);
        const Answer searched = call("POST", "/discover", QStringLiteral(R"({"serial": ["%1"]})").arg(keptLine->path()).toUtf8());
        QVERIFY2(searched.body.contains(QStringLiteral(R"("added":["%1"])").arg(found).toUtf8()), searched.body);
        QUdpSocket tsl;
        tsl.writeDatagram(v5(1 << 4, "CAM V5"), QHostAddress::LocalHost, port); // left tally red
        QTRY_COMPARE(shown.record.get(Field::tally), 1);
        QCOMPARE(shown.umdText[0], text16("CAM V5"));
        svc.reset();
        const int frames = kept.monitors[2].commandsApplied, singleFrames = kept.monitors[0].commandsApplied;
        svc = start(taken, R"({"tsl": "5.0/1/9", "target": "single"}, )" + mapped);
        const Answer single = call("GET", "/monitors/single/screens/1"); // read: a frame sent at start is in by then
        QVERIFY2(single.body.contains(R"("labels":["CAM 1",null,null,null])"), single.body);
        QCOMPARE(at(svc->api()->state(), {"single", "1", "umd1"}).toString(), QStringLiteral("CAM 1"));
        QCOMPARE(kept.monitors[0].commandsApplied, singleFrames);
        QCOMPARE(call("POST", "/monitors/single/screens/1/tally", R"({"tally": "red"})").status, 200);
        QTRY_COMPARE(kept.monitors[0].screens[0].record.get(Field::tally), 1);
        QCOMPARE(kept.monitors[0].screens[0].umdText[0], text16("CAM 1"));
        QSignalSpy reads(svc->fleet(), &Fleet::Fleet::recordRead);
        QVERIFY(call("GET", "/monitors/" + found).body.contains(QStringLiteral(R"("target":"serial:%1#4")").arg(keptLine->path()).toUtf8()));
        QTRY_VERIFY_WITH_TIMEOUT(svc->fleet()->find(four.address().key())->screens[2].known, 10000); // every screen read
        const QString key = QStringLiteral("serial:%1#5").arg(keptLine->path());
        QTRY_VERIFY_WITH_TIMEOUT(std::count_if(reads.begin(), reads.end(), [&](const QList<QVariant> &r) { return r[0] == key; }) >= 2, 10000);
        QCOMPARE(kept.monitors[2].commandsApplied, frames); // nothing went out at start
        tsl.writeDatagram(v5(1 << 4, "CAM V5"), QHostAddress::LocalHost, port);
        tsl.writeDatagram(v5(0x8000 | 2 << 4, {}), QHostAddress::LocalHost, port); // green, no label
        QTRY_COMPARE(shown.record.get(Field::tally), 2);
        QCOMPARE(shown.umdText[0], text16("CAM V5"));
        QCOMPARE(kept.monitors[2].commandsApplied, frames + 1);
        svc.reset();
        svc = start(found, QStringLiteral(R"({"tsl": "5.0/1/1", "target": "%1"})").arg(found));
        QVERIFY(call("GET", "/monitors/" + found).body.contains(key.toUtf8()));
        QVERIFY2(!log.filter(found + " (serial:").filter("left out: the name is taken").isEmpty(), qPrintable(log.join('\n')));
    }

    // A damaged state file is logged with its path and reason, what is valid beside the
    // fault is taken back, and the service starts all the same; a file it cannot read
    // at all is moved aside for whoever looks into it.
    void damagedState_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("kept"); // the label beside the fault
        auto file = [](const QByteArray &version, const QByteArray &label, const QByteArray &more = {}) {
            const QByteArray kept = R"({"monitor": "single", "target": "serial:PTY#2", "screen": 1, "umd": 1, "text": "KEPT"})";
            return "{\"format\": \"telvanord-state\", \"version\": " + version + ", \"labels\": [" + kept + label + "]" + more + "}";
        };
        const QByteArray other = R"(, {"monitor": "single", "target": "serial:PTY#2", "screen": 2, "umd": 1, "text": "TEXT"})";
        QTest::newRow("bad JSON") << file("1", ",") << "not JSON" << false;
        QTest::newRow("wrong type") << file("1", R"(, {"monitor": 7})") << "labels[1]: monitor: takes a monitor's name" << true;
        QTest::newRow("unknown version") << file("7", "") << "version 7: this telvanord reads version 1 alone" << false;
        QTest::newRow("too-long label") << file("1", QByteArray(other).replace("TEXT", "seventeen chars!!")) << "labels[1]: text: over 16 characters" << true;
        QTest::newRow("a label the API refuses") << file("1", QByteArray(other).replace("TEXT", "Caf\\u00e9")) << "labels[1]: text: printable ASCII only" << true;
        QTest::newRow("not a list") << file("1", "", R"(, "monitors": {})") << "monitors: takes a list" << true;
    }

    void damagedState()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, says);
        QFETCH(bool, kept);
        QTemporaryDir here;
        QFile f(here.filePath("telvanord-state.json"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file.replace("PTY", keptLine->path().toUtf8())) > 0);
        f.close();
        QStringList log;
        auto svc = own(QStringLiteral(R"({"monitors": {"single": "serial:PTY#2"}, "state": "%1"})").arg(here.path()), &log);
        QVERIFY2(!log.filter(f.fileName() + ": " + says).isEmpty(), qPrintable(log.join('\n')));
        const Answer screen = call("GET", "/monitors/single/screens/1");
        QVERIFY2(screen.body.contains(kept ? R"("labels":["KEPT",)" : R"("labels":[null,)"), screen.body);
        QCOMPARE(QFileInfo::exists(f.fileName() + ".damaged"), !kept);
    }

    // Writes: a burst of 50 changes is one file, holding the last; a steady stream of
    // changes is written while it lasts; each write replaces the file whole, so that a
    // reader of the old one reads it whole.
    void stateWrites()
    {
        QTemporaryDir here;
        StateStore store(here.path());
        QString text;
        store.setSource([&text] { return StateStore::State{{{"cam", "lan:10.0.0.7", 0, 0, text}}, {}, {}}; });
        for (int i = 1; i <= 50; ++i) {
            text = QStringLiteral("L%1").arg(i);
            store.changed();
        }
        QTRY_COMPARE(store.writes(), 1);
        QFile old(store.path());
        QVERIFY(old.open(QIODevice::ReadOnly));
        for (int i = 0; i < 100 && store.writes() < 3; ++i) {
            text = QStringLiteral("S%1").arg(i);
            store.changed();
            QTest::qWait(100); // a change every 100 ms
        }
        QCOMPARE(store.writes(), 3);
        QVERIFY(old.readAll().contains(R"("text": "L50")"));
        QCOMPARE(QDir(here.path()).entryList(QDir::Files), QStringList("telvanord-state.json"));
    }

    // telvanord under a service manager: READY=1 once it listens (never when its port is
    // taken), a keep-alive from its event loop while the loop runs and none while the
    // process is stopped or the loop hangs, STOPPING=1 at the end.
    void watchdog()
    {
        if (!SystemdNotify::Available)
            QSKIP("built without libsystemd: telvanord tells a service manager nothing");
        const QByteArray name = "telvanor-test-" + QByteArray::number(QCoreApplication::applicationPid());
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.constData(), size_t(name.size())); // an abstract name
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()))), 0);
        QString heard; // since the last forget()
        auto hear = [&] {
            char b[512];
            for (ssize_t n; (n = ::recv(fd, b, sizeof b, 0)) > 0;)
                heard += QString::fromUtf8(b, int(n)) + '\n';
            return heard;
        };
        auto forget = [&] { hear(), heard.clear(); };
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const quint16 port = taken.serverPort();
        QFile f(dir.filePath("notify.json"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QStringLiteral(R"({"monitors": {"m": "serial:%1#1"}, "http": {"port": %2}})")
                                                             .arg(dir.filePath("ttyNONE")).arg(port).toUtf8()) > 0);
        f.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NOTIFY_SOCKET", '@' + name);
        env.insert("WATCHDOG_USEC", "400000");
        QProcess d;
        d.setProcessEnvironment(env);
        const QStringList command{"-c", R"(WATCHDOG_PID=$$ exec "$0" "$1")", TELVANORD, f.fileName()};
        d.start("/bin/sh", command);
        QVERIFY(d.waitForFinished(20000));
        QCOMPARE(d.exitCode(), int(ExitPort));
        QVERIFY(!hear().contains("READY=1"));
        taken.close();
        d.start("/bin/sh", command);
        QTRY_VERIFY_WITH_TIMEOUT(hear().contains("READY=1\nSTATUS=listening on http://127.0.0.1:"), 20000);
        QTRY_VERIFY(hear().count("WATCHDOG=1") >= 3);
        const auto state = [&] { QFile stat(QStringLiteral("/proc/%1/stat").arg(d.processId())); stat.open(QIODevice::ReadOnly); return stat.readAll().split(')').value(1).trimmed().left(1); };
        ::kill(pid_t(d.processId()), SIGSTOP);
        QTRY_COMPARE(state(), QByteArray("T"));
        forget(); // what it sent before it stopped
        // 1 s: five of its keep-alive intervals, twice the watchdog's own.
        QVERIFY(!QTest::qWaitFor([&] { return hear().contains("WATCHDOG=1"); }, 1000));
        ::kill(pid_t(d.processId()), SIGCONT);
        QTRY_VERIFY(hear().contains("WATCHDOG=1"));
        d.terminate();
        QVERIFY(d.waitForFinished(10000));
        QVERIFY(d.exitStatus() == QProcess::NormalExit && d.exitCode() == 0 && hear().contains("STOPPING=1"));
        // In this process: a loop that hangs sends nothing meanwhile, whatever else runs.
        qputenv("NOTIFY_SOCKET", '@' + name);
        qputenv("WATCHDOG_USEC", "400000");
        qputenv("WATCHDOG_PID", QByteArray::number(QCoreApplication::applicationPid()));
        const auto unset = qScopeGuard([] { qunsetenv("NOTIFY_SOCKET"), qunsetenv("WATCHDOG_USEC"), qunsetenv("WATCHDOG_PID"); });
        SystemdNotify manager;
        manager.ready(QStringLiteral("in the test"));
        forget();
        QTRY_VERIFY(hear().contains("WATCHDOG=1"));
        forget();
        QThread::msleep(1000); // the event loop held: a hang
        QVERIFY(!hear().contains("WATCHDOG=1"));
        QTRY_VERIFY(hear().contains("WATCHDOG=1"));
    }

    // The description served names every route, and no route it lacks; its
    // settings are the record's fields.
    void openApiMatchesRoutes()
    {
        const QJsonObject doc = QJsonDocument::fromJson(call("GET", "/openapi.json").body).object();
        QSet<QString> described, routed;
        const QJsonObject paths = doc.value("paths").toObject();
        for (auto p = paths.begin(); p != paths.end(); ++p)
            for (const QString &m : p.value().toObject().keys())
                if (m != "parameters" && m != "servers")
                    described << m.toUpper() + ' ' + p.key();
        for (const Api::Route &r : Api::routes())
            routed << QString(r.method) + ' ' + r.pattern;
        QCOMPARE(described, routed);
        const QJsonObject settings = at(doc, {"components", "schemas", "Settings", "properties"}).toObject();
        QVERIFY(settings.contains("brightness") && settings.contains("umd4On") && !settings.contains("umdTextIndex"));
        QCOMPARE(at(settings.value("tally").toObject().value("oneOf").toArray().at(1), {"enum"}).toArray(), QJsonArray({"off", "red", "green", "yellow"}));
    }

    // The page's files need no token (the page asks for it); nothing else is served.
    void page_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("the page") << QByteArray("GET") << "/" << 200 << QByteArray("text/html") << QByteArray("<script type=\"module\"");
        QTest::newRow("a module") << QByteArray("GET") << "/ui/app.js" << 200 << QByteArray("text/javascript") << QByteArray("import ");
        QTest::newRow("no such file") << QByteArray("GET") << "/ui/nope.js" << 404 << QByteArray("text/plain") << QByteArray("no such file");
        QTest::newRow("a folder inside") << QByteArray("GET") << "/ui/web/app.js" << 404 << QByteArray("text/plain") << QByteArray();
        QTest::newRow("posted to") << QByteArray("POST") << "/" << 405 << QByteArray("text/plain") << QByteArray("GET");
    }

    void page()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, says);
        QNetworkRequest req(QUrl(QString(base).replace(QLatin1String("/api/v1"), QString()) + path));
        QNetworkReply *r = nam.sendCustomRequest(req, method, QByteArray());
        QSignalSpy done(r, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        const QByteArray body = r->readAll();
        QCOMPARE(r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QVERIFY2(r->header(QNetworkRequest::ContentTypeHeader).toByteArray().startsWith(type), r->rawHeader("Content-Type"));
        QVERIFY2(body.contains(says), body.left(200));
        const QByteArray csp = r->rawHeader("Content-Security-Policy");
        if (status == 200) // WebSockets to the service alone: no scheme of any host
            QVERIFY2(csp.contains("default-src 'self'") && !csp.contains(" ws:") && !csp.contains(" wss:"), csp);
        r->deleteLater();
    }

    // What a page needs to build its controls: the pages in order, each field's
    // caption, page and values.
    void fieldTable()
    {
        QCOMPARE(call("GET", "/fields", {}, {}).status, 401);
        const QJsonObject t = QJsonDocument::fromJson(call("GET", "/fields").body).object();
        QStringList pages;
        for (const QJsonValue &p : t.value("pages").toArray())
            pages << QStringLiteral("%1 %2").arg(p["group"].toInt()).arg(p["caption"].toString());
        QCOMPARE(pages, QStringList({"1 Picture", "2 Marker", "3 Function", "5 Source", "4 Audio", "6 UMD"}));
        QHash<QString, QJsonObject> fields;
        for (const QJsonValue &f : t.value("fields").toArray())
            fields.insert(f["name"].toString(), f.toObject());
        QVERIFY(!fields.contains("umdTextIndex"));
        QCOMPARE(fields["brightness"]["caption"].toString(), QString("Brightness"));
        QCOMPARE(fields["brightness"]["max"].toInt(), 100);
        QVERIFY(!fields["brightness"].contains("values"));
        QCOMPARE(fields["markerThickness"]["min"].toInt(), 1);
        QCOMPARE(fields["source"]["group"].toInt(), 5);
        QStringList sources;
        for (const QJsonValue &v : fields["source"]["values"].toArray())
            sources << v["name"].toString();
        QCOMPARE(sources, QStringList({"SDI1", "SDI2", "SDI3", "SDI4", "SFP", "2SI", "SQUARE", "HDMI", "VIDEO"}));
        QCOMPARE(t.value("pauseMs").toInt(), 500);
    }

    // On the LAN, in namespaces made here (the last test: this thread stays in
    // the service's): a search at start names what it finds, a PATCH reaches the
    // monitor over UDP, and POST /discover finds the same monitors again.
    void lan()
    {
        QString why;
        if (!NetLab::available(&why))
            QSKIP(qPrintable(why));
        NetLab net;
        const QString svcNs = net.addNamespace("svc"), monNs = net.addNamespace("mons");
        QVERIFY(!net.link(svcNs, {"10.77.0.1/24"}, monNs, {"10.77.0.7/24", "10.77.0.12/24"}).isEmpty());
        Simulator lanSim;
        lanSim.monitors = {Sim::makeMonitor(1, 0, "10.77.0.7"), Sim::makeMonitor(4, 0, "10.77.0.12")};
        NetworkLink nl(&lanSim);
        QVERIFY2(nl.adopt(net.udpSocketIn(monNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
        QVERIFY(NetLab::enter(svcNs));
        ServiceConfig c;
        QCOMPARE(config(R"({"discover": {"lan": true}, "presets": "lan-presets"})", &c, &why), 0);
        c.port = 0;
        Service lanService(c);
        QCOMPARE(lanService.start(&why), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lanService.api()->names(), (QStringList{"lan-10-77-0-7", "lan-10-77-0-12"}), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(lanService.fleet()->find("lan:10.77.0.12")->screens[2].known, 5000); // every screen of a find is read
        auto raw = [&](const QByteArray &request) -> QByteArray {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, lanService.port());
            s.write(request);
            QByteArray got;
            (void)QTest::qWaitFor([&] { return (got += s.readAll()).contains("\r\n\r\n{") && got.endsWith('}'); }, 10000);
            return got;
        };
        const QByteArray patched = raw("PATCH /api/v1/monitors/lan-10-77-0-12/screens/1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 18\r\n\r\n{\"brightness\": 12}");
        QVERIFY2(patched.startsWith("HTTP/1.1 200"), patched);
        QTRY_COMPARE(lanSim.monitors[1].screens[0].record.get(Field::brightness), 12);
        const QByteArray found = raw("POST /api/v1/discover HTTP/1.1\r\nHost: localhost\r\nContent-Length: 13\r\n\r\n{\"lan\": true}");
        QVERIFY2(found.contains(R"({"added":[],"found":["lan-10-77-0-7","lan-10-77-0-12"]})"), found);
    }
};

QTEST_MAIN(TestService)
#include "tst_service.moc"
