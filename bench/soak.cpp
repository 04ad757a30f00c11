// Fault soak: the protocol layer against simulated monitors on a pseudo-terminal
// for thousands of read/reply cycles, with the simulator's failure modes
// switched on and off at random (late, dropped, chopped and garbled replies,
// duplicate and malformed search replies, silence). No crash, no hang, memory
// flat, and every reply that was sent is applied with the monitor's record.
// TELVANOR_SOAK_CYCLES sets the number of cycles (default 3000).
#include <QtTest>

#include <QFile>
#include <QRandomGenerator>

#include "datastream.h"
#include "seriallink.h"
#include "simulator.h"

using namespace Sim;

namespace {
double rssMb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// Waits in a real event loop (QTest::qWaitFor naps 10 ms between rounds, which
// would stretch every piece of a chopped reply).
template <class Condition>
bool waitUntil(Condition done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

bool sameShownBytes(const ST_BasicData &a, const ST_BasicData &b)
{
    for (int i = 0; i < 22; ++i)
        if (i != 8 && i != 9 && a.byte(i) != b.byte(i))
            return false;
    return true;
}
} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
private slots:
    void readReplyCyclesUnderEveryFailureMode();
};

void TestSoak::readReplyCyclesUnderEveryFailureMode()
{
    const int cycles = qEnvironmentVariableIntValue("TELVANOR_SOAK_CYCLES") > 0
        ? qEnvironmentVariableIntValue("TELVANOR_SOAK_CYCLES") : 3000;
    Simulator sim;
    sim.logReads = qEnvironmentVariableIsSet("TELVANOR_SIM_SHOW_LOG");
    sim.monitors = {makeMonitor(4, 7, {}, QStringLiteral("SOAK"))};
    int dropped = 0, silentNotes = 0;
    connect(&sim, &Simulator::logLine, this, [&](const QString &line) {
        if (qEnvironmentVariableIsSet("TELVANOR_SIM_SHOW_LOG"))
            qInfo().noquote() << "sim:" << line;
        dropped += line.contains(QLatin1String("reply dropped"));
        silentNotes += line.startsWith(QLatin1String("silent"));
    });
    SerialLink link(&sim);
    QString why;
    QVERIFY2(link.openPty(&why), qPrintable(why));

    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(link.path(), 38400);
    QSignalSpy found(&ds, &DataStream::signalFoundDevice);
    int applied = 0, wrong = 0, expected = 0, timeouts = 0;
    int currentScreen = 0;
    connect(&ds, &DataStream::signalRecvBasicData, this, [&](ST_BasicData r) {
        ++applied;
        if (!sameShownBytes(r, sim.monitors[0].screens[currentScreen].record))
            ++wrong;
    });
    connect(&ds, &DataStream::signalDeviceTimeout, this, [&] { ++timeouts; });

    QRandomGenerator rng(0x50a4);
    double rssAfterWarmUp = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        FailureModes &f = sim.failures;
        f = FailureModes();
        f.delayMs = rng.bounded(4) == 0 ? int(rng.bounded(40u)) : 0;
        f.dropPercent = rng.bounded(4) == 0 ? 30 : 0;
        f.chunkBytes = rng.bounded(3) == 0 ? 1 + int(rng.bounded(9u)) : 0;
        f.chunkGapMs = int(rng.bounded(4u));
        f.garbage = rng.bounded(3) == 0;
        f.duplicateSearchReply = rng.bounded(2) == 0;
        f.badSearchLength = rng.bounded(6) == 0;
        const bool silent = rng.bounded(50) == 0;
        if (silent)
            f.stopAfter = sim.requestCount();

        if (ds.deviceList.isEmpty() || rng.bounded(200) == 0) {
            // A found device is needed to read; search for ID 7 alone, as a probe would.
            ds.clearDeviceList();
            ds.searching = true;
            const QByteArray probe = Frame::searchRequest(Frame::LinkSerial, 7);
            ds.transmit(probe.constData(), probe.size());
            waitUntil([&] { return !ds.deviceList.isEmpty(); }, 300);
            ds.searching = false;
            continue;
        }
        if (rng.bounded(10) == 0) {
            // A change from the panel: the monitor's record moves, reads must follow.
            ds.basicData.set(Field::brightness, int(rng.bounded(101u)));
            ds.curDevice->setBasicData(ds.basicData);
            ds.sendGroup(1);
        }
        currentScreen = int(rng.bounded(3u));
        const int before = applied, droppedBefore = dropped;
        ds.selectDevice(0, currentScreen);
        const bool answered = waitUntil([&] { return applied > before || dropped > droppedBefore; }, 400);
        if (!silent && dropped == droppedBefore) {
            ++expected;
            QVERIFY2(answered, qPrintable(QStringLiteral("cycle %1: a reply that was sent never arrived (delay %2, chunk %3/%4 ms, garbage %5)")
                                              .arg(cycle).arg(f.delayMs).arg(f.chunkBytes).arg(f.chunkGapMs).arg(f.garbage)));
        }
        if (cycle == 300)
            rssAfterWarmUp = rssMb();
    }
    const double rssEnd = rssMb();
    qInfo("%d cycles: %d replies expected, %d applied, %d dropped on purpose, %d wrong, %d time-outs; RSS %.1f -> %.1f MB",
          cycles, expected, applied, dropped, wrong, timeouts, rssAfterWarmUp, rssEnd);
    QCOMPARE(wrong, 0);
    QVERIFY(applied >= expected);
    if (cycles > 300)
        QVERIFY2(rssEnd - rssAfterWarmUp < 8.0, "memory grows");
}

QTEST_GUILESS_MAIN(TestSoak)
#include "soak.moc"
