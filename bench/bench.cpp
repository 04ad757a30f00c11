// Measures what an operator feels: the CPU a paced full send and the idle panel
// consume, how fast the window first paints and a settings reply is shown, how
// long searches take on both links, and the peak memory. Prints a Markdown table.
//
// The network searches run inside network namespaces this program makes (root);
// nothing leaves the machine.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <sys/resource.h>

#include "datastream.h"
#include "fleet.h"
#include "mainwindow.h"
#include "netlab.h"
#include "seriallink.h"
#include "simulator.h"
#include "tallybridge.h"
#include "ui_mainwindow.h"

#include <QUdpSocket>

namespace {
QElapsedTimer sinceStart;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Row {
    QString what, result, target;
};
QList<Row> rows;
void add(const QString &what, const QString &result, const QString &target)
{
    rows << Row{what, result, target};
    QTextStream(stderr) << what << ": " << result << "\n";
}

// A simulated monitor on a pseudo-terminal, run as its own process so that its
// CPU is not the panel's.
struct SerialSim {
    QProcess proc;
    QString path;
    explicit SerialSim(const QStringList &monitors)
    {
        QStringList args{QStringLiteral("--quiet-reads")};
        for (const QString &m : monitors)
            args << QStringLiteral("--monitor") << m;
        proc.start(QStringLiteral(TELVANOR_SIM_BINARY), args);
        proc.waitForStarted();
        while (path.isEmpty() && proc.waitForReadyRead(5000)) {
            while (proc.canReadLine()) {
                const QString line = QString::fromLocal8Bit(proc.readLine()).trimmed();
                if (line.startsWith(QLatin1String("ready serial=")))
                    path = line.mid(13);
            }
        }
    }
    ~SerialSim()
    {
        proc.terminate();
        proc.waitForFinished(3000);
    }
};

void fullSendCpu()
{
    SerialSim sim({QStringLiteral("type=2,id=1")});
    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(sim.path, 38400);
    ds.slotUartRecvFrame(Frame::build({0, 0, 2, 1}, Frame::CmdSearch, {}));
    ds.selectDevice(0, 0);
    QTest::qWait(200);
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    ds.sendGroup(0);
    const double cpu = cpuSeconds() - cpu0;
    const double pct = 100.0 * cpu / (wall.elapsed() / 1000.0);
    add(QStringLiteral("CPU during one full-record send (%1 ms of pauses)").arg(wall.elapsed()),
        QStringLiteral("%1 s CPU = %2 % of one core").arg(cpu, 0, 'f', 4).arg(pct, 0, 'f', 2), QStringLiteral("< 2 %"));
}

void idleCpuAndRefresh()
{
    SerialSim sim({QStringLiteral("type=4,id=3")});
    MainWindow w;
    w.show();
    (void)QTest::qWaitForWindowExposed(&w);
    QMetaObject::invokeMethod(&w, "on_radioButton_2_pressed");
    w.ui->comboBox->addItem(sim.path);
    w.ui->comboBox->setCurrentText(sim.path);
    dataStream->port->setSerialPort(sim.path, 38400);
    dataStream->slotUartRecvFrame(Frame::build({0, 0, 4, 3}, Frame::CmdSearch, {}));
    w.slotFoundDevice(QStringLiteral("RS ID : 3"));
    w.on_listWidget_clicked(0);
    w.readTimer->start(MainWindow::ReadIntervalMs);
    QTest::qWait(1500);

    const int seconds = 10;
    const double cpu0 = cpuSeconds();
    QSignalSpy replies(dataStream, &DataStream::signalRecvBasicData);
    DataStream::waitMs(seconds * 1000); // sleeps in the event loop, unlike QTest::qWait
    const double cpu = cpuSeconds() - cpu0;
    add(QStringLiteral("CPU while idle, periodic read on (%1 s, %2 replies)").arg(seconds).arg(replies.count()),
        QStringLiteral("%1 % of one core").arg(100.0 * cpu / seconds, 0, 'f', 3), QStringLiteral("< 0.5 %"));

    // One settings reply through the parser and the whole refresh, values
    // alternating so that every slider and group really moves.
    w.readTimer->stop();
    QTest::qWait(1200);
    const int n = 2000;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        QByteArray payload(54, '\0');
        for (int k = 0; k < 20; ++k)
            payload[k] = static_cast<char>((i % 2) ? 0x11 * (k % 3) : 60 + k);
        dataStream->slotUartRecvFrame(Frame::build({0, 0x01, 4, 3}, Frame::CmdRead, QByteArray(1, '\0') + payload));
    }
    const double us = t.nsecsElapsed() / 1000.0 / n;
    add(QStringLiteral("Apply one settings reply and refresh every control (mean of %1)").arg(n),
        QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'f', 3), QStringLiteral("< 1 ms"));
}

void serialSearch()
{
    SerialSim sim({QStringLiteral("type=4,id=0"), QStringLiteral("type=1,id=64"), QStringLiteral("type=2,id=126")});
    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(sim.path, 38400);
    QSignalSpy done(&ds, &DataStream::signalSearchCompleted);
    QElapsedTimer t;
    t.start();
    ds.startSearch();
    done.wait(20000);
    const double bound = 127 * 0.050 + 1.0;
    const double s = t.elapsed() / 1000.0;
    add(QStringLiteral("Serial search, 127 IDs (%1 of 3 found)").arg(ds.deviceList.size()),
        QStringLiteral("%1 s, %2 % over the bound of %3 s").arg(s, 0, 'f', 3).arg(100.0 * (s - bound) / bound, 0, 'f', 2).arg(bound),
        QStringLiteral("within 2 %"));
}

void networkSearch(int count)
{
    QString why;
    if (!NetLab::available(&why)) {
        add(QStringLiteral("Network search, %1 monitors").arg(count), QStringLiteral("skipped: ") + why, QString());
        return;
    }
    NetLab lab;
    const QString panelNs = lab.addNamespace(QStringLiteral("panel"));
    const QString monNs = lab.addNamespace(QStringLiteral("mons"));
    QStringList cidrs;
    for (int i = 0; i < count; ++i)
        cidrs << QStringLiteral("10.77.%1.%2/16").arg(1 + i / 250).arg(1 + i % 250);
    lab.link(panelNs, {QStringLiteral("10.77.0.1/16")}, monNs, cidrs);
    QProcess sim;
    sim.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), monNs, QStringLiteral(TELVANOR_SIM_BINARY),
                                      QStringLiteral("--quiet-reads"), QStringLiteral("--monitor"),
                                      QStringLiteral("type=1,ip=10.77.1.1,count=%1").arg(count)});
    sim.waitForStarted();
    bool ready = false;
    while (!ready && sim.waitForReadyRead(10000))
        while (sim.canReadLine())
            ready = ready || sim.readLine().startsWith("ready");
    // The panel's sockets are made in its namespace from a thread of their own.
    int found = -1;
    qint64 ms = -1;
    QThread *worker = QThread::create([&] {
        NetLab::enter(panelNs);
        QEventLoop loop;
        DataStream ds;
        QSignalSpy done(&ds, &DataStream::signalSearchCompleted);
        QElapsedTimer t;
        t.start();
        ds.startSearch();
        done.wait(20000);
        ms = t.elapsed();
        found = ds.deviceList.size();
    });
    worker->start();
    while (!worker->isFinished())
        QTest::qWait(50);
    delete worker;
    sim.terminate();
    sim.waitForFinished(3000);
    add(QStringLiteral("Network search, %1 monitors").arg(count),
        QStringLiteral("%1 of %2 found in %3 s").arg(found).arg(count).arg(ms / 1000.0, 0, 'f', 2),
        count == 250 ? QStringLiteral("250 of 250") : QString());
}
} // namespace

// 250 simulated monitors (of the given type) at 10.77.1.1-250 in a namespace of
// their own; returns the namespace joined to theirs at 10.77.0.1, for the side
// under test, or an empty string (why written out) when namespaces cannot be made.
static QString lanOf250(NetLab &lab, QProcess &sim, int type)
{
    QString why;
    if (!NetLab::available(&why)) {
        QTextStream(stdout) << "skipped: " << why << "\n";
        return {};
    }
    const QString hostNs = lab.addNamespace(QStringLiteral("host"));
    const QString monNs = lab.addNamespace(QStringLiteral("mons"));
    QStringList cidrs;
    for (int i = 0; i < 250; ++i)
        cidrs << QStringLiteral("10.77.1.%1/16").arg(1 + i);
    lab.link(hostNs, {QStringLiteral("10.77.0.1/16")}, monNs, cidrs);
    sim.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), monNs, QStringLiteral(TELVANOR_SIM_BINARY),
                                      QStringLiteral("--quiet-reads"), QStringLiteral("--monitor"),
                                      QStringLiteral("type=%1,ip=10.77.1.1,count=250").arg(type)});
    sim.waitForStarted();
    bool ready = false;
    while (!ready && sim.waitForReadyRead(10000))
        while (sim.canReadLine())
            ready = ready || sim.readLine().startsWith("ready");
    return hostNs;
}

// The panel as an operator runs it: the window, a network search that finds 250
// monitors, a minute of once-a-second reads; then its peak memory.
int panelMemory()
{
    NetLab lab;
    QProcess sim;
    const QString panelNs = lanOf250(lab, sim, 4);
    if (panelNs.isEmpty())
        return 0;
    NetLab::enter(panelNs);
    int found = 0;
    {
        MainWindow w;
        w.show();
        QSignalSpy done(dataStream, &DataStream::signalSearchCompleted);
        QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
        done.wait(20000);
        found = w.ui->listWidget->count();
        DataStream::waitMs(60000);
    }
    sim.terminate();
    sim.waitForFinished(3000);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    QTextStream(stdout) << "| Peak memory of the panel (250 monitors listed, one minute of reads; "
                        << QGuiApplication::platformName() << ") | " << QString::number(ru.ru_maxrss / 1024.0, 'f', 1)
                        << " MB (" << found << " rows) | < 80 MB |\n";
    return 0;
}

// The fleet on the LAN as a service runs it: 250 monitors found by a search,
// each read every 5 s; its CPU over 30 s of that, and the peak memory of a
// process that runs nothing else.
int fleetLan()
{
    NetLab lab;
    QProcess sim;
    const QString fleetNs = lanOf250(lab, sim, 1);
    if (fleetNs.isEmpty())
        return 0;
    NetLab::enter(fleetNs);
    Fleet::Fleet fleet;
    QStringList found;
    bool searched = false;
    fleet.discoverLan([&](const QStringList &keys) { found = keys; searched = true; });
    (void)QTest::qWaitFor([&] { return searched; }, 20000);
    int reads = 0, offline = 0;
    QObject::connect(&fleet, &Fleet::Fleet::recordRead, [&] { ++reads; });
    QObject::connect(&fleet, &Fleet::Fleet::onlineChanged, [&](const QString &, bool on) { offline += on ? 0 : 1; });
    for (const QString &key : qAsConst(found))
        fleet.watch(key, 0, 5000);
    (void)QTest::qWaitFor([&] { return reads >= found.size(); }, 20000);
    const int readsBefore = reads;
    const double cpu0 = cpuSeconds();
    QElapsedTimer window;
    window.start();
    QTest::qWait(30000);
    const double cpu = (cpuSeconds() - cpu0) / (window.elapsed() / 1000.0) * 100;
    sim.terminate();
    sim.waitForFinished(3000);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    QTextStream(stdout) << "| Fleet on the LAN: " << found.size() << " monitors found and each read every 5 s (30 s) | "
                        << QString::number(cpu, 'f', 2) << " % of one core, " << reads - readsBefore << " reads answered, " << offline
                        << " monitors offline, peak memory " << QString::number(ru.ru_maxrss / 1024.0, 'f', 1)
                        << " MB | CPU <= 2 %, <= 100 MB |\n";
    return 0;
}

// One RS-422 line at 38400 baud (the simulator's line-rate mode: every byte
// takes its time both ways): 32 monitors and a silent one. First the bridge with
// all of them mapped and read, 500 tally changes round robin (each monitor's
// previous change 4 s earlier or more): from the TSL datagram to the frame's last
// byte at the monitor, and every settings reply counted. Then the fleet reading
// every screen as fast as the line allows, against the line's capacity. Waits
// run a real event loop (QTest::qWait sleeps 10 ms between its rounds).
int lineRate()
{
    constexpr int answering = 32, silentId = 40, changes = 500;
    constexpr double byteMs = 11000.0 / 38400; // start, 8 data bits, stop and the gap between bytes
    Simulator sim;
    sim.logReads = false;
    SerialLink link(&sim);
    QString why;
    if (!link.openPty(&why)) {
        QTextStream(stdout) << "skipped: " << why << "\n";
        return 0;
    }
    link.setLineRate(38400);
    BridgeMap map;
    map.udp31 = 40131;
    for (int i = 0; i <= answering; ++i) {
        const int id = i < answering ? i : silentId;
        if (i < answering)
            sim.monitors << Sim::makeMonitor(1, id, {});
        BridgeMapping m;
        m.address = i;
        m.name = QStringLiteral("CAM %1").arg(i);
        m.text = m.name;
        m.label = false;
        parseCtlTarget(QStringLiteral("serial:%1#%2").arg(link.path()).arg(id), &m.target, &why);
        map.displays << m;
    }
    // When a tally frame's last byte was through, on the line's own clock.
    QVector<double> appliedAt(answering, -1);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&sim, &Simulator::logLine, [&](const QString &line) {
        const int id = line.section(QLatin1Char(' '), 1, 1).toInt();
        if (line.contains(QLatin1String("Tally")) && id >= 0 && id < answering)
            appliedAt[id] = link.lastByteInMs();
    });
    Fleet::Fleet fleet;
    int applied = 0;
    QObject::connect(&fleet, &Fleet::Fleet::recordRead, [&] { ++applied; });
    QVector<double> ms;
    {
        TallyBridge bridge(map, false, 38400, nullptr, &fleet);
        if (bridge.start(&why) != ExitOk) {
            QTextStream(stdout) << "skipped: " << why << "\n";
            return 0;
        }
        for (int waited = 0; applied < answering && waited < 30000; waited += 10)
            DataStream::waitMs(10);
        DataStream::waitMs(1000); // the labels the map keeps have gone out
        QUdpSocket tsl;
        for (int i = 0; i < changes; ++i) {
            const int display = i % (answering + 1);
            const QByteArray message = QByteArray(1, char(0x80 + display)) + char(1 + (i / (answering + 1)) % 2)
                + QByteArray("CAM").leftJustified(16, ' ');
            const double sentAt = link.nowMs();
            if (display < answering)
                appliedAt[display] = -1;
            tsl.writeDatagram(message, QHostAddress::LocalHost, map.udp31);
            DataStream::waitMs(125); // 33 monitors: each one's previous change about 4.1 s earlier
            if (display < answering && appliedAt[display] >= 0)
                ms << appliedAt[display] - sentAt;
        }
        DataStream::waitMs(1500);
    }
    int answered = 0;
    for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
        answered += m.readsAnswered;
    std::sort(ms.begin(), ms.end());
    QTextStream out(stdout);
    const int expected = changes - changes / (answering + 1);
    out << "| Line at 38400 baud, 32 monitors and a silent one in a bridge: " << changes
        << " tally changes round robin, TSL datagram to the frame's last byte at the monitor | ";
    if (ms.isEmpty())
        out << "no frame";
    else
        out << ms.size() << " of " << expected << " arrived; p50 " << QString::number(ms.at(ms.size() / 2), 'f', 1) << " ms, p99 "
            << QString::number(ms.at(ms.size() * 99 / 100), 'f', 1) << " ms, max " << QString::number(ms.last(), 'f', 1)
            << " ms; settings replies sent " << answered << ", taken " << applied;
    out << " | p99 <= 12 ms, max <= 50 ms, none lost |\n";

    // Reading as fast as the line allows.
    const int requestBytes = 11, replyBytes = 66; // a read request; a settings reply of a type-1 monitor
    const double capacityMs = answering * (requestBytes + replyBytes) * byteMs;
    QHash<QString, QVector<qint64>> readAt;
    QObject::connect(&fleet, &Fleet::Fleet::recordRead, [&](const QString &key) { readAt[key] << clock.elapsed(); });
    const int before = applied;
    for (const QString &key : fleet.keys())
        fleet.watch(key, 0, 0);
    DataStream::waitMs(20000);
    QVector<qint64> gaps;
    for (const QVector<qint64> &times : qAsConst(readAt))
        for (int i = 1; i < times.size(); ++i)
            gaps << times[i] - times[i - 1];
    std::sort(gaps.begin(), gaps.end());
    const double cycle = gaps.isEmpty() ? 0 : gaps.at(gaps.size() / 2);
    out << "| Same line, the fleet reading every monitor as fast as it can for 20 s (the silent one every 5 s) | "
        << applied - before << " replies; read cycle " << QString::number(cycle, 'f', 0) << " ms (median), the line's capacity "
        << QString::number(capacityMs, 'f', 0) << " ms: " << QString::number((cycle / capacityMs - 1) * 100, 'f', 1)
        << " % over | within 20 % |\n";
    return 0;
}

// The tally bridge: from a TSL datagram's arrival to the monitor's frame, for a
// single change on an idle bridge; then 100 displays changing in one datagram.
// The monitors are on a pseudo-terminal; TSL arrives on the loopback address.
void tallyBridge()
{
    constexpr int displays = 100;
    Simulator sim;
    BridgeMap map;
    map.udp31 = 40131;
    SerialLink link(&sim);
    QString why;
    if (!link.openPty(&why))
        return add(QStringLiteral("Tally bridge"), why, QString());
    for (int i = 0; i < displays; ++i) {
        sim.monitors << Sim::makeMonitor(1, i, {});
        BridgeMapping m;
        m.address = i;
        m.name = QStringLiteral("CAM %1").arg(i);
        parseCtlTarget(QStringLiteral("serial:%1#%2").arg(link.path()).arg(i), &m.target, &why);
        map.displays << m;
    }
    sim.logReads = false;
    TallyBridge bridge(map, false, 38400);
    if (bridge.start(&why) != ExitOk)
        return add(QStringLiteral("Tally bridge"), why, QString());
    auto allRead = [&] {
        for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
            if (m.readsAnswered == 0)
                return false;
        return true;
    };
    QElapsedTimer clock;
    clock.start();
    while (!allRead() && clock.elapsed() < 60000)
        QTest::qWait(10);
    QUdpSocket tsl;
    auto message = [](int address, int control) {
        return QByteArray(1, char(0x80 + address)) + char(control) + QByteArray("CAM").leftJustified(16, ' ');
    };
    qint64 sentAt = 0, arrivedAt = -1;
    QObject::connect(&sim, &Simulator::logLine, [&](const QString &line) {
        if (line.contains(QLatin1String("Tally")) && arrivedAt < 0)
            arrivedAt = clock.nsecsElapsed();
    });
    QVector<double> ms;
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(600); // idle: the monitor's last frame is more than 500 ms old
        arrivedAt = -1;
        sentAt = clock.nsecsElapsed();
        tsl.writeDatagram(message(0, i % 2 ? 1 : 2), QHostAddress::LocalHost, map.udp31);
        while (arrivedAt < 0 && clock.nsecsElapsed() - sentAt < 2000000000LL)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (arrivedAt >= 0)
            ms << (arrivedAt - sentAt) / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    add(QStringLiteral("Tally bridge: TSL datagram sent to frame applied by the monitor (serial, 20 single changes)"),
        ms.isEmpty() ? QStringLiteral("no frame") : QStringLiteral("median %1 ms, max %2 ms").arg(ms.at(ms.size() / 2), 0, 'f', 2).arg(ms.last(), 0, 'f', 2),
        QStringLiteral("< 20 ms"));

    QTest::qWait(600);
    QByteArray burst;
    for (int i = 0; i < displays; ++i)
        burst += message(i, 1);
    const qint64 start = clock.elapsed();
    tsl.writeDatagram(burst, QHostAddress::LocalHost, map.udp31);
    auto allRed = [&] {
        for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
            if (m.screens[0].record.get(Field::tally) != 1)
                return false;
        return true;
    };
    while (!allRed() && clock.elapsed() - start < 20000)
        QTest::qWait(5);
    int red = 0;
    for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
        red += m.screens[0].record.get(Field::tally) == 1;
    add(QStringLiteral("Tally bridge: %1 displays change in one datagram (one pseudo-terminal line, no line rate)").arg(displays),
        QStringLiteral("%1 of %2 monitors red after %3 ms").arg(red).arg(displays).arg(clock.elapsed() - start),
        QStringLiteral("all"));
}

int main(int argc, char **argv)
{
    sinceStart.start();
    preparePanelPlatform();
    QApplication app(argc, argv);
    usePanelStyle();
    if (app.arguments().contains(QStringLiteral("--panel-memory")))
        return panelMemory();
    if (app.arguments().contains(QStringLiteral("--fleet-lan")))
        return fleetLan();
    if (app.arguments().contains(QStringLiteral("--line-rate")))
        return lineRate();
    const bool tallyOnly = app.arguments().contains(QStringLiteral("--tally-bridge"));
    if (!tallyOnly) {
        // Start to first paint of the window.
        MainWindow w;
        struct PaintSpy : QObject {
            qint64 at = -1;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint && at < 0)
                    at = sinceStart.elapsed();
                return false;
            }
        } spy;
        w.installEventFilter(&spy);
        w.show();
        while (spy.at < 0 && sinceStart.elapsed() < 10000)
            QTest::qWait(1);
        add(QStringLiteral("Start to first painted window (%1 platform)").arg(QGuiApplication::platformName()),
            QStringLiteral("%1 ms").arg(spy.at), QString());
    }
    if (!tallyOnly) {
        fullSendCpu();
        idleCpuAndRefresh();
        serialSearch();
        for (int n : {1, 50, 250})
            networkSearch(n);
    }
    tallyBridge();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    add(QStringLiteral("Peak memory of this benchmark process (all of the above)"),
        QStringLiteral("%1 MB").arg(ru.ru_maxrss / 1024.0, 0, 'f', 1), QString());

    QTextStream out(stdout);
    out << "| Measurement | Result | Target |\n|---|---|---|\n";
    for (const Row &r : rows)
        out << "| " << r.what << " | " << r.result << " | " << r.target << " |\n";
    return 0;
}
