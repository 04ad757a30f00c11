// The simulator is the peer of every end-to-end suite: which frames a monitor takes
// as its own, which it refuses, what it answers, its failure modes and operator lines.
#include <QtTest>

#include <numeric>

#include "simulator.h"

using namespace Sim;
using Steps = QList<QByteArray>;

namespace {
// Built by hand, not with the project's builder, so a fault there shows here.
QByteArray frame(int link, int mask, int id, int cmd, const QByteArray &data = {}, int type = 0xFF)
{
    QByteArray f = QByteArray::fromHex("5a0000") + char(link) + char(mask) + char(type) + '\0' + char(id) + char(cmd) + data;
    f[1] = char(f.size() + 2);
    const int sum = std::accumulate(f.cbegin(), f.cend(), 0, [](int a, char c) { return a + quint8(c); });
    return f + char(sum) + char(0xDD);
}

// Serial ID 3 (type 1) and ID 4 (type 4, three screens); on the network .7 (type 2) and .12 (type 4).
const QVector<SimMonitor> kBank{makeMonitor(1, 3, {}), makeMonitor(4, 4, {}), makeMonitor(2, 0, "10.77.0.7"),
                                makeMonitor(4, 0, "10.77.0.12")};

// "monitor:screen:byte=value" for every record byte that differs from the fresh bank.
QString changes(const QVector<SimMonitor> &ms)
{
    QStringList out;
    for (int i = 0; i < ms.size(); ++i)
        for (int s = 0; s < ms[i].screenCount(); ++s)
            for (int b = 0; b < ST_BasicData::Size; ++b)
                if (int v = ms[i].screens[s].record.byte(b); v != kBank[i].screens[s].record.byte(b))
                    out << QStringLiteral("%1:%2:%3=%4").arg(ms[i].label()).arg(s).arg(b).arg(v, 0, 16);
    return out.join(' ');
}
} // namespace

class TestSimCore : public QObject
{
    Q_OBJECT
private slots:
    void reactions_data();
    void reactions();
};

void TestSimCore::reactions_data()
{
    QTest::addColumn<Steps>("steps");    // frames (they open with 0x5a) and operator lines, in turn
    QTest::addColumn<QString>("to");     // empty: the serial line; else the address datagrams go to
    QTest::addColumn<QString>("result"); // who answers each frame (with the bytes if malformed); "ok"/"refused" per line
    QTest::addColumn<QString>("changed");
    const QByteArray x = "\x1f", s4 = frame(0, 0, 4, 0xFF);
    // Taken whole (next rows): 5a 0c 00 00 01 ff 00 03 00 1f 88 dd, the source 0x1f to ID 3, screen 1.
    QTest::newRow("refused: checksum, end byte, length field, cut short, 3 of 7 setting bytes, UMD without text")
        << Steps{QByteArray::fromHex("5a0c000001ff0003001f89dd"), QByteArray::fromHex("5a0c000001ff0003001f88dc"),
                 QByteArray::fromHex("5a0d000001ff0003001f89dd"), QByteArray::fromHex("5a0c000001ff000300"),
                 frame(0, 1, 3, 0x01, "\x09\x09\x09"), frame(0, 1, 3, 0x05, "\x18" "AB")} << "" << "" << "";
    QTest::newRow("serial search: ID 4, nobody at 7") << Steps{s4, frame(0, 0, 7, 0xFF)} << "" << "ID 4" << "";
    QTest::newRow("serial read: ID 4 screen 3, every ID, a screen ID 3 lacks")
        << Steps{frame(0, 4, 4, 0xFE), frame(0, 1, 0xFF, 0xFE), frame(0, 2, 3, 0xFE)} << "" << "ID 4" << "";
    QTest::newRow("every ID, screens 1, 2") << Steps{frame(0, 3, 0xFF, 0, x)} << "" << "" << "ID 3:0:7=1f ID 4:0:7=1f ID 4:1:7=1f";
    QTest::newRow("network search broadcast") << Steps{frame(0x20, 0, 0xFF, 0xFF)} << "10.77.0.255" << "10.77.0.7 10.77.0.12" << "";
    QTest::newRow("network read to .7") << Steps{frame(0x20, 1, 0, 0xFE)} << "10.77.0.7" << "10.77.0.7" << "";
    QTest::newRow("setting to .12, other ID") << Steps{frame(0x20, 1, 42, 0, x)} << "10.77.0.12" << "" << "10.77.0.12:0:7=1f";
    QTest::newRow("multiview bytes, type 2 only") << Steps{frame(0x20, 1, 0xFF, 0, "\x1f\x65\x47")} << "10.77.0.255" << ""
                                                  << "10.77.0.7:0:7=1f 10.77.0.7:0:8=65 10.77.0.7:0:9=47 10.77.0.12:0:7=1f";
    QTest::newRow("duplicate search reply") << Steps{"fail duplicate-search-reply 1", s4} << "" << "ok ID 4 ID 4" << "";
    // The length field says 12, the checksum follows it.
    QTest::newRow("bad search length") << Steps{"fail bad-search-length 1", s4} << "" << "ok ID 4 5a0c000000040004ff6ddd" << "";
    QTest::newRow("every reply dropped") << Steps{"fail drop-percent 100", s4, frame(0, 1, 4, 0xFE)} << "" << "ok" << "";
    QTest::newRow("settings ignored, reads answered") << Steps{"fail ignore-settings 1", frame(0, 1, 4, 0, x), frame(0, 1, 4, 0xFE)} << "" << "ok ID 4" << "";
    QTest::newRow("silent after a request") << Steps{"fail stop-after 1", s4, frame(0, 1, 4, 0, x), s4} << "" << "ok ID 4" << "";
    QTest::newRow("operator settings") << Steps{"set 4 2 brightness 77", "set 4 2 tally green", "set 4 2 H/V_Delay H/V",
                                                "byte 4 2 40 0x7f", "set 10.77.0.7 1 tally red"}
        << "" << "ok ok ok ok ok" << "ID 4:1:0=4d ID 4:1:18=3 ID 4:1:21=28 ID 4:1:40=7f 10.77.0.7:0:21=18";
    QTest::newRow("operator lines refused")
        << Steps{"set 4 2 tally 4", "set 4 4 brightness 1", "set 0 1 brightness 1", "fail drop-percent x", "fail often 1"}
        << "" << "refused refused refused refused refused" << "";
}

void TestSimCore::reactions()
{
    QFETCH(Steps, steps);
    QFETCH(QString, to);
    Simulator sim;
    sim.monitors = kBank;
    QStringList result;
    for (const QByteArray &step : steps) {
        const bool isFrame = step.startsWith('\x5a');
        if (!isFrame)
            result << (sim.command(step) ? "ok" : "refused");
        for (const Reply &r : isFrame ? sim.receive(step, to.isEmpty() ? Link::Serial : Link::Network, to) : QVector<Reply>()) {
            // Whole and well-formed: link, command and a read's mask echoed, the monitor's type and ID.
            const SimMonitor &m = sim.monitors[r.monitor];
            const int length = quint8(step[8]) == 0xFF ? 11 : m.type == 2 ? 70 : 66;
            const QByteArray expected = frame(step[3], length > 11 ? step[4] : 0, m.id, step[8],
                                              r.bytes.mid(9, length - 11), m.type);
            result << m.label() + (r.bytes == expected ? QString() : " " + r.bytes.toHex());
        }
    }
    QTEST(result.join(' '), "result");
    QTEST(changes(sim.monitors), "changed");
    for (int i = 0; i < 100; ++i)
        QVERIFY(!sim.garbageBytes().contains('\x5a')); // stray bytes between replies are never a start byte
}

QTEST_GUILESS_MAIN(TestSimCore)
#include "tst_simcore.moc"
