// The panel's protocol layer against the simulator over UDP, inside network
// namespaces this test creates and removes: the panel lives in one, the
// monitors' addresses in another, joined by a veth pair. Nothing leaves the
// machine. Needs root.
#include <QtTest>

#include "datastream.h"
#include "netlab.h"
#include "networklink.h"
#include "simulator.h"

using namespace Sim;

namespace {
// A lab with the panel on 10.77.0.1 and the given monitor addresses (/24) in a
// second namespace. The calling thread moves into the panel's namespace, so the
// DataStream made afterwards binds and broadcasts there only.
struct Lab {
    NetLab net;
    QString panelNs, monitorsNs;
    bool ok = false;

    explicit Lab(const QStringList &monitorIps)
    {
        panelNs = net.addNamespace(QStringLiteral("panel"));
        monitorsNs = net.addNamespace(QStringLiteral("mons"));
        if (panelNs.isEmpty() || monitorsNs.isEmpty())
            return;
        const QStringList ends = net.link(panelNs, {QStringLiteral("10.77.0.1/24")}, monitorsNs, {});
        if (ends.size() != 2)
            return;
        QStringList cidrs;
        for (const QString &ip : monitorIps)
            cidrs << ip + QStringLiteral("/24");
        ok = net.addAddresses(monitorsNs, ends.at(1), cidrs) && NetLab::enter(panelNs);
    }
};

QStringList ipsOf(const QVector<SimMonitor> &ms)
{
    QStringList ips;
    for (const SimMonitor &m : ms)
        ips << m.ip;
    return ips;
}

QStringList searchAll(DataStream *ds)
{
    QSignalSpy found(ds, &DataStream::signalFoundDevice);
    QSignalSpy done(ds, &DataStream::signalSearchCompleted);
    ds->startSearch();
    if (!done.wait(15000))
        return {QStringLiteral("search did not complete")};
    QStringList names;
    for (const QList<QVariant> &args : qAsConst(found))
        names << args.at(0).toString();
    return names;
}

int indexOfIp(const DataStream *ds, const QString &ip)
{
    for (int i = 0; i < ds->deviceList.size(); ++i)
        if (ds->deviceList[i]->ipAddr == ip)
            return i;
    return -1;
}

bool readFrom(DataStream *ds, const QString &ip, int screen)
{
    QSignalSpy replies(ds, &DataStream::signalRecvBasicData);
    ds->selectDevice(indexOfIp(ds, ip), screen);
    return replies.wait(3000);
}
} // namespace

class TestSimNetwork : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void monitorsAreListedByAddress();
    void allReachesEveryMonitorWhileReadsGoToOne();
    void twoHundredMonitorsAreAllListed();
    void programAnswersAndTakesOperatorChanges();
};

void TestSimNetwork::init()
{
    QString why;
    if (!NetLab::available(&why))
        QSKIP(qPrintable(why));
}

void TestSimNetwork::monitorsAreListedByAddress()
{
    Simulator sim;
    // Answering in this order, the panel must still list them by address.
    sim.monitors = {makeMonitor(128, 0, "10.77.0.30"), makeMonitor(2, 3, "10.77.0.7"), makeMonitor(4, 0, "10.77.0.12")};
    Lab lab(ipsOf(sim.monitors));
    QVERIFY(lab.ok);
    NetworkLink link(&sim);
    QString why;
    QVERIFY2(link.adopt(lab.net.udpSocketIn(lab.monitorsNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
    DataStream ds;

    QCOMPARE(searchAll(&ds), (QStringList{"10.77.0.7", "10.77.0.12", "10.77.0.30"}));
    const int types[] = {2, 4, 128}, screens[] = {1, 3, 2}, ids[] = {3, 0, 0};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ds.deviceList[i]->deviceType, types[i]);
        QCOMPARE(ds.deviceList[i]->screenCount, screens[i]);
        QCOMPARE(int(ds.deviceList[i]->deviceId), ids[i]);
    }
    // Reads are answered from the monitor's own address and reach the right record.
    QVERIFY(readFrom(&ds, "10.77.0.30", 1));
    QCOMPARE(ds.curDevice->deviceName, QString::fromLatin1(sim.monitors[0].name));
    QCOMPARE(ds.basicData.get(Field::brightness), sim.monitors[0].screens[1].record.get(Field::brightness));
}

void TestSimNetwork::allReachesEveryMonitorWhileReadsGoToOne()
{
    Simulator sim;
    sim.monitors = {makeMonitor(2, 0, "10.77.0.7"), makeMonitor(4, 0, "10.77.0.12"), makeMonitor(128, 0, "10.77.0.30")};
    Lab lab(ipsOf(sim.monitors));
    QVERIFY(lab.ok);
    NetworkLink link(&sim);
    QString why;
    QVERIFY2(link.adopt(lab.net.udpSocketIn(lab.monitorsNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
    DataStream ds;
    QCOMPARE(searchAll(&ds).size(), 3);

    QVERIFY(readFrom(&ds, "10.77.0.12", 0));
    ds.sendToAll = true;
    ST_BasicData rec = ds.basicData;
    rec.set(Field::brightness, 77);
    ds.curDevice->setBasicData(rec);
    ds.sendGroup(1);
    for (int i = 0; i < 3; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(sim.monitors[i].screens[0].record.get(Field::brightness), 77, 3000);
    // The whole picture group of .12 went to all of them, and nothing else.
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 7; ++b)
            QCOMPARE(sim.monitors[i].screens[0].record.byte(b), rec.byte(b));
    QCOMPARE(sim.monitors[2].screens[0].record.byte(13), makeMonitor(128, 0, "10.77.0.30").screens[0].record.byte(13));

    // With "All" on, a read still goes to the current monitor alone.
    const int reads7 = sim.monitors[0].readsAnswered, reads30 = sim.monitors[2].readsAnswered;
    const int reads12 = sim.monitors[1].readsAnswered;
    QVERIFY(readFrom(&ds, "10.77.0.12", 0));
    QCOMPARE(sim.monitors[1].readsAnswered, reads12 + 1);
    QCOMPARE(sim.monitors[0].readsAnswered, reads7);
    QCOMPARE(sim.monitors[2].readsAnswered, reads30);

    // "All" off: a setting goes to the current monitor alone.
    ds.sendToAll = false;
    rec = ds.basicData;
    rec.set(Field::brightness, 33);
    ds.curDevice->setBasicData(rec);
    ds.sendGroup(1);
    QTRY_COMPARE_WITH_TIMEOUT(sim.monitors[1].screens[0].record.get(Field::brightness), 33, 3000);
    QCOMPARE(sim.monitors[0].screens[0].record.get(Field::brightness), 77);
    QCOMPARE(sim.monitors[2].screens[0].record.get(Field::brightness), 77);
}

void TestSimNetwork::twoHundredMonitorsAreAllListed()
{
    Simulator sim;
    sim.logReads = false;
    QString why;
    QVERIFY2(parseMonitorDescription("type=4,ip=10.77.0.11,count=200", &sim.monitors, &why), qPrintable(why));
    Lab lab(ipsOf(sim.monitors));
    QVERIFY(lab.ok);
    NetworkLink link(&sim);
    QVERIFY2(link.adopt(lab.net.udpSocketIn(lab.monitorsNs, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
    DataStream ds;

    const QStringList found = searchAll(&ds);
    QCOMPARE(found.size(), 200);
    for (int i = 0; i < 200; ++i)
        QCOMPARE(found[i], QStringLiteral("10.77.0.%1").arg(11 + i));
}

// The program itself, started in the monitors' namespace: it answers the panel,
// logs a change in the settings' own terms, and a change typed on its standard
// input reaches the panel with the next read.
void TestSimNetwork::programAnswersAndTakesOperatorChanges()
{
    Lab lab({"10.77.0.7", "10.77.0.12", "10.77.0.30"});
    QVERIFY(lab.ok);
    QProcess sim;
    QStringList log;
    connect(&sim, &QProcess::readyReadStandardOutput, [&] {
        while (sim.canReadLine())
            log << QString::fromLocal8Bit(sim.readLine()).trimmed();
    });
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start("ip", {"netns", "exec", lab.monitorsNs, TELVANOR_SIM_BINARY, "--monitor", "type=2,ip=10.77.0.7,name=CAM 7",
                     "--monitor", "type=4,ip=10.77.0.12", "--monitor", "type=128,ip=10.77.0.30"});
    auto logHas = [&log](const QString &text) {
        for (const QString &l : qAsConst(log))
            if (l.contains(text))
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(logHas("ready network=0.0.0.0:19523"), 10000);

    DataStream ds;
    QCOMPARE(searchAll(&ds), (QStringList{"10.77.0.7", "10.77.0.12", "10.77.0.30"}));
    QCOMPARE(ds.deviceList[0]->deviceType, 2);
    QVERIFY(readFrom(&ds, "10.77.0.7", 0));
    QCOMPARE(ds.curDevice->deviceName, QStringLiteral("CAM 7           "));

    const int was = ds.basicData.get(Field::brightness);
    ST_BasicData rec = ds.basicData;
    rec.set(Field::brightness, was + 11);
    rec.set(Field::tally, 1);
    ds.curDevice->setBasicData(rec);
    ds.sendGroup(1);
    ds.sendGroup(6);
    QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("10.77.0.7 screen 1: Brightness %1 -> %2").arg(was).arg(was + 11)), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(logHas("10.77.0.7 screen 1: Tally off -> red"), 5000);

    // The panel reads back about once a second; so does this test until the change shows.
    sim.write("set 10.77.0.7 1 contrast 33\n");
    QTimer readBack;
    connect(&readBack, &QTimer::timeout, [&] { ds.selectDevice(indexOfIp(&ds, "10.77.0.7"), 0); });
    readBack.start(300);
    QTRY_COMPARE_WITH_TIMEOUT(ds.basicData.get(Field::contrast), 33, 5000);
    readBack.stop();
    QVERIFY(logHas("10.77.0.7 screen 1: Contrast"));

    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    if (qEnvironmentVariableIsSet("TELVANOR_SIM_SHOW_LOG"))
        qInfo().noquote() << log.join('\n');
}

QTEST_GUILESS_MAIN(TestSimNetwork)
#include "tst_sim_network.moc"
