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

#ifdef TELVANOR_BENCH_SERVICE
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWebSocket>

#include <unistd.h>

#include "api.h"
#include "config.h"
#include "networklink.h"
#include "service.h"
#endif

namespace {
QElapsedTimer sinceStart;

double monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

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
// Without a process the addresses alone are made and *monsNs names their namespace.
static QString lanOf250(NetLab &lab, QProcess *sim, int type, QString *monsNs = nullptr)
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
    if (monsNs)
        *monsNs = monNs;
    if (!sim)
        return hostNs;
    sim->start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), monNs, QStringLiteral(TELVANOR_SIM_BINARY),
                                      QStringLiteral("--quiet-reads"), QStringLiteral("--monitor"),
                                      QStringLiteral("type=%1,ip=10.77.1.1,count=250").arg(type)});
    sim->waitForStarted();
    bool ready = false;
    while (!ready && sim->waitForReadyRead(10000))
        while (sim->canReadLine())
            ready = ready || sim->readLine().startsWith("ready");
    return hostNs;
}

// The panel as an operator runs it: the window, a network search that finds 250
// monitors, a minute of once-a-second reads; then its peak memory.
int panelMemory()
{
    NetLab lab;
    QProcess sim;
    const QString panelNs = lanOf250(lab, &sim, 4);
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
    const QString fleetNs = lanOf250(lab, &sim, 1);
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

// A pseudo-terminal line whose bytes take a 38400-baud line's time both ways;
// false (and "skipped" printed) when none opens.
bool openSlowLine(SerialLink *link)
{
    QString why;
    if (!link->openPty(&why)) {
        QTextStream(stdout) << "skipped: " << why << "\n";
        return false;
    }
    link->setLineRate(38400);
    return true;
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
    if (!openSlowLine(&link))
        return 0;
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
        Fleet::parseTarget(QStringLiteral("serial:%1#%2").arg(link.path()).arg(id), &m.target, &why);
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
        Fleet::parseTarget(QStringLiteral("serial:%1#%2").arg(link.path()).arg(i), &m.target, &why);
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

#ifdef TELVANOR_BENCH_SERVICE
// ---- telvanord ----

// One API request over HTTP to the loopback address; the reply goes once finished.
static QNetworkReply *apiCall(QNetworkAccessManager &nam, quint16 port, const QByteArray &method, const QString &path,
                              const QByteArray &body = {})
{
    QNetworkRequest r(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1%2").arg(port).arg(path)));
    r.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = nam.sendCustomRequest(r, method, body);
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

static int statusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// "p50 A ms, p99 B ms, max C ms" of the sorted figures.
static QString spread(QVector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    if (ms.isEmpty())
        return QStringLiteral("none");
    return QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms")
        .arg(ms.at(ms.size() / 2), 0, 'f', 1).arg(ms.at(ms.size() * 99 / 100), 0, 'f', 1).arg(ms.last(), 0, 'f', 1);
}

static QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll().split(' ').value(0)) : QStringLiteral("?");
}

// The service on the line of lineRate(): 32 monitors on one pseudo-terminal at
// 38400 baud, every screen read each second (the shortest cadence the service
// takes), and API requests over HTTP on the loopback address, round robin (each
// monitor's previous request 4 s earlier), rounds of tally (POST .../tally) and
// brightness (PATCH) in turn: from the request leaving the client to the last
// byte of its frame at the monitor, on the line model's clock.
int serviceLineRate()
{
    constexpr int count = 32, requests = 512;
    const QString load = loadAverage();
    Simulator sim;
    sim.logReads = false;
    SerialLink link(&sim);
    QString why;
    if (!openSlowLine(&link))
        return 0;
    ServiceConfig config;
    config.readEveryMs = ServiceConfigLimits::MinReadEveryMs;
    config.port = 0;
    for (int id = 0; id < count; ++id) {
        sim.monitors << Sim::makeMonitor(1, id, {});
        config.names << QStringLiteral("cam%1").arg(id);
        Fleet::parseTarget(QStringLiteral("serial:%1#%2").arg(link.path()).arg(id), &config.monitors[config.names.last()], &why);
    }
    QVector<double> arrivedAt(count, -1);
    QObject::connect(&sim, &Simulator::logLine, [&](const QString &line) {
        const int id = line.section(QLatin1Char(' '), 1, 1).toInt();
        if (id >= 0 && id < count)
            arrivedAt[id] = link.lastByteInMs();
    });
    Service service(config);
    if (service.start(&why) != ExitOk) {
        QTextStream(stdout) << "skipped: " << why << "\n";
        return 0;
    }
    auto allRead = [&] {
        return std::all_of(sim.monitors.begin(), sim.monitors.end(), [](const Sim::SimMonitor &m) { return m.readsAnswered > 0; });
    };
    for (int waited = 0; !allRead() && waited < 30000; waited += 10)
        DataStream::waitMs(10);
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy::NoProxy);
    // A type 1 monitor takes UMD 1's label with each tally frame: every one gets a label first.
    for (const QString &name : qAsConst(config.names))
        apiCall(nam, service.port(), "POST", QStringLiteral("/monitors/%1/screens/1/umd").arg(name), R"({"text":"CAM"})");
    DataStream::waitMs(2000);
    QVector<double> ms[2], replied; // replied: request sent to the service's reply, the frame written before it
    double repliedAt = -1;
    QObject::connect(service.api(), &Api::requestDone, [&] { repliedAt = link.nowMs(); });
    int answered = 0, refused = 0;
    for (int i = 0; i < requests; ++i) {
        const int id = i % count, round = i / count;
        const bool tally = round % 2 == 0;
        const QByteArray body = tally ? QByteArray(round % 4 ? R"({"tally":"off"})" : R"({"tally":"red"})")
                                      : QByteArray(R"({"brightness":)") + QByteArray::number(20 + round % 60) + '}';
        arrivedAt[id] = repliedAt = -1;
        const double sentAt = link.nowMs();
        QNetworkReply *reply = apiCall(nam, service.port(), tally ? "POST" : "PATCH",
                                       QStringLiteral("/monitors/cam%1/screens/1%2").arg(id).arg(tally ? "/tally" : ""), body);
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] { ++(statusOf(reply) == 200 ? answered : refused); });
        DataStream::waitMs(125);
        if (arrivedAt[id] >= 0)
            ms[tally ? 0 : 1] << arrivedAt[id] - sentAt;
        if (repliedAt >= 0)
            replied << repliedAt - sentAt;
    }
    DataStream::waitMs(1000);
    QTextStream(stdout) << "| telvanord, same line (32 monitors, each read every 1 s): " << requests
                        << " API requests over HTTP round robin, half tally (POST), half brightness (PATCH); request sent to the"
                           " frame's last byte at the monitor (load average "
                        << load << ") | " << ms[0].size() + ms[1].size() << " of " << requests << " frames arrived, " << answered
                        << " answered 200, " << refused << " not; all " << spread(ms[0] + ms[1]) << "; tally " << spread(ms[0])
                        << "; brightness " << spread(ms[1]) << "; request sent to the service's reply (the frame written before it) "
                        << spread(replied) << " | p99 <= 15 ms |\n";
    return 0;
}

// The WebSocket clients of serviceLan(): prints "ready: N snapshots" once every
// client has its snapshot, then "MONITOR TIME" for each brightness change a
// client hears, TIME on the monotonic clock (ms).
int eventClients(int count)
{
    int snapshots = 0;
    QTextStream out(stdout);
    static const QRegularExpression change(QStringLiteral(R"re("field":"brightness".*"monitor":"(m\d+)")re"));
    for (int c = 0; c < count; ++c) {
        auto *ws = new QWebSocket;
        ws->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(ws, &QWebSocket::textMessageReceived, [&](const QString &text) {
            const double at = monotonicMs();
            const QRegularExpressionMatch m = change.match(text);
            if (m.hasMatch())
                out << m.captured(1) << ' ' << QString::number(at, 'f', 3) << Qt::endl;
            else if (text.contains(QLatin1String(R"("type":"snapshot")")) && ++snapshots == count)
                out << "ready: " << snapshots << " snapshots" << Qt::endl;
        });
        QObject::connect(ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), [ws] { QTextStream(stderr) << ws->errorString() << Qt::endl; });
        ws->open(QUrl(QStringLiteral("ws://127.0.0.1:8080/api/v1/events")));
    }
    return QCoreApplication::exec();
}

// CPU seconds and resident and peak memory (MB) of another process, from /proc.
struct Usage {
    double cpu = 0, rssMb = 0, peakMb = 0;
};
static Usage usageOf(qint64 pid)
{
    Usage u;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid)), status(QStringLiteral("/proc/%1/status").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' '); // from the state on
        u.cpu = (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK)); // utime, stime
    }
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:") || line.startsWith("VmHWM:"))
                (line.startsWith("VmRSS") ? u.rssMb : u.peakMb) = line.mid(6).simplified().split(' ').value(0).toDouble() / 1024;
    return u;
}

// telvanord as run: its own process in a namespace joined to 250 simulated
// monitors (lanOf250), each read every 5 s. The monitors are simulated in this
// process on a socket made in their namespace, so that when a frame arrives and
// when a reply leaves are taken on this process's clock. Measured: the service's
// CPU and memory over 30 s of reads; PATCH to the frame at the monitor; 100
// WebSocket clients each getting a change made on a monitor (from the settings
// reply that carries it leaving the monitor to the client's message); 1000 GET
// requests a second for 10 s.
int serviceLan()
{
    const QString load = loadAverage();
    NetLab lab;
    QString monsNs, why;
    const QString hostNs = lanOf250(lab, nullptr, 1, &monsNs);
    if (hostNs.isEmpty())
        return 0;
    Simulator sim;
    sim.logReads = false;
    Sim::parseMonitorDescription(QStringLiteral("type=1,ip=10.77.1.1,count=250"), &sim.monitors, &why);
    NetworkLink monitors(&sim);
    monitors.adopt(lab.udpSocketIn(monsNs, QStringLiteral("0.0.0.0"), NetworkLink::MonitorPort), &why);
    QHash<QString, double> readAt, frameAt; // by monitor address: first read, first setting frame since asked (-1: waiting)
    QObject::connect(&sim, &Simulator::logLine, [&](const QString &line) {
        QHash<QString, double> &at = line.endsWith(QLatin1String(": read")) ? readAt : frameAt;
        const QString ip = line.section(QLatin1Char(' '), 0, 0);
        if (at.value(ip) < 0 && !line.endsWith(QLatin1String("(on the monitor)")))
            at[ip] = monotonicMs();
    });

    NetLab::enter(hostNs);
    QTemporaryDir dir;
    QJsonObject names;
    for (int i = 1; i <= 250; ++i)
        names.insert(QStringLiteral("m%1").arg(i), QStringLiteral("lan:10.77.1.%1").arg(i));
    QFile file(dir.filePath(QStringLiteral("telvanord.json")));
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{{"monitors", names}, {"http", QJsonObject{{"port", 8080}, {"maxClients", 200}}}}).toJson());
    file.close();
    QProcess service;
    service.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), hostNs, QStringLiteral(TELVANORD_BINARY), file.fileName()});
    QByteArray said;
    for (int waited = 0; !said.contains("listening") && waited < 10000; waited += 10) {
        DataStream::waitMs(10);
        said += service.readAllStandardOutput();
    }
    auto readsAnswered = [&] {
        int n = 0;
        for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
            n += m.readsAnswered ? m.readsAnswered : -100000;
        return n;
    };
    for (int waited = 0; readsAnswered() < 0 && waited < 20000; waited += 10)
        DataStream::waitMs(10);
    if (!said.contains("listening") || readsAnswered() < 0) {
        QTextStream(stdout) << "skipped: the service did not start or read every monitor: " << said << service.readAllStandardError() << "\n";
        return 0;
    }
    const qint64 pid = service.processId();
    QTextStream out(stdout);
    out << "(telvanord on the LAN measured at a load average of " << load << ")\n";

    // 30 s of reads alone.
    Usage u0 = usageOf(pid);
    int reads0 = readsAnswered();
    QElapsedTimer window;
    window.start();
    DataStream::waitMs(30000);
    Usage u1 = usageOf(pid);
    out << "| telvanord on the LAN: 250 monitors, each read every 5 s (30 s) | "
        << QString::number(100 * (u1.cpu - u0.cpu) / (window.elapsed() / 1000.0), 'f', 2) << " % of one core, "
        << readsAnswered() - reads0 << " reads answered; resident memory " << QString::number(u1.rssMb, 'f', 1) << " MB (peak "
        << QString::number(u1.peakMb, 'f', 1) << " MB) | CPU <= 2 %, RSS <= 100 MB |\n";

    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy::NoProxy);
    // PATCH to the frame at the monitor: one request every 100 ms, each to a monitor of its own.
    QVector<double> ms;
    int ok = 0;
    for (int i = 1; i <= 100; ++i) {
        const QString ip = QStringLiteral("10.77.1.%1").arg(i);
        frameAt[ip] = -1;
        const double sentAt = monotonicMs();
        QNetworkReply *reply = apiCall(nam, 8080, "PATCH", QStringLiteral("/monitors/m%1/screens/1").arg(i), R"({"brightness":17})");
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] { ok += statusOf(reply) == 200; });
        DataStream::waitMs(100);
        if (frameAt.value(ip) >= 0)
            ms << frameAt.value(ip) - sentAt;
    }
    out << "| telvanord on the LAN: PATCH brightness sent to the frame at the monitor (100 requests over HTTP, one every 100 ms) | "
        << ms.size() << " frames, " << ok << " answered 200; " << spread(ms) << " | median <= 5 ms |\n";

    // 100 WebSocket clients in a process of their own (eventClients()); 20
    // monitors changed on their own panels (the simulator's set command): from
    // the read reply carrying the change leaving the monitor to each client's
    // message about it, both on the monotonic clock.
    constexpr int clients = 100, changes = 20;
    QFile peak(QStringLiteral("/proc/%1/clear_refs").arg(pid)); // its peak memory from here on
    const bool peakReset = peak.open(QIODevice::WriteOnly) && peak.write("5") == 1;
    peak.close();
    const Usage beforeClients = usageOf(pid);
    QProcess listeners;
    listeners.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), hostNs, QCoreApplication::applicationFilePath(),
                                           QStringLiteral("--events-clients"), QString::number(clients)});
    for (int waited = 0; !listeners.canReadLine() && waited < 30000; waited += 10)
        DataStream::waitMs(10);
    const QByteArray ready = listeners.canReadLine() ? listeners.readLine().trimmed() : "not ready: " + listeners.readAllStandardError().simplified();
    const Usage withClients = usageOf(pid);
    out << "| telvanord on the LAN: " << clients << " WebSocket clients connecting at once (" << ready << "), each sent the snapshot of 250 monitors | peak memory "
        << QString::number(withClients.peakMb - beforeClients.rssMb, 'f', 1) << " MB above the " << QString::number(beforeClients.rssMb, 'f', 1)
        << " MB before" << (peakReset ? "" : " (peak not reset: over the process's life)") << " | <= 10 MB |\n";
    sim.logReads = true;
    for (int i = 101; i < 101 + changes; ++i) {
        readAt[QStringLiteral("10.77.1.%1").arg(i)] = -1;
        sim.command(QStringLiteral("set 10.77.1.%1 1 brightness %2").arg(i).arg(i % 50));
    }
    ms.clear();
    for (int waited = 0; ms.size() < clients * changes && waited < 10000; waited += 10) {
        DataStream::waitMs(10);
        while (listeners.canReadLine()) { // "mN TIME": client's message about monitor N
            const QList<QByteArray> w = listeners.readLine().trimmed().split(' ');
            ms << w.value(1).toDouble() - readAt.value(QStringLiteral("10.77.1.") + QString::fromLatin1(w.value(0).mid(1)));
        }
    }
    sim.logReads = false;
    listeners.kill();
    listeners.waitForFinished(3000);
    out << "| telvanord on the LAN: " << clients << " WebSocket clients in another process (" << ready << "), " << changes
        << " changes made on monitors; the settings reply carrying one leaving the monitor to each client's message | "
        << ms.size() << " of " << clients * changes << " messages; " << spread(ms) << " | all <= 50 ms |\n";

    // 1000 GET requests a second for 10 s, over the screens of all monitors.
    constexpr int perSecond = 1000, seconds = 10;
    int sent = 0, done = 0;
    ok = 0;
    u0 = usageOf(pid);
    window.restart();
    while (done < perSecond * seconds && window.elapsed() < (seconds + 5) * 1000) {
        for (; sent < perSecond * seconds && sent < window.elapsed() * perSecond / 1000; ++sent) {
            QNetworkReply *reply = apiCall(nam, 8080, "GET", QStringLiteral("/monitors/m%1/screens/1").arg(1 + sent % 250));
            QObject::connect(reply, &QNetworkReply::finished, [&, reply] { ++done; ok += statusOf(reply) == 200; });
        }
        DataStream::waitMs(1);
    }
    const double s = window.elapsed() / 1000.0;
    u1 = usageOf(pid);
    out << "| telvanord on the LAN: " << perSecond << " GET requests a second for " << seconds << " s (screens of all 250 monitors) | "
        << ok << " of " << sent << " answered 200 in " << QString::number(s, 'f', 2) << " s; service CPU "
        << QString::number(100 * (u1.cpu - u0.cpu) / s, 'f', 1) << " % of one core; peak memory after all of the above "
        << QString::number(u1.peakMb, 'f', 1) << " MB | CPU <= 50 % |\n";
    service.terminate();
    service.waitForFinished(3000);
    return 0;
}
#endif

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
#ifdef TELVANOR_BENCH_SERVICE
    if (app.arguments().contains(QStringLiteral("--service-line-rate")))
        return serviceLineRate();
    if (app.arguments().contains(QStringLiteral("--service-lan")))
        return serviceLan();
    if (app.arguments().contains(QStringLiteral("--events-clients")))
        return eventClients(app.arguments().last().toInt());
#else
    if (!app.arguments().filter(QStringLiteral("--service-")).isEmpty()) {
        QTextStream(stdout) << "skipped: built without the service (Qt 5)\n";
        return 0;
    }
#endif
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
