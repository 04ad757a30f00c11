// The panel's protocol layer against the simulator over a real pseudo-terminal:
// the search finds exactly the simulated IDs, reads show the selected screen,
// every packet group changes exactly its record bytes, replies chopped into
// pieces arrive whole, and a monitor that falls silent is reported.
#include <QtTest>

#include "datastream.h"
#include "seriallink.h"
#include "simulator.h"
#include "simdiff.h"

using namespace Sim;

namespace {
} // namespace

class TestSimSerial : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void searchFindsExactlyTheMonitors();
    void readShowsTheSelectedScreen_data();
    void readShowsTheSelectedScreen();
    void groupChangesExactlyItsBytes_data();
    void groupChangesExactlyItsBytes();
    void type2BytesReachOnlyType2_data();
    void type2BytesReachOnlyType2();
    void choppedRepliesArriveWhole_data();
    void choppedRepliesArriveWhole();
    void changeOnTheMonitorIsReadBack();
    void silentMonitorIsReportedAtTheNinthRead();

private:
    int deviceIndex(int id) const;
    int monitorIndex(int id) const { return sim.find(QString::number(id)); }
    bool read(int id, int screen);

    Simulator sim;
    SerialLink *link = nullptr;
    DataStream *ds = nullptr;
    QStringList found;
    int idIpErrors = 0;
};

void TestSimSerial::initTestCase()
{
    // Type 4 has three screens, type 2 one, type 5 two.
    sim.monitors = {makeMonitor(4, 0, {}, QStringLiteral("CAM 0")), makeMonitor(2, 5, {}),
                    makeMonitor(5, 126, {}, QStringLiteral("Edit suite"))};
    if (qEnvironmentVariableIsSet("TELVANOR_SIM_SHOW_LOG"))
        connect(&sim, &Simulator::logLine, [](const QString &line) { qInfo().noquote() << "sim:" << line; });
    link = new SerialLink(&sim, this);
    QString why;
    QVERIFY2(link->openPty(&why), qPrintable(why));

    ds = new DataStream(this);
    ds->linkMode = DataStream::LinkSerial; // before anything is sent: nothing goes to the network
    ds->port->setSerialPort(link->path(), 38400);
    QVERIFY(ds->port->isSerialOpen());

    // One search for the whole test case: it takes more than seven seconds.
    QSignalSpy foundSpy(ds, &DataStream::signalFoundDevice);
    QSignalSpy errors(ds, &DataStream::signalIDIP_Error);
    QSignalSpy done(ds, &DataStream::signalSearchCompleted);
    ds->startSearch();
    QVERIFY(done.wait(20000));
    for (const QList<QVariant> &args : qAsConst(foundSpy))
        found << args.at(0).toString();
    idIpErrors = errors.count();
}

void TestSimSerial::cleanup()
{
    sim.failures = FailureModes();
}

int TestSimSerial::deviceIndex(int id) const
{
    for (int i = 0; i < ds->deviceList.size(); ++i)
        if (ds->deviceList[i]->deviceId == id)
            return i;
    return -1;
}

bool TestSimSerial::read(int id, int screen)
{
    const int index = deviceIndex(id);
    if (index < 0)
        return false;
    QSignalSpy replies(ds, &DataStream::signalRecvBasicData);
    ds->selectDevice(index, screen);
    return replies.wait(3000);
}

void TestSimSerial::searchFindsExactlyTheMonitors()
{
    QCOMPARE(found, (QStringList{"RS ID : 0", "RS ID : 5", "RS ID : 126"}));
    QCOMPARE(idIpErrors, 0);
    QCOMPARE(ds->deviceList.size(), 3);
    const int types[] = {4, 2, 5}, screens[] = {3, 1, 2};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ds->deviceList[i]->deviceType, types[i]);
        QCOMPARE(ds->deviceList[i]->screenCount, screens[i]);
        // Each monitor answered its own probe and no other.
        QCOMPARE(sim.monitors[i].searchesAnswered, 1);
    }
}

void TestSimSerial::readShowsTheSelectedScreen_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("screen");
    QTest::newRow("ID 0 screen 1") << 0 << 0;
    QTest::newRow("ID 0 screen 3") << 0 << 2;
    QTest::newRow("ID 126 screen 2") << 126 << 1;
    QTest::newRow("ID 5, type 2") << 5 << 0;
}

void TestSimSerial::readShowsTheSelectedScreen()
{
    QFETCH(int, id);
    QFETCH(int, screen);
    QVERIFY(read(id, screen));
    const SimMonitor &m = sim.monitors[monitorIndex(id)];
    const ST_BasicData &want = m.screens[screen].record;
    const MachineDevice *dev = ds->curDevice;
    for (int b = 0; b < 24; ++b) {
        const bool carried = b < 8 || (b >= 10 && b < 22) || m.type == 2;
        const int expected = b == 23 ? (want.byte(b) | 0xF0) : want.byte(b); // the panel marks the text index
        if (carried)
            QCOMPARE(int(dev->basicData.byte(b)), expected);
    }
    QCOMPARE(dev->inputText[screen], QString::fromLatin1(m.screens[screen].inputText));
    QCOMPARE(dev->deviceName, QString::fromLatin1(m.name));
}

void TestSimSerial::groupChangesExactlyItsBytes_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("group");
    QTest::addColumn<QList<int>>("changed");
    QTest::addColumn<int>("umdSlot"); // slot whose text the command carries, -1: none
    QTest::newRow("picture, ID 0 screen 3") << 0 << 2 << 1 << QList<int>{0, 1, 2, 3, 4, 5, 6} << -1;
    QTest::newRow("marker, ID 0 screen 2") << 0 << 1 << 2 << QList<int>{10, 11, 12} << -1;
    QTest::newRow("function, ID 126 screen 2") << 126 << 1 << 3 << QList<int>{16, 17, 18, 19, 20} << -1;
    QTest::newRow("audio, ID 126 screen 1") << 126 << 0 << 4 << QList<int>{13, 14, 15} << -1;
    QTest::newRow("source, ID 0") << 0 << 0 << 5 << QList<int>{7} << -1;
    QTest::newRow("source, ID 5 type 2") << 5 << 0 << 5 << QList<int>{7, 8, 9} << -1;
    QTest::newRow("UMD, ID 126 screen 2") << 126 << 1 << 6 << QList<int>{21} << 0;
    QTest::newRow("UMD, ID 5 type 2, text of UMD 3") << 5 << 0 << 6 << QList<int>{21, 22, 23} << 2;
}

void TestSimSerial::groupChangesExactlyItsBytes()
{
    QFETCH(int, id);
    QFETCH(int, screen);
    QFETCH(int, group);
    QFETCH(QList<int>, changed);
    QFETCH(int, umdSlot);
    QVERIFY(read(id, screen));
    const int mi = monitorIndex(id);
    const QVector<SimMonitor> before = sim.monitors;

    // Every setting byte gets a value the monitor does not hold yet.
    ST_BasicData rec = ds->basicData;
    for (int b = 0; b < 24; ++b)
        rec.setByte(b, std::uint8_t(before[mi].screens[screen].record.byte(b) ^ (0x41 + b)));
    if (umdSlot >= 0 && before[mi].type == 2)
        rec.setByte(23, std::uint8_t((umdSlot << 4) | 0x05)); // text index names the UMD
    ds->umdText = QStringLiteral("CAM %1 G%2").arg(id).arg(group).leftJustified(16, ' ');
    ds->curDevice->setBasicData(rec);
    ds->sendGroup(group);
    QTRY_COMPARE_WITH_TIMEOUT(sim.monitors[mi].commandsApplied, before[mi].commandsApplied + 1, 3000);

    QVector<SimMonitor> expected = before;
    for (int b : changed)
        expected[mi].screens[screen].record.setByte(b, rec.byte(b));
    if (umdSlot >= 0)
        expected[mi].screens[screen].umdText[umdSlot] = ds->umdText.toLatin1();
    QCOMPARE(monitorDifferences(expected, sim.monitors), QStringList());
}

void TestSimSerial::type2BytesReachOnlyType2_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("operation");
    QTest::newRow("multiview window 3, type 2") << 5 << "mv";
    QTest::newRow("multiview window 3, type 4") << 0 << "mv";
    QTest::newRow("UMD 3 on, type 2") << 5 << "umdOn";
    QTest::newRow("UMD 3 on, type 5") << 126 << "umdOn";
    QTest::newRow("UMD 4 color, type 2") << 5 << "umdColor";
    QTest::newRow("UMD 4 color, type 4") << 0 << "umdColor";
}

void TestSimSerial::type2BytesReachOnlyType2()
{
    QFETCH(int, id);
    QFETCH(QString, operation);
    QVERIFY(read(id, 0));
    const int mi = monitorIndex(id);
    const QVector<SimMonitor> before = sim.monitors;
    ST_BasicData want = before[mi].screens[0].record;
    if (operation == "mv") {
        ds->setMvWindowSource(2, 5);
        want.setByte(9, std::uint8_t((want.byte(9) & ~0x07) | 5));
    } else if (operation == "umdOn") {
        ds->setUmdSlotOn(2, 1);
        want.setByte(22, std::uint8_t(want.byte(22) | 0x80));
        want.setByte(23, std::uint8_t(want.byte(23) | 0xF0)); // text index as a reply leaves it
    } else {
        ds->setUmdSlotColor(3, 6);
        want.setByte(23, std::uint8_t((want.byte(23) & ~0x07) | 6 | 0xF0));
    }
    QTRY_COMPARE_WITH_TIMEOUT(sim.monitors[mi].commandsApplied, before[mi].commandsApplied + 1, 3000);
    QVector<SimMonitor> expected = before;
    if (before[mi].type == 2)
        expected[mi].screens[0].record = want;
    QCOMPARE(monitorDifferences(expected, sim.monitors, false), QStringList());
}

void TestSimSerial::choppedRepliesArriveWhole_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("garbage");
    QTest::newRow("one byte at a time") << 1 << 1 << false;
    QTest::newRow("one byte at a time, garbage first") << 1 << 1 << true;
    QTest::newRow("pieces of 7 bytes, 4 ms apart, garbage first") << 7 << 4 << true;
    QTest::newRow("whole, garbage first") << 0 << 0 << true;
}

void TestSimSerial::choppedRepliesArriveWhole()
{
    QFETCH(int, chunk);
    QFETCH(int, gapMs);
    QFETCH(bool, garbage);
    // A value no earlier reply carried, so only this reply can bring it.
    static int level = 10;
    ++level;
    QVERIFY(sim.command(QStringLiteral("set 126 2 brightness %1").arg(level)));
    sim.failures.chunkBytes = chunk;
    sim.failures.chunkGapMs = gapMs;
    sim.failures.garbage = garbage;
    const qint64 written = link->bytesWritten();
    QVERIFY(read(126, 1));
    QVERIFY(link->bytesWritten() - written >= 66);
    QCOMPARE(ds->basicData.get(Field::brightness), level);
    QCOMPARE(ds->curDevice->deviceName, QString::fromLatin1(sim.monitors[2].name));
    QCOMPARE(ds->curDevice->inputText[1], QString::fromLatin1(sim.monitors[2].screens[1].inputText));
}

void TestSimSerial::changeOnTheMonitorIsReadBack()
{
    QVERIFY(sim.command("set 0 2 tally green"));
    QVERIFY(sim.command("input 0 2 HDMI 2160p25"));
    QVERIFY(read(0, 1));
    QCOMPARE(ds->basicData.get(Field::tally), 2);
    QCOMPARE(ds->curDevice->inputText[1], QStringLiteral("HDMI 2160p25      "));
}

void TestSimSerial::silentMonitorIsReportedAtTheNinthRead()
{
    QVERIFY(read(5, 0));
    QCOMPARE(ds->timeoutCount, 0);
    sim.failures.stopAfter = sim.requestCount();
    QSignalSpy timeouts(ds, &DataStream::signalDeviceTimeout);
    const int index = deviceIndex(5);
    for (int n = 1; n <= 9; ++n) {
        ds->selectDevice(index, 0);
        QTRY_COMPARE_WITH_TIMEOUT(ds->timeoutCount, n, 3000);
        QCOMPARE(timeouts.count(), n == 9 ? 1 : 0);
    }
}

QTEST_GUILESS_MAIN(TestSimSerial)
#include "tst_sim_serial.moc"
