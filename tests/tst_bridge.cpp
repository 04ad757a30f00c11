// The tally bridge end to end: a TSL sender, telvanor-ctl tally-bridge in a
// network namespace made here, simulated monitors on UDP and on a pseudo-terminal.
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "datastream.h"
#include "netlab.h"
#include "networklink.h"
#include "seriallink.h"
#include "simulator.h"

namespace {
// v3.1: 0x80 + address, control (tally 1 bit 0, tally 2 bit 1), 16 characters.
QByteArray v31(int address, int control, const QByteArray &label)
{
    return QByteArray(1, char(0x80 + address)) + char(control) + label.leftJustified(16, ' ');
}
// v5.0 datagram with one display message: PBC, VER 0, FLAGS 0, SCREEN, INDEX, CONTROL, LENGTH, TEXT.
QByteArray v5(int screen, int index, int control, const QByteArray &label)
{
    auto le = [](int v) { return QByteArray(1, char(v & 0xFF)) + char(v >> 8); };
    const QByteArray body = QByteArray(2, '\0') + le(screen) + le(index) + le(control) + le(label.size()) + label;
    return le(body.size()) + body;
}
QByteArray text16(const char *s) { return QByteArray(s).leftJustified(16, ' '); }
} // namespace

class TestBridge : public QObject
{
    Q_OBJECT
private slots:
    void endToEnd()
    {
        QString why;
        if (!NetLab::available(&why))
            QSKIP(qPrintable(why));
        NetLab net;
        const QString bridgeNs = net.addNamespace("bridge"), monNs = net.addNamespace("mons");
        QVERIFY(!net.link(bridgeNs, {"10.77.0.1/24"}, monNs, {"10.77.0.7/24", "10.77.0.12/24", "10.77.0.20/24"}).isEmpty());
        // .7 type 1, .12 type 2; .20 never answers.
        Simulator lan;
        lan.monitors = {Sim::makeMonitor(1, 0, "10.77.0.7"), Sim::makeMonitor(2, 0, "10.77.0.12")};
        NetworkLink nl(&lan);
        QVERIFY2(nl.adopt(net.udpSocketIn(monNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
        Simulator line, slow;
        line.monitors = {Sim::makeMonitor(4, 5, {})};
        slow.monitors = {Sim::makeMonitor(1, 3, {})};
        // Its first search reply comes after the bridge's time-out, the later ones at once.
        slow.failures.delayMs = 1500;
        connect(&slow, &Simulator::logLine, this, [&] {
            if (slow.requestCount() >= 2)
                slow.failures.delayMs = 0;
        });
        SerialLink slowLink(&slow);
        QVERIFY2(slowLink.openPty(&why), qPrintable(why));
        auto sl = std::make_unique<SerialLink>(&line);
        QVERIFY2(sl->openPty(&why), qPrintable(why));
        QTemporaryDir dir;
        const QString port = dir.filePath("line"); // the bridge opens the line by this name
        QVERIFY(QFile::link(sl->path(), port));
        const int tsl = net.udpSocketIn(monNs, "10.77.0.20", 0);
        QVERIFY(tsl >= 0);

        QFile map(dir.filePath("map.json"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write(QStringLiteral(R"({"listen": {"udp31": 40031, "udp5": 40050}, "displays": [
            {"name": "CAM 1", "tsl": "3.1/1", "target": "lan:10.77.0.7"},
            {"name": "GONE", "tsl": "3.1/3", "target": "lan:10.77.0.20", "text": "x"},
            {"name": "RACK", "tsl": "3.1/4", "target": "serial:%1#5", "screen": 2, "tally": "2"},
            {"name": "RACK 2", "tsl": "3.1/5", "target": "serial:%1#5", "umd": 2, "text": "R2"},
            {"name": "SLOW", "tsl": "3.1/7", "target": "serial:%2#3"},
            {"name": "MV 1", "tsl": "3.1/6", "target": "lan:10.77.0.12", "tally": "none", "label": false, "text": "PGM"},
            {"name": "MV 2", "tsl": "5.0/1/2", "target": "lan:10.77.0.12", "umd": 2, "labelColor": true}]})")
                      .arg(port, slowLink.path()).toUtf8());
        map.close();
        QProcess bridge;
        bridge.start("ip", {"netns", "exec", bridgeNs, TELVANOR_CTL, "tally-bridge", map.fileName()});
        QByteArray log;
        auto logged = [&](const char *text) { return (log += bridge.readAllStandardOutput()).contains(text); };
        QTRY_VERIFY2_WITH_TIMEOUT(logged("tally bridge: 7 display(s) to 5 monitor(s)"), bridge.readAllStandardError(), 10000);
        auto send = [&](const QByteArray &datagram, int port) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(quint16(port));
            inet_pton(AF_INET, "10.77.0.1", &to.sin_addr);
            QCOMPARE(::sendto(tsl, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                     ssize_t(datagram.size()));
        };
        const ST_BasicData &cam = lan.monitors[0].screens[0].record;
        const ST_BasicData &mv = lan.monitors[1].screens[0].record;
        QElapsedTimer clock;
        clock.start();
        QVector<qint64> camTally; // when .7's tally changed
        connect(&lan, &Simulator::logLine, this, [&](const QString &l) {
            if (l.startsWith("10.77.0.7 screen 1: Tally"))
                camTally << clock.elapsed();
        });

        // A text the map keeps goes out when the monitor is first read.
        QTRY_COMPARE(lan.monitors[1].screens[0].umdText[0], text16("PGM"));
        // One datagram for a silent monitor, a LAN one and a serial one: the silent one stops nobody.
        // UMD 2 of the single-UMD monitor: its tally goes out with its text in UMD 1.
        send(v31(3, 1, "GONE") + v31(1, 1, "CAM 1") + v31(4, 2, "RACK 4") + v31(5, 1, "RACK 5") + v31(7, 1, "SLOW"), 40031);
        QTRY_COMPARE(cam.get(Field::tally), 1);
        QCOMPARE(lan.monitors[0].screens[0].umdText[0], text16("CAM 1"));
        QTRY_COMPARE(line.monitors[0].screens[1].record.get(Field::tally), 2);
        QCOMPARE(line.monitors[0].screens[1].umdText[0], text16("RACK 4"));
        QTRY_COMPARE(line.monitors[0].screens[0].record.get(Field::tally), 1);
        QCOMPARE(line.monitors[0].screens[0].umdText[0], text16("R2"));
        QTRY_COMPARE_WITH_TIMEOUT(slow.monitors[0].screens[0].record.get(Field::tally), 1, 15000);

        // A repeat changes nothing and sends nothing; a tally change keeps the label.
        // Changes that follow each other at once wait for the monitor's pace.
        const int camFrames = lan.monitors[0].commandsApplied;
        send(v31(1, 1, "CAM 1"), 40031);
        for (int lamp : {2, 1, 2}) {
            send(v31(1, lamp, "CAM 1"), 40031);
            QTRY_COMPARE(cam.get(Field::tally), lamp);
        }
        QCOMPARE(lan.monitors[0].commandsApplied, camFrames + 3);
        QCOMPARE(camTally.size(), 4);
        QVERIFY2(camTally[2] - camTally[1] >= 480 && camTally[3] - camTally[2] >= 480, "a monitor's frames at least 500 ms apart");
        QCOMPARE(lan.monitors[0].screens[0].umdText[0], text16("CAM 1"));

        // v5.0: left tally red, text tally green (UMD colour), label into UMD 2 of the type-2 monitor.
        send(v5(1, 2, 1 << 4 | 2 << 2, "STUDIO"), 40050);
        QTRY_COMPARE(lan.monitors[1].screens[0].umdText[1], text16("STUDIO"));
        QCOMPARE(mv.get(Field::tally), 1);
        QCOMPARE(mv.get(Field::umd2Color), 2);
        // Only the tally changes (to amber: yellow): no text is filed, the labels stay.
        send(v5(0xFFFF, 2, 3 << 4 | 2 << 2, "STUDIO"), 40050);
        QTRY_COMPARE(mv.get(Field::tally), 3);
        QCOMPARE(lan.monitors[1].screens[0].umdText[0], text16("PGM"));
        QCOMPARE(lan.monitors[1].screens[0].umdText[1], text16("STUDIO"));

        // On an idle monitor too, a repeat sends nothing: the next change is its only frame.
        const int camNow = lan.monitors[0].commandsApplied;
        send(v31(1, 2, "CAM 1"), 40031);
        send(v31(1, 0, "CAM 1"), 40031);
        QTRY_COMPARE(cam.get(Field::tally), 0);
        QCOMPARE(lan.monitors[0].commandsApplied, camNow + 1);

        QTRY_VERIFY_WITH_TIMEOUT(logged("lan:10.77.0.20: not answering"), 15000);
        QVERIFY(logged("CAM 1: tally green, label \"CAM 1\""));

        bridge.terminate();
        QVERIFY(bridge.waitForFinished(5000));
        QCOMPARE(bridge.exitCode(), 0);
    }

    // A map file with a fault is refused, with its line, before anything starts.
    void badMap_data()
    {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<QString>("message");
        const QByteArray head = "{\"listen\": {\"udp31\": 40031},\n \"displays\": [\n";
        QTest::newRow("syntax") << QByteArray("{\"listen\": {\"udp31\": 40031},\n\n \"displays\": [ }") << ":3: ";
        QTest::newRow("tsl address") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\"},\n{\"tsl\": \"3.1/200\", \"target\": \"lan:10.0.0.8\"}]}" << ":4: tsl";
        QTest::newRow("v5 tally name") << head + "{\"tsl\": \"5.0/1/2\", \"target\": \"lan:10.0.0.7\", \"tally\": \"1+2\"}]}" << ":3: tally";
        QTest::newRow("target") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0\"}]}" << ":3: bad address";
        QTest::newRow("slot mapped twice") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\"},\n{\"tsl\": \"3.1/2\", \"target\": \"lan:10.0.0.7\"}]}" << ":4: UMD 1";
        QTest::newRow("no text to keep") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\", \"label\": false}]}" << ":3: label false";
        QTest::newRow("screen as text") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\", \"screen\": \"2\"}]}" << ":3: screen";
        QTest::newRow("umd as text") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\", \"umd\": \"2\"}]}" << ":3: umd";
        QTest::newRow("tally as number") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\", \"tally\": 1}]}" << ":3: tally";
        QTest::newRow("label as text") << head + "{\"tsl\": \"3.1/1\", \"target\": \"lan:10.0.0.7\", \"label\": \"false\"}]}" << ":3: label";
        QTest::newRow("nothing to listen on") << QByteArray("{\"displays\": []}") << ":1: listen";
    }
    void badMap()
    {
        QFETCH(QByteArray, map);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QFile f(dir.filePath("map.json"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(map) == map.size());
        f.close();
        QProcess p;
        p.start(TELVANOR_CTL, {"tally-bridge", f.fileName()});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 9);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.startsWith("telvanor-ctl: " + f.fileName() + message), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
