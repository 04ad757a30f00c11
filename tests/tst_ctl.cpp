// telvanor-ctl as scripts run it: the program against simulated monitors on a
// pseudo-terminal and, inside network namespaces made here, on UDP.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "netlab.h"
#include "networklink.h"
#include "seriallink.h"
#include "simulator.h"

namespace {
struct Run {
    int status = -1;
    QString out, err;
};

// Runs the program while this process's event loop serves the simulated monitors.
Run ctl(const QStringList &args, const QString &ns = QString())
{
    QProcess p;
    QStringList all = args;
    QString program = QStringLiteral(TELVANOR_CTL);
    if (!ns.isEmpty()) {
        all = QStringList{"netns", "exec", ns, program} + args;
        program = QStringLiteral("ip");
    }
    QSignalSpy done(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    p.start(program, all);
    Run r;
    if (!done.wait(60000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QByteArray settingBytes(const ST_BasicData &r) // bytes 0-7 and 10-21, which every type carries
{
    const QByteArray all(reinterpret_cast<const char *>(r.bytes.data()), ST_BasicData::Size);
    return all.left(8) + all.mid(10, 12);
}
} // namespace

class TestCtl : public QObject
{
    Q_OBJECT
    Simulator sim;
    SerialLink *link = nullptr;
    QString port;
    QTemporaryDir dir;

    Sim::SimMonitor &mon(int id) { return sim.monitors[sim.find(QString::number(id))]; }
    int applied()
    {
        int n = 0;
        for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
            n += m.commandsApplied;
        return n;
    }

private slots:
    void initTestCase()
    {
        // Two type-4 monitors (three screens each), a type-2 and a type-1 one.
        sim.monitors = {Sim::makeMonitor(4, 5, {}, "CAM 1"), Sim::makeMonitor(2, 7, {}, "MV"),
                        Sim::makeMonitor(4, 9, {}, "CAM 2"), Sim::makeMonitor(1, 3, {}, "ONE")};
        QVERIFY(sim.command("set 5 1 colorTemp 5500k") && sim.command("set 5 1 brightness 50"));
        QVERIFY(sim.command("input 5 2 1080i50"));
        mon(3).name = QByteArray("ONE").leftJustified(16, '\0'); // fixed fields may be padded with zero bytes
        mon(3).screens[0].inputText = QByteArray("SDI IN").leftJustified(18, '\0');
        link = new SerialLink(&sim, this);
        QString why;
        QVERIFY2(link->openPty(&why), qPrintable(why));
        qRegisterMetaType<QProcess::ExitStatus>();
        port = QStringLiteral("serial:") + link->path();
    }

    // One call each: its exit status, what it prints, and how many setting
    // frames the monitors took. Refusals send nothing.
    void calls_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("printed");
        QTest::addColumn<int>("frames");
        const auto row = [](const char *name, QStringList args, int status, QStringList printed, int frames) {
            QTest::newRow(name) << args << status << printed << frames;
        };
        row("get: captions and numbers", {"get", "#5", "--json"}, 0,
            {"\"colorTemp\": \"5500k\"", "\"brightness\": 50", "\"name\": \"CAM 1\"", "\"type\": 4", "\"screen\": 1"}, 0);
        row("get: a field the type lacks is left out", {"get", "#5", "--json"}, 0, {"!mvMode", "!umd2On"}, 0);
        row("get: type 2 has multiview", {"get", "#7", "--json"}, 0, {"\"mvMode\"", "\"umd4On\""}, 0);
        row("get: text without its zero bytes", {"get", "#3", "--json"}, 0, {"\"name\": \"ONE\"", "\"input\": \"SDI IN\"", "!\\u0000"}, 0);
        row("get: every screen", {"get", "#5", "--screens", "all"}, 0, {"screen 3: type 4", "input \"1080i50\""}, 0);
        row("set: two groups", {"set", "#9", "brightness=80", "markerColor=red", "--screen", "2", "--verify"}, 0,
            {"screen 2: sent Picture, Marker", "screen 2: verified"}, 2);
        row("tally on type 2 needs no text", {"tally", "#7", "green"}, 0, {"sent UMD"}, 1);
        row("umd slot 3", {"umd", "#7", "PGM", "--slot", "3"}, 0, {"sent UMD"}, 1);
        row("multiview with its source", {"set", "#7", "mvMode=on", "source=2", "--verify"}, 0, {"verified"}, 1);
        row("multiview still on", {"get", "#7", "--json"}, 0, {"\"mvMode\": \"on\""}, 0);
        row("unknown field", {"set", "#5", "bogus=1"}, 3, {"unknown field 'bogus'"}, 0);
        row("unknown value", {"set", "#5", "colorTemp=4000k"}, 3, {"unknown value"}, 0);
        row("level above 100", {"set", "#5", "brightness=180"}, 4, {"brightness takes 0-100"}, 0);
        row("colour temperature the monitors lack", {"set", "#5", "colorTemp=7"}, 4, {"colorTemp takes 0-5"}, 0);
        row("source the monitors lack", {"set", "#5", "source=9"}, 4, {"source takes 0-7, 12"}, 0);
        row("marker thickness 0", {"set", "#5", "markerThickness=0"}, 4, {"markerThickness takes 1-15"}, 0);
        row("screen out of range", {"set", "#5", "brightness=1", "--screen", "9"}, 4, {"screens are 1-8"}, 0);
        row("screen the type lacks", {"get", "#7", "--screen", "2"}, 4, {"a type 2 monitor has 1"}, 0);
        row("source the type lacks", {"set", "#3", "source=SDI3"}, 5, {"type 1 monitor offers no source SDI3"}, 0);
        row("label that would go out as blanks", {"umd", "#7", "CAM\t3", "--slot", "2"}, 4, {"printable ASCII"}, 0);
        row("field the type lacks", {"set", "#5", "#7", "brightness=3", "mvSource1=HDMI"}, 5, {"type 4 monitor has no mvSource1"}, 0);
        row("UMD slot the type lacks", {"umd", "#5", "X", "--slot", "2"}, 5, {"has one UMD"}, 0);
        row("tally would blank UMD 1", {"tally", "#7", "#5", "red"}, 2, {"give the text to keep with --text"}, 0);
        row("bad tally", {"tally", "#5", "blue"}, 3, {"off, red, green or yellow"}, 0);
        row("usage", {"set", "#5"}, 2, {"no FIELD=VALUE"}, 0);
        row("silent monitor", {"get", "#40"}, 7, {"#40: no reply"}, 0);
        row("silent monitor among others: nothing sent", {"set", "#5", "#40", "brightness=9"}, 7, {"no reply"}, 0);
        row("discover", {"discover", "--all-serial", "PORT"}, 0,
            {"#3  type 1  screens 1  name \"ONE\"", "#5  type 4  screens 3  name \"CAM 1\"", "#7  type 2", "#9  type 4"}, 0);
    }
    void calls()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QStringList, printed);
        QFETCH(int, frames);
        for (QString &a : args)
            a = a.startsWith('#') ? port + a : a == "PORT" ? link->path() : a;
        const int before = applied();
        const Run r = ctl(args);
        QCOMPARE(r.status, status);
        for (const QString &p : printed) {
            if (p.startsWith('!'))
                QVERIFY2(!r.out.contains(p.mid(1)), qPrintable(r.out));
            else
                QVERIFY2((r.out + r.err).contains(p), qPrintable(r.out + r.err));
        }
        QCOMPARE(applied() - before, frames);
        QCOMPARE(r.err.count('\n'), status == 0 ? 0 : 1); // one clear line on failure
    }

    void textsOfOtherSlotsStay()
    {
        const auto texts = mon(7).screens[0].umdText;
        QCOMPARE(ctl({"tally", port + "#7", "red"}).status, 0);
        QCOMPARE(mon(7).screens[0].record.get(Field::tally), 1);
        QCOMPARE(mon(7).screens[0].umdText, texts);
        QCOMPARE(ctl({"umd", port + "#7", "CAM 3", "--slot", "2"}).status, 0);
        QCOMPARE(mon(7).screens[0].umdText[1], QByteArray("CAM 3           "));
        QCOMPARE(mon(7).screens[0].umdText[0], texts[0]);
    }

    // A preset saved on one monitor and loaded on another of the same type
    // gives equal settings, sending only the groups that differ.
    void presetRoundTrip()
    {
        const QString file = dir.filePath("cam.json"), targets = dir.filePath("targets");
        QFile t(targets);
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write(QStringLiteral("# studio\nCAM1 %1#5\nCAM2  %1#9\n").arg(port).toUtf8());
        t.close();
        // A thickness of 0 (which no program writes) and a tally on air are not the preset's.
        mon(5).screens[0].record.set(Field::markerThickness, 0);
        for (int s = 0; s < 3; ++s)
            mon(5).screens[s].record.set(Field::source, 7); // HDMI: type 4 has SDI and HDMI alone
        QVERIFY(sim.command("set 5 3 tally green"));
        const Run saved = ctl({"save", "CAM1", file, "--screens", "all", "--targets", targets});
        QVERIFY2(saved.status == 0, qPrintable(saved.err));
        for (int s = 0; s < 3; ++s)
            mon(9).screens[s].record = mon(5).screens[s].record;
        QVERIFY(sim.command("set 9 1 brightness 3") && sim.command("set 9 3 markerColor blue") && sim.command("set 9 3 aspect 4:3"));
        QVERIFY(sim.command("set 9 3 tally red"));

        const int before = applied();
        Run r = ctl({"load", "CAM2", file, "--targets", targets, "--dry-run"});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("screen 3: would send Marker, Function\n") && r.out.contains("Brightness 3 -> "), qPrintable(r.out));
        QCOMPARE(applied(), before);
        r = ctl({"load", "CAM2", file, "--targets", targets}); // no UMD frame, so no text to keep
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(applied() - before, 3);
        QCOMPARE(mon(9).screens[2].record.get(Field::tally), 1); // still on air
        mon(9).screens[2].record.set(Field::tally, 2);
        for (int s = 0; s < 3; ++s)
            QCOMPARE(settingBytes(mon(9).screens[s].record), settingBytes(mon(5).screens[s].record));

        r = ctl({"load", port + "#7", file});
        QCOMPARE(r.status, 5);
        QCOMPARE(applied() - before, 3);
        QCOMPARE(ctl({"copy", port + "#5", port + "#7"}).status, 5);
        QCOMPARE(ctl({"copy", port + "#5@1", port + "#9@2", "--text", "CAM 2"}).status, 0);
        QCOMPARE(settingBytes(mon(9).screens[1].record), settingBytes(mon(5).screens[0].record));
        QVERIFY(sim.command("set 9 3 brightness 7"));
        QCOMPARE(ctl({"copy", port + "#5", port + "#9", "--text", "CAM 2"}).status, 0); // every screen
        for (int s = 0; s < 3; ++s)
            QCOMPARE(settingBytes(mon(9).screens[s].record), settingBytes(mon(5).screens[s].record));

        // A one-screen preset goes to the screen asked for, screen 1 too.
        QCOMPARE(ctl({"save", "CAM1", file, "--screen", "2", "--targets", targets}).status, 0);
        QCOMPARE(ctl({"load", "CAM2", file, "--screen", "1", "--targets", targets, "--text", "CAM 2"}).status, 0);
        QCOMPARE(settingBytes(mon(9).screens[0].record), settingBytes(mon(5).screens[1].record));

        // A hand-edited preset with a value the monitors do not define is refused; nothing is sent.
        QFile edited(file);
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write(R"({"format": "telvanor-preset", "version": 1, "deviceType": 4, "screens": [
            {"screen": 1, "settings": {"contrast": 20, "brightness": 180}}]})");
        edited.close();
        const int sent = applied();
        QCOMPARE(ctl({"load", "CAM2", file, "--targets", targets}).status, 4);
        QCOMPARE(applied(), sent);
    }

    // --verify reads back every screen and returns the worst result: a screen
    // that did not take the change (8) outweighs later ones that do not answer (7).
    void verifyReportsEveryScreen()
    {
        QVERIFY(sim.command("fail ignore-settings 1"));
        int ignored = 0;
        auto c = connect(&sim, &Simulator::logLine, this, [&](const QString &line) {
            if (line.contains("ignore-settings") && ++ignored == 3)
                sim.failures.stopAfter = sim.requestCount() + 1; // screen 1's read-back is the last answer
        });
        const Run r = ctl({"set", port + "#9", "contrast=33", "--screens", "all", "--verify"});
        disconnect(c);
        sim.failures = Sim::FailureModes();
        QCOMPARE(ignored, 3);
        QCOMPARE(r.status, 8);
        for (const char *line : {"screen 1: not taken: contrast", "screen 2: no reply", "screen 3: no reply"})
            QVERIFY2(r.err.contains(line), qPrintable(r.err));
    }

    // On the LAN: discovery by broadcast inside namespaces, then a set with verify.
    void network()
    {
        QString why;
        if (!NetLab::available(&why))
            QSKIP(qPrintable(why));
        NetLab net;
        const QString ctlNs = net.addNamespace("ctl"), monNs = net.addNamespace("mons");
        QVERIFY(!net.link(ctlNs, {"10.77.0.1/24"}, monNs, {"10.77.0.7/24", "10.77.0.12/24"}).isEmpty());
        Simulator lan;
        lan.monitors = {Sim::makeMonitor(1, 0, "10.77.0.7", "STUDIO A"), Sim::makeMonitor(4, 2, "10.77.0.12", "QUAD")};
        NetworkLink nl(&lan);
        QVERIFY2(nl.adopt(net.udpSocketIn(monNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));

        Run r = ctl({"discover", "--json"}, ctlNs);
        QCOMPARE(r.status, 0);
        const QJsonArray found = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[1].toObject().value("target").toString(), QStringLiteral("lan:10.77.0.12"));
        QCOMPARE(found[1].toObject().value("screens").toInt(), 3);
        QCOMPARE(found[0].toObject().value("name").toString(), QStringLiteral("STUDIO A"));

        r = ctl({"set", "lan:10.77.0.12", "contrast=11", "--screens", "all", "--verify"}, ctlNs);
        QCOMPARE(r.status, 0);
        for (int s = 0; s < 3; ++s)
            QCOMPARE(lan.monitors[1].screens[s].record.get(Field::contrast), 11);
        QCOMPARE(lan.monitors[0].commandsApplied, 0);
        QCOMPARE(ctl({"get", "lan:10.77.0.99"}, ctlNs).status, 7);
    }
};

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
