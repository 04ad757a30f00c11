// The network link end to end: real UDP sockets inside network namespaces this
// test creates and removes. The panel's DataStream lives in one namespace, the
// monitors (a raw peer, alone or playing the simulator) in another, joined by a
// veth pair; nothing leaves the machine.
#include <QtTest>

#include <QUdpSocket>

#include <numeric>

#include "datastream.h"
#include "netlab.h"
#include "simulator.h"

namespace {
const QString kPanel = QStringLiteral("10.77.0.1");

QString ip(int last) { return QStringLiteral("10.77.0.%1").arg(last); }

// A frame as a monitor sends it: 5A, total length (little-endian), link 0x20,
// screen mask, device type, 00, device ID, command, data, the low byte of the
// sum of every byte before, DD.
QByteArray frame(int type, int id, int command, const QByteArray &data = {})
{
    const int n = data.size() + 11;
    const QByteArray f = QByteArray(1, char(0x5A)) + char(n & 0xFF) + char(n >> 8) + "\x20\x01" + char(type) + '\0' + char(id)
        + char(command) + data;
    return f + char(std::accumulate(f.cbegin(), f.cend(), 0, [](int s, char c) { return s + quint8(c); })) + char(0xDD);
}
QByteArray searchAnswer(int id) { return frame(1, id, 0xFF); }
// Byte 9, then the 54-byte payload, which opens with record byte 0 (brightness).
QByteArray settingsAnswer(int level) { return frame(1, 12, 0xFE, QByteArray(1, '\0') + char(level) + QByteArray(53, 'n')); }

// Every address of 10.77.0.0/24 but the panel's .1 is a monitor's.
QStringList monitorCidrs()
{
    QStringList cidrs;
    for (int i = 2; i < 255; ++i)
        cidrs << ip(i) + QStringLiteral("/24");
    return cidrs;
}

// The panel's namespace with the given addresses on its end of a veth pair, the
// monitors' namespace on the other with a raw peer on 0.0.0.0:19523. The calling
// thread moves into the panel's namespace before the DataStream is made, so its
// sockets bind and send there only. Monitors .12 and .30 are listed, .12 is
// current.
struct Bench {
    NetLab net;
    QString panelNs = net.addNamespace(QStringLiteral("panel")), monNs = net.addNamespace(QStringLiteral("mons"));
    bool ok;
    UdpPeer peer;
    DataStream ds;
    explicit Bench(const QStringList &panel = {"10.77.0.1/24"})
        : ok(!panelNs.isEmpty() && !monNs.isEmpty() && !net.link(panelNs, panel, monNs, monitorCidrs()).isEmpty()
             && NetLab::enter(panelNs)),
          peer(net.udpSocketIn(monNs, QStringLiteral("0.0.0.0"), 19523))
    {
        ds.deviceList = {new MachineDevice, new MachineDevice};
        ds.deviceList[0]->ipAddr = ip(12);
        ds.deviceList[1]->ipAddr = ip(30);
        ds.curDevice = ds.deviceList[0];
        ds.curDevice->screenMask = 0x01; // screen 1 picked, as the replies below answer
    }
};

struct AddressRow { QStringList panel; QString monitor, bound; QStringList from; int frames; };
// group: what is sent, a packet group or the whole record (0), or -1 for a read
// request; pick, search: what the operator does during the first pause of a
// whole-record send; frames: what goes out, as "destination command", search
// requests left out.
struct RouteRow { bool toAll, searching; int group; bool pick, search; QStringList frames; };
// whole: datagrams that are one frame each; level: brightness of the current monitor's record afterwards.
struct ReplyRow { bool searching; QStringList from; QByteArrayList data; int whole; QStringList listed; int duplicates, level; };
} // namespace
Q_DECLARE_METATYPE(AddressRow)
Q_DECLARE_METATYPE(RouteRow)
Q_DECLARE_METATYPE(ReplyRow)

class TestNetwork : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QString why;
        if (!NetLab::available(&why))
            QSKIP(qPrintable(why));
    }

    // Which local address the panel sends from: after bindForDevice(monitor) the
    // one facing the monitor; for a broadcast every usable one in turn, 200 ms apart.
    void localAddresses_data()
    {
        QTest::addColumn<AddressRow>("row");
        const QStringList two{"10.77.0.1/24", "10.78.2.1/16"}, fromTwo{kPanel, "10.78.2.1"};
        QTest::newRow("its subnet, already bound there") << AddressRow{two, "10.77.0.30", kPanel, fromTwo, 1};
        QTest::newRow("subnet first; three broadcasts") << AddressRow{two, "10.78.0.9", "10.78.2.1", fromTwo, 3};
        QTest::newRow("third field; link-local skipped") << AddressRow{two + QStringList{"169.254.10.3/16", "10.79.2.1/24"},
            "10.99.2.5", "10.78.2.1", fromTwo + QStringList{"10.79.2.1"}, 1};
        QTest::newRow("nothing matches") << AddressRow{two, "10.99.9.9", kPanel, fromTwo, 1};
    }
    void localAddresses()
    {
        QFETCH(AddressRow, row);
        Bench b(row.panel);
        QVERIFY(b.ok);
        QSignalSpy rebound(b.ds.port->udp, &QObject::destroyed);
        b.ds.bindForDevice(row.monitor);
        QCOMPARE(b.ds.port->udp->localAddress().toString(), row.bound);
        QCOMPARE(rebound.count(), row.bound == kPanel ? 0 : 1); // no new socket where the old one faces it already

        for (int i = 1; i <= row.frames; ++i)
            b.ds.port->udpBroadcast(frame(0xFF, i, 0xFF).constData(), 11);
        // The tick that stops the broadcast sends its last datagram once more; that one is not checked.
        const int n = row.frames * row.from.size();
        QTRY_VERIFY(b.peer.frames.size() >= n);
        QCOMPARE(b.ds.port->udp->localPort(), quint16(19522));
        for (int k = 0; k < n; ++k) {
            const SeenFrame &f = b.peer.frames.at(k);
            QCOMPARE(f.bytes, frame(0xFF, k / row.from.size() + 1, 0xFF));
            QCOMPARE(f.from, row.from[k % row.from.size()]);
            QCOMPARE(f.to, QStringLiteral("255.255.255.255"));
            QVERIFY(k == 0 || f.atMs - b.peer.frames.at(k - 1).atMs >= 100); // 200 ms steps, room for a loaded machine
        }
    }

    // Where the panel's frames go; what the operator does during a pause of a
    // whole-record send ("meanwhile") does not redirect the rest of it.
    void routes_data()
    {
        QTest::addColumn<RouteRow>("row");
        const QString toA = "10.77.0.12 ", all = "255.255.255.255 ";
        const QStringList record{toA + "0", toA + "1", toA + "2", toA + "4", toA + "3", toA + "5"};
        // The read goes to the monitor picked.
        const QStringList picked = QStringList{record[0], "10.77.0.30 fe"} + record.mid(1);
        QTest::newRow("setting") << RouteRow{false, false, 2, false, false, {toA + "2"}};
        QTest::newRow("setting to all") << RouteRow{true, false, 2, false, false, {all + "2"}};
        QTest::newRow("read with all on") << RouteRow{true, false, -1, false, false, {toA + "fe"}};
        QTest::newRow("setting while searching") << RouteRow{false, true, 2, false, false, {all + "2"}};
        QTest::newRow("read while searching") << RouteRow{false, true, -1, false, false, {all + "fe"}};
        QTest::newRow("record; another monitor picked") << RouteRow{false, false, 0, true, false, picked};
        QTest::newRow("record; search started") << RouteRow{false, false, 0, false, true, record};
        QTest::newRow("record during a search") << RouteRow{false, true, 0, false, false, record};
        QTest::newRow("record; both") << RouteRow{false, false, 0, true, true, picked};
    }
    void routes()
    {
        QFETCH(RouteRow, row);
        Bench b;
        QVERIFY(b.ok);
        b.ds.sendToAll = row.toAll;
        b.ds.searching = row.searching;
        QTimer::singleShot(250, &b.ds, [&] { // a record's first frame goes out at once, the next 500 ms later
            if (row.pick)
                b.ds.selectDevice(1, 0);
            if (row.search)
                b.ds.startSearch();
        });
        row.group < 0 ? void(b.ds.selectDevice(0, 0)) : b.ds.sendGroup(row.group);
        auto seen = [&] {
            QStringList s;
            for (const SeenFrame &f : qAsConst(b.peer.frames))
                if (quint8(f.bytes.at(8)) != 0xFF)
                    s << f.to + ' ' + QString::number(quint8(f.bytes.at(8)), 16);
            return s.mid(0, row.frames.size());
        };
        QTRY_COMPARE(seen(), row.frames);
    }

    // The simulator's monitors answer a search and reads from their own addresses.
    void simulatedMonitors()
    {
        Simulator sim;
        sim.monitors = {Sim::makeMonitor(128, 0, ip(30)), Sim::makeMonitor(2, 3, ip(7)), Sim::makeMonitor(4, 0, ip(12))};
        Bench b;
        QVERIFY(b.ok);
        b.peer.answer = [&](const QByteArray &f, const QString &to) {
            QList<UdpPeer::Reply> out;
            for (const Sim::Reply &r : sim.receive(f, Sim::Link::Network, to))
                out.append({sim.monitors[r.monitor].ip, r.bytes});
            return out;
        };
        QStringList listed{ip(7), ip(12), ip(30)}, found;
        for (int i = 50; i < 247; ++i) {
            sim.monitors << Sim::makeMonitor(1, 0, ip(i));
            listed << ip(i);
        }
        connect(&b.ds, &DataStream::signalFoundDevice, [&](QString a) { found << (b.ds.searching ? "early " : "") + a; });
        b.ds.startSearch();
        QTRY_COMPARE_WITH_TIMEOUT(found, listed, 15000); // by the last address field, once the search is over

        // With "All" on a read goes to the current monitor alone, a setting to every one.
        b.ds.sendToAll = true;
        QSignalSpy replies(&b.ds, &DataStream::signalRecvBasicData);
        b.ds.selectDevice(1, 0);
        QVERIFY(replies.wait(3000));
        b.ds.curDevice->basicData.set(Field::brightness, 77);
        b.ds.sendGroup(1);
        for (const Sim::SimMonitor &m : qAsConst(sim.monitors)) {
            QTRY_COMPARE(m.screens[0].record.get(Field::brightness), 77);
            QCOMPARE(m.readsAnswered, m.ip == ip(12) ? 1 : 0);
        }
    }

    void replies_data()
    {
        QTest::addColumn<ReplyRow>("row");
        const QStringList two{ip(12), ip(30)};
        QTest::newRow("search: listed addresses") << ReplyRow{true, two, {searchAnswer(12), searchAnswer(99)}, 2, two, 2, 0};
        QTest::newRow("search: new address") << ReplyRow{true, {ip(8)}, {searchAnswer(0)}, 1, {ip(8), ip(12), ip(30)}, 0, 0};
        QTest::newRow("search reply after the search") << ReplyRow{false, {ip(8)}, {searchAnswer(8)}, 1, two, 0, 0};
        QTest::newRow("settings from another monitor") << ReplyRow{false, {ip(30)}, {settingsAnswer(66)}, 1, two, 0, 0};
        QTest::newRow("another monitor's, then the current one's")
            << ReplyRow{false, {ip(30), ip(12)}, {settingsAnswer(66), settingsAnswer(55)}, 2, two, 0, 55};
        QTest::newRow("malformed, then good") << ReplyRow{false, {ip(12), ip(12), ip(12), ip(12)}, {settingsAnswer(11).chopped(1),
            QByteArray(1, char(0x5A)), settingsAnswer(11) + char(0x33), settingsAnswer(22)}, 1, two, 0, 22};
        QTest::newRow("settings reply cut short, then good") << ReplyRow{false, {ip(12), ip(12)},
            {QByteArray::fromHex("5a0b002001000000fe84dd"), settingsAnswer(44)}, 2, two, 0, 44};
    }
    void replies()
    {
        QFETCH(ReplyRow, row);
        Bench b;
        QVERIFY(b.ok);
        b.ds.searching = row.searching;
        b.ds.timeoutCount = 5;
        QSignalSpy arrived(b.ds.port, &PortDevice::signalUdpRecvFrame);
        QSignalSpy duplicates(&b.ds, &DataStream::signalIDIP_Error);
        QSignalSpy applied(&b.ds, &DataStream::signalRecvBasicData);
        for (int i = 0; i < row.from.size(); ++i)
            b.peer.sendFrom(row.from[i], kPanel, 19522, row.data[i]);
        QTRY_COMPARE(arrived.count(), row.whole);
        QStringList listed;
        for (const MachineDevice *d : qAsConst(b.ds.deviceList))
            listed << d->ipAddr;
        QCOMPARE(listed, row.listed);
        QCOMPARE(duplicates.count(), row.duplicates);
        QCOMPARE(applied.count(), row.level ? 1 : 0);
        QCOMPARE(b.ds.curDevice->getBasicData().get(Field::brightness), row.level);
        QCOMPARE(b.ds.timeoutCount, 0); // any whole frame is a sign of life
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
