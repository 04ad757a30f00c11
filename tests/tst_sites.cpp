// Sites joined through a broker: two site services and a centre in this process
// (one more site as its own process, to be killed), a private broker on a
// loopback port, simulated monitors on pseudo-terminals.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include "api.h"
#include "broker.h"
#include "config.h"
#include "fleet.h"
#include "mqttclient.h"
#include "seriallink.h"
#include "service.h"
#include "simulator.h"

namespace {
QJsonValue at(QJsonValue v, const QStringList &path)
{
    for (const QString &k : path)
        v = v.toObject().value(k);
    return v;
}
} // namespace

class TestSites : public QObject
{
    Q_OBJECT
    Broker broker;
    QTemporaryDir dir;
    Simulator northSim, southSim, eastSim;
    std::unique_ptr<SerialLink> northLine, southLine, eastLine;
    std::unique_ptr<Service> north, south, centre;
    QNetworkAccessManager nam;

    std::unique_ptr<Service> make(const QString &name, const QString &json)
    {
        QFile f(dir.filePath(name + ".json"));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QString(json).replace("BROKER", broker.url()).toUtf8());
        f.close();
        ServiceConfig c;
        QString why;
        if (readServiceConfig(f.fileName(), &c, &why) != 0)
            qWarning("%s", qPrintable(why));
        c.port = 0;
        auto s = std::make_unique<Service>(c);
        if (s->start(&why) != 0)
            qWarning("%s", qPrintable(why));
        return s;
    }

    // A request to the centre: its status and body.
    QPair<int, QJsonObject> call(const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1%2").arg(centre->port()).arg(path)));
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *r = nam.sendCustomRequest(req, method, body);
        QSignalSpy done(r, &QNetworkReply::finished);
        if (!r->isFinished())
            done.wait(40000);
        r->deleteLater();
        return {r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), QJsonDocument::fromJson(r->readAll()).object()};
    }

    QJsonValue remote(const QString &monitor, int screen, const QString &field)
    {
        return at(call("GET", QStringLiteral("/monitors/%1/screens/%2").arg(monitor).arg(screen)).second, {"settings", field});
    }

private slots:
    void initTestCase()
    {
        QString why;
        QVERIFY2(broker.start(&why), qPrintable(why));
        northSim.monitors = {Sim::makeMonitor(2, 1, {}), Sim::makeMonitor(1, 2, {})};
        southSim.monitors = {Sim::makeMonitor(1, 1, {})};
        eastSim.monitors = {Sim::makeMonitor(1, 1, {})};
        for (Simulator *s : {&northSim, &southSim, &eastSim})
            s->logReads = false;
        northLine = std::make_unique<SerialLink>(&northSim);
        southLine = std::make_unique<SerialLink>(&southSim);
        eastLine = std::make_unique<SerialLink>(&eastSim);
        for (SerialLink *l : {northLine.get(), southLine.get(), eastLine.get()})
            QVERIFY2(l->openPty(&why), qPrintable(why));
        north = make("north", QStringLiteral(R"({"monitors": {"cam1": "serial:%1#1", "cam2": "serial:%1#2"}, "readEveryMs": 1000,
            "presets": "pn", "rooms": {"Studio A": ["cam1"]}, "mqtt": {"broker": "BROKER", "site": "north"}})").arg(northLine->path()));
        south = make("south", QStringLiteral(R"({"monitors": {"cam1": "serial:%1#1"}, "readEveryMs": 1000, "presets": "ps",
            "mqtt": {"broker": "BROKER", "site": "south", "commands": false}})").arg(southLine->path()));
        centre = make("centre", QStringLiteral(R"({"presets": "pc", "mqtt": {"broker": "BROKER", "site": "centre", "sites": "*", "publish": false}})"));
        for (const char *m : {"north~cam1", "north~cam2", "south~cam1"})
            QTRY_VERIFY_WITH_TIMEOUT(at(call("GET", QStringLiteral("/monitors/%1/screens/1").arg(m)).second, {"known"}).toBool(), 15000);
    }

    // What a site's monitors show reaches the centre, in its listings and its events.
    void gathered()
    {
        const QJsonArray list = call("GET", "/monitors").second.value("monitors").toArray();
        QCOMPARE(list.size(), 3);
        QCOMPARE(at(list.at(0), {"name"}).toString(), QStringLiteral("north~cam1"));
        QCOMPARE(at(list.at(0), {"room"}).toString(), QStringLiteral("Studio A"));
        QCOMPARE(at(list.at(0), {"type"}).toInt(), 2);
        QCOMPARE(at(list.at(2), {"site"}).toString(), QStringLiteral("south"));
        const QJsonArray sites = call("GET", "/sites").second.value("sites").toArray();
        QCOMPARE(sites.size() * at(sites.at(0), {"here"}).toBool(), 3); // the centre's own first
        QCOMPARE(at(sites.at(2), {"commands"}).toBool(true), false);
        QWebSocket ws;
        QStringList got;
        connect(&ws, &QWebSocket::textMessageReceived, this, [&got](const QString &t) { got << t; });
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/events").arg(centre->port())));
        QTRY_VERIFY(!got.isEmpty());
        QCOMPARE(at(QJsonDocument::fromJson(got.first().toUtf8()).object(), {"state", "north~cam1", "1", "tally"}).toString(), QStringLiteral("off"));
        QVERIFY(northSim.command("set 1 1 tally red"));
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(got.begin(), got.end(), [](const QString &t) {
            return at(QJsonDocument::fromJson(t.toUtf8()).object(), {"state", "north~cam1", "1", "tally"}) == QJsonValue("red");
        }), 10000);
        QCOMPARE(remote("north~cam1", 1, "tally").toString(), QStringLiteral("red"));
    }

    // A request for a remote monitor is its site's: sent only when the site takes
    // it, and answered with the site's own answer.
    void commands_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("field"); // at the monitor afterwards, screen 1; -1: none to look at
        QTest::addColumn<int>("value");
        const int none = -1, brightness = int(Field::brightness), tally = int(Field::tally);
        QTest::newRow("set") << QByteArray("PATCH") << "/monitors/north~cam1/screens/1" << QByteArray(R"({"brightness": 40})") << 200 << brightness << 40;
        QTest::newRow("tally") << QByteArray("POST") << "/monitors/north~cam1/screens/1/tally" << QByteArray(R"({"tally": "green"})") << 200 << tally << 2;
        QTest::newRow("umd") << QByteArray("POST") << "/monitors/north~cam2/screens/1/umd" << QByteArray(R"({"text": "CAM 2"})") << 200 << none << 0;
        QTest::newRow("out of range") << QByteArray("PATCH") << "/monitors/north~cam1/screens/1" << QByteArray(R"({"brightness": 101})") << 422 << none << 0;
        QTest::newRow("verify") << QByteArray("PATCH") << "/monitors/north~cam1/screens/1?verify=true" << QByteArray(R"({"brightness": 41})") << 400 << none << 0;
        QTest::newRow("bad JSON") << QByteArray("PATCH") << "/monitors/north~cam1/screens/1" << QByteArray("{") << 400 << none << 0;
        QTest::newRow("a field its type lacks") << QByteArray("PATCH") << "/monitors/north~cam2/screens/1" << QByteArray(R"({"mvMode": 1})") << 409 << none << 0;
        QTest::newRow("no such screen") << QByteArray("PATCH") << "/monitors/north~cam1/screens/9" << QByteArray(R"({"brightness": 1})") << 404 << none << 0;
        QTest::newRow("read-only site") << QByteArray("PATCH") << "/monitors/south~cam1/screens/1" << QByteArray(R"({"brightness": 7})") << 403 << none << 0;
        QTest::newRow("no such monitor") << QByteArray("PATCH") << "/monitors/north~cam9/screens/1" << QByteArray(R"({"brightness": 7})") << 404 << none << 0;
    }

    void commands()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, field);
        QFETCH(int, value);
        auto written = [this] {
            quint64 n = 0;
            for (Service *s : {north.get(), south.get()})
                for (const QString &k : s->fleet()->keys())
                    n += s->fleet()->find(k)->framesWritten;
            return n;
        };
        const quint64 before = written();
        const auto [got, answer] = call(method, path, body);
        QCOMPARE(got, status);
        QCOMPARE(written(), before + (status == 200 ? 1 : 0));
        if (status == 200)
            QCOMPARE(answer.value("monitor").toString(), path.section('/', 2, 2));
        if (field >= 0)
            QCOMPARE(northSim.monitors[0].screens[0].record.get(Field(field)), value);
    }

    // A client of the broker's own drives a site: the answer goes to its reply
    // topic with its correlation, never onto a state topic a command names.
    void brokerClient()
    {
        MqttClient::Options o;
        QVERIFY(MqttClient::parseUrl(broker.url(), &o, nullptr));
        o.clientId = QStringLiteral("tst-sites");
        MqttClient client(o);
        QList<MqttClient::Message> got;
        connect(&client, &MqttClient::message, this, [&got](const MqttClient::Message &m) { got << m; });
        client.subscribe(QStringLiteral("telvanor/north/online"));
        client.subscribe(QStringLiteral("telvanor/tst/replies/r1"));
        client.start();
        QTRY_VERIFY(client.isConnected() && !got.isEmpty());
        const QString topic = QStringLiteral("telvanor/north/command/cam2/1/set");
        QVERIFY(client.publish(topic, R"({"brightness": 21})", 1, false, QStringLiteral("telvanor/north/online"), "a"));
        QVERIFY(client.publish(topic, R"({"brightness": 22})", 1, false, QStringLiteral("telvanor/tst/replies/r1"), "b"));
        QVERIFY(client.publish(QStringLiteral("telvanor/south/command/cam1/1/set"), R"({"brightness": 23})", 1, false,
                               QStringLiteral("telvanor/tst/replies/r1"), "c"));
        QHash<QByteArray, QJsonObject> answers;
        QTRY_VERIFY_WITH_TIMEOUT((answers = [&got] {
            QHash<QByteArray, QJsonObject> a;
            for (const MqttClient::Message &m : got)
                if (m.payload.contains("status")) // the site answers in order: the first command's would have come first
                    a.insert(m.correlation, QJsonDocument::fromJson(m.payload).object());
            return a;
        }()).size() == 2, 10000);
        QCOMPARE(at(answers.value("b"), {"status"}).toInt(), 200);
        QCOMPARE(at(answers.value("b"), {"body", "monitor"}).toString(), QStringLiteral("cam2"));
        QCOMPARE(at(answers.value("c"), {"status"}).toInt(), 403); // a read-only site
        QVERIFY(!answers.contains("a"));
        QCOMPARE(northSim.monitors[1].screens[0].record.get(Field::brightness), 22);
    }

    // A site killed: the broker's last will says it is gone; its monitors stay
    // with what they last showed, and requests for them fail at once.
    void siteKilled()
    {
        QTcpServer free;
        QVERIFY(free.listen(QHostAddress::LocalHost));
        const quint16 port = free.serverPort();
        free.close();
        QFile f(dir.filePath("east.json"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral(R"({"monitors": {"cam1": "serial:%1#1"}, "readEveryMs": 1000, "presets": "pe", "http": {"port": %3},
            "mqtt": {"broker": "%2", "site": "east"}})").arg(eastLine->path(), broker.url()).arg(port).toUtf8());
        f.close();
        QProcess east;
        east.start(TELVANORD, {f.fileName()});
        QTRY_VERIFY_WITH_TIMEOUT(at(call("GET", "/monitors/east~cam1/screens/1").second, {"known"}).toBool(), 15000);
        east.kill();
        east.waitForFinished();
        QTRY_COMPARE_WITH_TIMEOUT(at(call("GET", "/monitors/east~cam1").second, {"siteOnline"}).toBool(true), false, 10000);
        const QJsonObject kept = call("GET", "/monitors/east~cam1").second;
        QCOMPARE(at(kept, {"screens"}).toArray().at(0)["settings"]["tally"].toString(), QStringLiteral("off"));
        QVERIFY(at(kept, {"silentMs"}).isDouble());
        const auto [status, body] = call("PATCH", "/monitors/east~cam1/screens/1", R"({"brightness": 3})");
        QCOMPARE(status, 503);
        QVERIFY(body.value("error").toString().contains("gone"));
    }

    // The broker away: requests fail and nothing goes out late; once it is back,
    // every service is connected again by itself, and what changed meanwhile shows.
    void brokerRestart()
    {
        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!centre->mqtt()->isConnected(), 10000);
        QCOMPARE(call("PATCH", "/monitors/north~cam1/screens/1", R"({"contrast": 11})").first, 503);
        QVERIFY(northSim.command("set 1 1 sharpness 9"));
        QTRY_COMPARE_WITH_TIMEOUT(north->fleet()->find(north->api()->keyOf("cam1"))->screens[0].record.get(Field::sharpness), 9, 10000);
        QString why;
        QVERIFY2(broker.restart(&why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(remote("north~cam1", 1, "sharpness").toInt(), 9, 20000);
        QVERIFY(north->mqtt()->isConnected() && south->mqtt()->isConnected());
        QVERIFY(northSim.monitors[0].screens[0].record.get(Field::contrast) != 11);
        const auto [status, body] = call("PATCH", "/monitors/north~cam1/screens/1", R"({"contrast": 12})");
        QVERIFY2(status == 200, QJsonDocument(body).toJson().constData());
        QCOMPARE(northSim.monitors[0].screens[0].record.get(Field::contrast), 12);
    }
};

QTEST_MAIN(TestSites)
#include "tst_sites.moc"
