// The simulator's own logic where the end-to-end tests do not reach: frames it
// must refuse, addressing corner cases, failure modes, the change log, operator
// commands and monitor descriptions.
#include <QtTest>

#include "frames.h"
#include "monitorside.h"
#include "simulator.h"

using namespace Sim;

namespace {
QByteArray frame(std::uint8_t link, std::uint8_t mask, std::uint8_t id, std::uint8_t cmd, const QByteArray &data = {})
{
    // Built by hand, not with the project's builder, so a fault there shows here.
    QByteArray f;
    f.append(char(0x5A)).append(char(11 + data.size())).append(char(0)).append(char(link)).append(char(mask));
    f.append(char(0xFF)).append(char(0)).append(char(id)).append(char(cmd)).append(data);
    unsigned sum = 0;
    for (char c : qAsConst(f))
        sum += static_cast<unsigned char>(c);
    f.append(char(sum & 0xFF)).append(char(0xDD));
    return f;
}

QByteArray serial(std::uint8_t mask, std::uint8_t id, std::uint8_t cmd, const QByteArray &data = {})
{
    return frame(0x00, mask, id, cmd, data);
}

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(static_cast<char>(v));
    return b;
}

// Two serial monitors (ID 3 type 1, ID 4 type 4) and two on the network.
QVector<SimMonitor> bank()
{
    return {makeMonitor(1, 3, {}), makeMonitor(4, 4, {}), makeMonitor(2, 0, QStringLiteral("10.77.0.7")),
            makeMonitor(4, 0, QStringLiteral("10.77.0.12"))};
}

bool sameState(const QVector<SimMonitor> &a, const QVector<SimMonitor> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].screens.size() != b[i].screens.size())
            return false;
        for (int s = 0; s < a[i].screens.size(); ++s)
            if (a[i].screens[s].record != b[i].screens[s].record || a[i].screens[s].umdText != b[i].screens[s].umdText)
                return false;
    }
    return true;
}

bool wellFormed(const QByteArray &f)
{
    if (f.size() < 11 || std::uint8_t(f.at(0)) != 0x5A || std::uint8_t(f.at(f.size() - 1)) != 0xDD)
        return false;
    if ((std::uint8_t(f.at(1)) | (std::uint8_t(f.at(2)) << 8)) != f.size())
        return false;
    unsigned sum = 0;
    for (int i = 0; i < f.size() - 2; ++i)
        sum += std::uint8_t(f.at(i));
    return std::uint8_t(f.at(f.size() - 2)) == (sum & 0xFF);
}
} // namespace

class TestSimCore : public QObject
{
    Q_OBJECT
private slots:
    void repliesAreWellFormed_data();
    void repliesAreWellFormed();
    void refusedFramesChangeNothing_data();
    void refusedFramesChangeNothing();
    void addressing_data();
    void addressing();
    void failureModes_data();
    void failureModes();
    void changeLog_data();
    void changeLog();
    void operatorCommands_data();
    void operatorCommands();
    void monitorSpecs_data();
    void monitorSpecs();
    void mangledFramesAreSafe();
    void helpExplainsEveryOption();
};

void TestSimCore::repliesAreWellFormed_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("network");
    QTest::addColumn<bool>("search");
    QTest::addColumn<int>("length");
    QTest::newRow("search, type 1, serial") << 1 << false << true << 11;
    QTest::newRow("search, type 129, network") << 129 << true << true << 11;
    QTest::newRow("read, type 4, serial") << 4 << false << false << 66;
    QTest::newRow("read, type 2, serial") << 2 << false << false << 70;
    QTest::newRow("read, type 2, network") << 2 << true << false << 70;
}

void TestSimCore::repliesAreWellFormed()
{
    QFETCH(int, type);
    QFETCH(bool, network);
    QFETCH(bool, search);
    QFETCH(int, length);
    const std::uint8_t link = network ? 0x20 : 0x00;
    QVector<SimMonitor> ms{makeMonitor(type, 9, network ? QStringLiteral("10.77.0.9") : QString())};
    const int lastScreen = ms[0].screenCount() - 1;
    const QByteArray req = frame(link, std::uint8_t(1u << lastScreen), 9, search ? 0xFF : 0xFE);
    const Answer a = answer(ms, req, network ? Link::Network : Link::Serial, network ? "255.255.255.255" : QString());
    QCOMPARE(a.replies.size(), 1);
    const QByteArray r = a.replies[0].bytes;
    QVERIFY2(wellFormed(r), r.toHex(' ').constData());
    QCOMPARE(r.size(), length);
    QCOMPARE(int(std::uint8_t(r.at(3))), int(link));
    QCOMPARE(int(std::uint8_t(r.at(5))), type);
    QCOMPARE(int(std::uint8_t(r.at(7))), 9);
    QCOMPARE(int(std::uint8_t(r.at(8))), search ? 0xFF : 0xFE);
    if (!search) {
        QCOMPARE(int(std::uint8_t(r.at(4))), 1 << lastScreen);
        QCOMPARE(r.mid(30, 18), ms[0].screens[lastScreen].inputText);
        QCOMPARE(r.mid(48, 16), ms[0].name);
    }
}

void TestSimCore::refusedFramesChangeNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = serial(1, 3, 0x01, bytes({9, 9, 9, 9, 9, 9, 1}));
    QByteArray badSum = good;
    badSum[good.size() - 2] = char(badSum.at(good.size() - 2) + 1);
    QByteArray badEnd = good;
    badEnd[good.size() - 1] = char(0xDC);
    QByteArray longField = good;
    longField[1] = char(good.size() + 1);
    QTest::newRow("checksum off by one") << badSum;
    QTest::newRow("no end byte") << badEnd;
    QTest::newRow("length field too large") << longField;
    QTest::newRow("cut short") << good.left(good.size() - 3);
    QTest::newRow("setting command with 3 of 7 bytes") << serial(1, 3, 0x01, bytes({9, 9, 9}));
    QTest::newRow("UMD command without its text") << serial(1, 3, 0x05, bytes({0x18, 'A', 'B'}));
    QTest::newRow("unknown command") << serial(1, 3, 0x33, bytes({1, 2, 3}));
    QTest::newRow("five bytes") << good.left(5);
    QTest::newRow("empty") << QByteArray();
}

void TestSimCore::refusedFramesChangeNothing()
{
    QFETCH(QByteArray, bytes);
    QVector<SimMonitor> ms = bank();
    const QVector<SimMonitor> before = ms;
    const Answer a = answer(ms, bytes, Link::Serial);
    QVERIFY(a.replies.isEmpty());
    QVERIFY(sameState(ms, before));
    QVERIFY(!a.log.isEmpty()); // the operator sees why
}

void TestSimCore::addressing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("network");
    QTest::addColumn<QString>("toIp");
    QTest::addColumn<QString>("replyFrom");   // labels of the monitors that answer, in order
    QTest::addColumn<QString>("changed");     // "label:screen" of every changed screen

    const QByteArray brightness = bytes({99, 50, 50, 50, 50, 50, 2});
    QTest::newRow("serial setting to every ID") << serial(1, 0xFF, 0x01, brightness) << false << QString()
                                                << QString() << "ID 3:0 ID 4:0";
    QTest::newRow("serial setting to ID 4, screens 2 and 3") << serial(0x06, 4, 0x01, brightness) << false
                                                             << QString() << QString() << "ID 4:1 ID 4:2";
    QTest::newRow("serial setting for screen 8 only") << serial(0x80, 4, 0x01, brightness) << false << QString()
                                                      << QString() << QString();
    QTest::newRow("serial read to every ID") << serial(1, 0xFF, 0xFE) << false << QString() << QString() << QString();
    QTest::newRow("serial read for a missing screen") << serial(0x02, 3, 0xFE) << false << QString() << QString()
                                                      << QString();
    QTest::newRow("serial search for an empty ID") << serial(0, 7, 0xFF) << false << QString() << QString() << QString();
    QTest::newRow("network search broadcast") << frame(0x20, 0, 0xFF, 0xFF) << true << "255.255.255.255"
                                              << "10.77.0.7 10.77.0.12" << QString();
    QTest::newRow("network read sent to .12") << frame(0x20, 0x01, 0, 0xFE) << true << "10.77.0.12" << "10.77.0.12"
                                              << QString();
    QTest::newRow("network setting sent to .7 with another ID") << frame(0x20, 1, 42, 0x01, brightness) << true
                                                                << "10.77.0.7" << QString() << "10.77.0.7:0";
    QTest::newRow("network setting broadcast") << frame(0x20, 1, 0xFF, 0x01, brightness) << true << "255.255.255.255"
                                               << QString() << "10.77.0.7:0 10.77.0.12:0";
}

void TestSimCore::addressing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, network);
    QFETCH(QString, toIp);
    QFETCH(QString, replyFrom);
    QFETCH(QString, changed);
    QVector<SimMonitor> ms = bank();
    const QVector<SimMonitor> before = ms;
    const Answer a = answer(ms, bytes, network ? Link::Network : Link::Serial, toIp);
    QStringList from;
    for (const Reply &r : a.replies)
        from << ms[r.monitor].label();
    QCOMPARE(from.join(' '), replyFrom);
    QStringList diff;
    for (int i = 0; i < ms.size(); ++i)
        for (int s = 0; s < ms[i].screenCount(); ++s)
            if (ms[i].screens[s].record != before[i].screens[s].record)
                diff << QStringLiteral("%1:%2").arg(ms[i].label()).arg(s);
    QCOMPARE(diff.join(' '), changed);
}

void TestSimCore::failureModes_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("duplicate search reply") << "duplicate";
    QTest::newRow("search reply with a wrong length") << "length";
    QTest::newRow("every reply dropped") << "drop";
    QTest::newRow("silent after two requests") << "stop";
}

void TestSimCore::failureModes()
{
    QFETCH(QString, mode);
    Simulator sim;
    sim.monitors = bank();
    const QByteArray search = serial(0, 4, 0xFF);
    if (mode == "duplicate") {
        sim.failures.duplicateSearchReply = true;
        const auto out = sim.receive(search, Link::Serial);
        QCOMPARE(out.size(), 2);
        QCOMPARE(out[0].bytes, out[1].bytes);
        QVERIFY(wellFormed(out[0].bytes));
    } else if (mode == "length") {
        sim.failures.badSearchLength = true;
        const auto out = sim.receive(search, Link::Serial);
        QCOMPARE(out.size(), 1);
        const QByteArray r = out[0].bytes;
        QCOMPARE(int(std::uint8_t(r.at(1))), r.size() + 1);
        QCOMPARE(int(std::uint8_t(r.at(5))), 4); // everything else still right
        QCOMPARE(int(std::uint8_t(r.at(r.size() - 2))), int(Frame::checksum(r.constData(), r.size() - 2)));
    } else if (mode == "drop") {
        sim.failures.dropPercent = 100;
        QVERIFY(sim.receive(search, Link::Serial).isEmpty());
        QVERIFY(sim.receive(serial(1, 3, 0xFE), Link::Serial).isEmpty());
    } else {
        QVERIFY(sim.command("fail stop-after 2"));
        QCOMPARE(sim.receive(search, Link::Serial).size(), 1);
        QCOMPARE(sim.receive(serial(1, 4, 0xFE), Link::Serial).size(), 1);
        const auto before = sim.monitors;
        QVERIFY(sim.receive(search, Link::Serial).isEmpty());
        sim.receive(serial(1, 4, 0x01, bytes({1, 2, 3, 4, 5, 6, 0})), Link::Serial);
        QVERIFY(sameState(sim.monitors, before));
    }
}

void TestSimCore::changeLog_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("absent");
    // Monitor ID 3, type 1: brightness 43, colour temperature 6500k, byte 21 = 0x08.
    QTest::newRow("level and named value")
        << serial(1, 3, 0x01, bytes({80, 50, 45, 50, 30, 80, 0x04}))
        << QStringList{"ID 3 screen 1: Brightness 43 -> 80", "ID 3 screen 1: Color Temp 6500k -> 9300k"} << "Contrast";
    QTest::newRow("tally and UMD text")
        << serial(1, 3, 0x05, bytes({0x18}) + QByteArray("CAM 1           "))
        << QStringList{"ID 3 screen 1: Tally off -> red", "ID 3 screen 1: UMD 1 text 'CAM 1           '"} << "UMD 1 on";
    QTest::newRow("multiview switched on is not a new source")
        << serial(1, 3, 0x00, bytes({0x10})) << QStringList{"ID 3 screen 1: Multiview off -> on"} << "Source";
    QTest::newRow("bit that no setting owns")
        << serial(1, 3, 0x01, bytes({43, 50, 45, 50, 30, 80, 0x22})) << QStringList{"ID 3 screen 1: byte 6 0x02 -> 0x22"}
        << "Color Temp";
    QTest::newRow("nothing changed")
        << serial(1, 3, 0x02, bytes({0x04, 0x01, 0x02})) << QStringList{"ID 3 screen 1: Marker unchanged"} << "->";
}

void TestSimCore::changeLog()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);
    QFETCH(QString, absent);
    Simulator sim;
    sim.monitors = bank();
    QStringList log;
    connect(&sim, &Simulator::logLine, [&log](const QString &l) { log << l; });
    sim.receive(bytes, Link::Serial);
    for (const QString &line : qAsConst(expected))
        QVERIFY2(log.contains(line), qPrintable(log.join('\n')));
    for (const QString &line : qAsConst(log))
        QVERIFY2(!line.contains(absent), qPrintable(line));
}

void TestSimCore::operatorCommands_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("byte");   // record byte of ID 4 screen 2 to check, -1: none
    QTest::addColumn<int>("value");
    QTest::newRow("level") << "set 4 2 brightness 77" << true << 0 << 77;
    QTest::newRow("value by name") << "set 4 2 tally green" << true << 21 << 0x28;
    QTest::newRow("field by caption") << "set 4 2 Color Temp 3200k" << false << -1 << 0; // caption is two words
    QTest::newRow("caption without blank") << "set 4 2 colortemp 9300k" << true << 6 << 0x04;
    QTest::newRow("caption and value with slashes") << "set 4 2 H/V_Delay H/V" << true << 18 << 0x03;
    QTest::newRow("value too large for the field") << "set 4 2 tally 4" << false << 21 << 0x08;
    QTest::newRow("screen the monitor lacks") << "set 4 4 brightness 1" << false << -1 << 0;
    QTest::newRow("no such monitor") << "set 9 1 brightness 1" << false << -1 << 0;
    QTest::newRow("raw byte") << "byte 4 2 40 0x7f" << true << 40 << 0x7F;
    QTest::newRow("unknown command") << "frobnicate 4" << false << -1 << 0;
}

void TestSimCore::operatorCommands()
{
    QFETCH(QString, line);
    QFETCH(bool, ok);
    QFETCH(int, byte);
    QFETCH(int, value);
    Simulator sim;
    sim.monitors = bank();
    QCOMPARE(sim.command(line), ok);
    if (byte >= 0)
        QCOMPARE(int(sim.monitors[1].screens[1].record.byte(byte)), value);
}

void TestSimCore::monitorSpecs_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QStringList>("labels"); // empty: the description is refused
    QTest::addColumn<int>("screens");
    QTest::newRow("serial with a name") << "type=4,id=5,name=CAM 1" << QStringList{"ID 5"} << 3;
    QTest::newRow("network") << "type=128,ip=10.77.0.7" << QStringList{"10.77.0.7"} << 2;
    QTest::newRow("several addresses") << "type=1,ip=10.77.0.11,count=3"
                                       << QStringList{"10.77.0.11", "10.77.0.12", "10.77.0.13"} << 1;
    QTest::newRow("several IDs") << "id=125,count=2" << QStringList{"ID 125", "ID 126"} << 1;
    QTest::newRow("IDs beyond 126") << "id=125,count=3" << QStringList{} << 0;
    QTest::newRow("no id and no ip") << "type=4" << QStringList{} << 0;
    QTest::newRow("ID 127") << "type=4,id=127" << QStringList{} << 0;
    QTest::newRow("type 300") << "type=300,id=1" << QStringList{} << 0;
    QTest::newRow("short address") << "ip=10.77.0" << QStringList{} << 0;
    QTest::newRow("unknown key") << "id=1,colour=red" << QStringList{} << 0;
}

void TestSimCore::monitorSpecs()
{
    QFETCH(QString, description);
    QFETCH(QStringList, labels);
    QFETCH(int, screens);
    QVector<SimMonitor> ms;
    QString why;
    QCOMPARE(parseMonitorDescription(description, &ms, &why), !labels.isEmpty());
    QStringList got;
    for (const SimMonitor &m : qAsConst(ms)) {
        got << m.label();
        QCOMPARE(m.screenCount(), screens);
        QCOMPARE(m.name.size(), 16);
        // Every screen can be told apart from the others.
        for (int a = 0; a < m.screenCount(); ++a)
            for (int b = a + 1; b < m.screenCount(); ++b) {
                QVERIFY(m.screens[a].record.byte(0) != m.screens[b].record.byte(0));
                QVERIFY(m.screens[a].inputText != m.screens[b].inputText);
            }
    }
    QCOMPARE(got, labels);
    if (description.contains("CAM 1"))
        QCOMPARE(ms[0].name, QByteArray("CAM 1           "));
}

// Valid frames with random damage, some with a repaired checksum so that they
// reach the command code: nothing may read out of bounds (the sanitizer build
// watches), and whatever goes out must still be a whole frame.
void TestSimCore::mangledFramesAreSafe()
{
    QRandomGenerator rng(7);
    QVector<SimMonitor> ms = bank();
    const QList<QByteArray> seeds{serial(1, 3, 0xFE), serial(0, 4, 0xFF), serial(7, 4, 0x01, bytes({1, 2, 3, 4, 5, 6, 7})),
                                  serial(1, 0xFF, 0x05, bytes({1}) + QByteArray(16, 'x') + bytes({2, 3})),
                                  frame(0x20, 1, 0, 0x00, bytes({1, 2, 3}))};
    for (int i = 0; i < 20000; ++i) {
        QByteArray f = seeds[int(rng.bounded(seeds.size()))];
        const int edits = 1 + int(rng.bounded(4u));
        for (int e = 0; e < edits; ++e) {
            switch (rng.bounded(4u)) {
            case 0: f[int(rng.bounded(f.size()))] = char(rng.bounded(256u)); break;
            case 1: f.truncate(int(rng.bounded(f.size() + 1))); break;
            case 2: f.insert(int(rng.bounded(f.size() + 1)), char(rng.bounded(256u))); break;
            default: break;
            }
            if (f.isEmpty())
                f = seeds[0];
        }
        if (rng.bounded(2u) && f.size() >= 11) {
            f[1] = char(f.size());
            f[2] = 0;
            f[f.size() - 1] = char(0xDD);
            f[f.size() - 2] = char(Frame::checksum(f.constData(), f.size() - 2));
        }
        const bool net = rng.bounded(2u);
        const Answer a = answer(ms, f, net ? Link::Network : Link::Serial, net ? "10.77.0.7" : QString());
        for (const Reply &r : a.replies)
            QVERIFY(wellFormed(r.bytes));
    }
}

void TestSimCore::helpExplainsEveryOption()
{
    QProcess p;
    p.start(TELVANOR_SIM_BINARY, {"--help"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(p.readAllStandardOutput());
    for (const char *option : {"--monitor", "--serial", "--serial-device", "--baud", "--pty-link", "--pty-file",
                               "--network", "--bind", "--port", "--delay-ms", "--drop-percent", "--stop-after",
                               "--chunk", "--chunk-gap-ms", "--garbage", "--duplicate-search-reply",
                               "--bad-search-length", "--seed", "--at", "--hex", "--quiet-reads"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
    for (const char *word : {"type=", "id=", "ip=", "name=", "count=", "set MON SCREEN FIELD VALUE"})
        QVERIFY2(help.contains(QLatin1String(word)), word);
}

QTEST_GUILESS_MAIN(TestSimCore)
#include "tst_simcore.moc"
