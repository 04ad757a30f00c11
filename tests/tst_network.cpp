// The network link end to end: real UDP sockets inside network namespaces made
// by this test. The panel lives in one namespace with two usable addresses, the
// monitors in another; nothing leaves the machine.
#include <QtTest>

#include "datastream.h"
#include "netlab.h"

namespace {
const QString kPanelA = QStringLiteral("10.77.0.1");
const QString kPanelB = QStringLiteral("10.78.2.1");
const QString kBroadcast = QStringLiteral("255.255.255.255");

QByteArray searchReply(int type, int id = 1)
{
    return Frame::build({Frame::LinkNetwork, 0, static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(id)},
                        Frame::CmdSearch, {});
}

QByteArray settingsReply(int brightness)
{
    QByteArray payload(54, 'n');
    payload[0] = static_cast<char>(brightness);
    return Frame::build({Frame::LinkNetwork, 0x01, 1, 1}, Frame::CmdRead, QByteArray(1, '\0') + payload);
}

QString monitorAddr(int last) { return QStringLiteral("10.77.0.%1").arg(last); }
} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void usableLocalAddresses();
    void broadcastGoesOutFromEveryAddress();
    void quickBroadcastsAllGoOutInOrder();
    void bindForDeviceFacesTheMonitor_data();
    void bindForDeviceFacesTheMonitor();
    void transmitChoosesUnicastOrBroadcast_data();
    void transmitChoosesUnicastOrBroadcast();
    void searchListsMonitorsByLastAddressField();
    void burstOfSearchRepliesIsAllListed();
    void replyFromAnotherMonitorIsNotApplied();
    void badDatagramDoesNotTouchTheNext();

private:
    void addNetworkDevice(int last, int type);
    bool waitFrames(int n, int ms = 5000) { return QTest::qWaitFor([&] { return peer->frames.size() >= n; }, ms); }

    NetLab *lab = nullptr;
    QString monNs;
    int peerFd = -1;
    UdpPeer *peer = nullptr;
    DataStream *ds = nullptr;
};

void TestNetwork::initTestCase()
{
    QString why;
    if (!NetLab::available(&why))
        QSKIP(qPrintable(why));
    lab = new NetLab;
    const QString panelNs = lab->addNamespace(QStringLiteral("panel"));
    monNs = lab->addNamespace(QStringLiteral("mon"));
    QVERIFY(!panelNs.isEmpty() && !monNs.isEmpty());
    QStringList monitors{QStringLiteral("10.77.0.7/24"), QStringLiteral("10.77.0.12/24"), QStringLiteral("10.77.0.30/24")};
    for (int i = 50; i < 250; ++i)
        monitors << monitorAddr(i) + QStringLiteral("/24");
    QVERIFY(!lab->link(panelNs, {kPanelA + "/24"}, monNs, monitors).isEmpty());
    // The second panel interface also carries a link-local address, which is never used.
    QVERIFY(!lab->link(panelNs, {kPanelB + "/16", QStringLiteral("169.254.10.3/16")}, monNs,
                       {QStringLiteral("10.78.0.9/16")}).isEmpty());
    QVERIFY(NetLab::enter(panelNs));
    peerFd = lab->udpSocketIn(monNs, QStringLiteral("0.0.0.0"), PortDevice::DeviceUdpPort);
    QVERIFY(peerFd >= 0);
}

void TestNetwork::cleanupTestCase()
{
    delete lab; // removes the namespaces
    lab = nullptr;
}

void TestNetwork::init()
{
    peer = new UdpPeer(peerFd);
    ds = new DataStream;
}

void TestNetwork::cleanup()
{
    delete ds;
    delete peer;
    ds = nullptr;
    peer = nullptr;
}

void TestNetwork::addNetworkDevice(int last, int type)
{
    auto d = new MachineDevice;
    d->ipAddr = monitorAddr(last);
    d->deviceId = static_cast<std::uint8_t>(last);
    d->setDeviceType(type);
    ds->addDevice(d);
}

void TestNetwork::usableLocalAddresses()
{
    QCOMPARE(ds->port->localAddrs, (QStringList{kPanelA, kPanelB}));
    QCOMPARE(ds->port->bindAddr, kPanelA);
}

void TestNetwork::broadcastGoesOutFromEveryAddress()
{
    const QByteArray frame = Frame::searchRequest(Frame::LinkNetwork, 0xFF);
    ds->port->udpBroadcast(frame.constData(), frame.size());
    QVERIFY(ds->port->isBroadcasting());
    QVERIFY(waitFrames(3));
    QTRY_VERIFY(!ds->port->isBroadcasting());
    QTest::qWait(300);
    QCOMPARE(peer->frames.size(), 3);
    const QString from[] = {kPanelA, kPanelB, kPanelB};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(peer->frames.at(i).bytes, frame);
        QCOMPARE(peer->frames.at(i).from, from[i]);
        QCOMPARE(peer->frames.at(i).to, kBroadcast);
        if (i > 0)
            QVERIFY(peer->frames.at(i).atMs - peer->frames.at(i - 1).atMs >= PortDevice::BroadcastStepMs - 100);
    }
    QCOMPARE(ds->port->bindAddr, kPanelB); // stays on the last address
}

void TestNetwork::quickBroadcastsAllGoOutInOrder()
{
    QList<QByteArray> frames;
    for (int id : {1, 2, 3}) {
        frames << Frame::searchRequest(Frame::LinkNetwork, static_cast<std::uint8_t>(id));
        ds->port->udpBroadcast(frames.last().constData(), frames.last().size());
    }
    QVERIFY(waitFrames(7));
    QTRY_VERIFY(!ds->port->isBroadcasting());
    QTest::qWait(300);
    QCOMPARE(peer->frames.size(), 7);
    const int which[] = {0, 0, 1, 1, 2, 2, 2};
    const QString from[] = {kPanelA, kPanelB, kPanelA, kPanelB, kPanelA, kPanelB, kPanelB};
    for (int i = 0; i < 7; ++i) {
        QCOMPARE(peer->frames.at(i).bytes, frames.at(which[i]));
        QCOMPARE(peer->frames.at(i).from, from[i]);
    }
}

void TestNetwork::bindForDeviceFacesTheMonitor_data()
{
    QTest::addColumn<QString>("monitor");
    QTest::addColumn<QString>("bound");
    QTest::newRow("same subnet") << "10.77.0.30" << kPanelA;
    QTest::newRow("subnet wins over the third field") << "10.78.0.9" << kPanelB;
    QTest::newRow("no subnet: third field") << "10.99.2.5" << kPanelB;
    QTest::newRow("nothing matches: binding kept") << "10.99.9.9" << kPanelA;
}

void TestNetwork::bindForDeviceFacesTheMonitor()
{
    QFETCH(QString, monitor);
    QFETCH(QString, bound);
    ds->bindForDevice(monitor);
    QCOMPARE(ds->port->bindAddr, bound);
    const QByteArray f = Frame::readRequest(Frame::LinkNetwork, 1, 1);
    ds->port->udpSendTo(QStringLiteral("10.78.0.9"), f.constData(), f.size());
    QVERIFY(waitFrames(1));
    QCOMPARE(peer->frames.first().from, bound);
    QCOMPARE(peer->frames.first().to, QStringLiteral("10.78.0.9"));

    // On the serial line the socket is left alone.
    ds->linkMode = DataStream::LinkSerial;
    ds->bindForDevice(bound == kPanelA ? QStringLiteral("10.78.0.9") : QStringLiteral("10.77.0.9"));
    QCOMPARE(ds->port->bindAddr, bound);
}

void TestNetwork::transmitChoosesUnicastOrBroadcast_data()
{
    QTest::addColumn<bool>("sendToAll");
    QTest::addColumn<bool>("searching");
    QTest::addColumn<bool>("read");
    QTest::addColumn<bool>("broadcast");
    QTest::newRow("setting, one monitor") << false << false << false << false;
    QTest::newRow("read, one monitor") << false << false << true << false;
    QTest::newRow("setting, all") << true << false << false << true;
    QTest::newRow("read, all: still personal") << true << false << true << false;
    QTest::newRow("read while searching") << false << true << true << true;
}

void TestNetwork::transmitChoosesUnicastOrBroadcast()
{
    QFETCH(bool, sendToAll);
    QFETCH(bool, searching);
    QFETCH(bool, read);
    QFETCH(bool, broadcast);
    addNetworkDevice(12, 1);
    ds->sendToAll = sendToAll;
    ds->searching = searching;
    if (read) {
        ds->selectDevice(0, 0);
    } else {
        ds->curDevice = ds->deviceList.first();
        ds->sendGroup(2);
    }
    QVERIFY(waitFrames(1));
    const SeenFrame f = peer->frames.first();
    QCOMPARE(f.to, broadcast ? kBroadcast : monitorAddr(12));
    QCOMPARE(int(Frame::byteAt(f.bytes, Frame::OffLink)), 0x20);
    QCOMPARE(int(Frame::byteAt(f.bytes, Frame::OffId)), sendToAll && !read ? 0xFF : 12);
    QCOMPARE(int(Frame::command(f.bytes)), read ? 0xFE : 0x02);
}

void TestNetwork::searchListsMonitorsByLastAddressField()
{
    const QList<QPair<int, int>> monitors{{30, 4}, {7, 2}, {12, 129}};
    peer->answer = [&](const QByteArray &f, const QString &) {
        QList<UdpPeer::Reply> replies;
        if (Frame::command(f) == Frame::CmdSearch)
            for (const auto &m : monitors)
                replies.append({monitorAddr(m.first), searchReply(m.second, m.first)});
        return replies;
    };
    QSignalSpy found(ds, &DataStream::signalFoundDevice);
    QSignalSpy completed(ds, &DataStream::signalSearchCompleted);
    QSignalSpy dup(ds, &DataStream::signalIDIP_Error);
    ds->linkMode = DataStream::LinkNetwork;
    ds->startSearch();
    QVERIFY(completed.wait(10000));
    QCOMPARE(found.count(), 3);
    const int order[] = {7, 12, 30}, screens[] = {1, 3, 3};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(found.at(i).at(0).toString(), monitorAddr(order[i]));
        QCOMPARE(ds->deviceList.at(i)->ipAddr, monitorAddr(order[i]));
        QCOMPARE(ds->deviceList.at(i)->screenCount, screens[i]);
        QCOMPARE(int(ds->deviceList.at(i)->deviceId), order[i]);
    }
    QVERIFY(dup.count() >= 3); // every broadcast tick after the first is answered again
    const int searches = std::count_if(peer->frames.cbegin(), peer->frames.cend(),
                                       [](const SeenFrame &f) { return Frame::command(f.bytes) == Frame::CmdSearch; });
    QCOMPARE(searches, 3); // one request, broadcast from two addresses plus the closing tick

    // A reply after the list was announced is not slipped in unseen.
    peer->sendFrom(monitorAddr(8), kPanelB, PortDevice::LocalUdpPort, searchReply(1, 8));
    peer->sendFrom(monitorAddr(8), kPanelA, PortDevice::LocalUdpPort, searchReply(1, 8));
    QTest::qWait(200);
    QCOMPARE(ds->deviceList.size(), 3);
}

void TestNetwork::burstOfSearchRepliesIsAllListed()
{
    bool answered = false;
    peer->answer = [&](const QByteArray &f, const QString &) {
        QList<UdpPeer::Reply> replies;
        if (Frame::command(f) == Frame::CmdSearch && !answered) {
            answered = true;
            for (int i = 50; i < 250; ++i)
                replies.append({monitorAddr(i), searchReply(i % 2 ? 1 : 4, i)});
        }
        return replies;
    };
    QSignalSpy completed(ds, &DataStream::signalSearchCompleted);
    ds->startSearch();
    QVERIFY(completed.wait(10000));
    QCOMPARE(ds->deviceList.size(), 200);
    for (int i = 0; i < 200; ++i)
        QCOMPARE(ds->deviceList.at(i)->ipLastOctet(), 50 + i);
}

void TestNetwork::replyFromAnotherMonitorIsNotApplied()
{
    addNetworkDevice(12, 1);
    addNetworkDevice(30, 1);
    QSignalSpy recv(ds, &DataStream::signalRecvBasicData);
    ds->selectDevice(0, 0); // .12
    QVERIFY(waitFrames(1));
    peer->sendFrom(monitorAddr(30), kPanelA, PortDevice::LocalUdpPort, settingsReply(66));
    QTRY_VERIFY(!ds->recvTimer->isActive()); // a sign of life all the same
    QCOMPARE(recv.count(), 0);
    QCOMPARE(ds->curDevice->getBasicData().get(Field::brightness), 0);
    peer->sendFrom(monitorAddr(12), kPanelA, PortDevice::LocalUdpPort, settingsReply(55));
    QVERIFY(recv.wait(3000));
    QCOMPARE(ds->curDevice->getBasicData().get(Field::brightness), 55);
    QCOMPARE(ds->curDevice->deviceName, QString(16, QLatin1Char('n')));
}

void TestNetwork::badDatagramDoesNotTouchTheNext()
{
    addNetworkDevice(12, 1);
    ds->selectDevice(0, 0);
    QVERIFY(waitFrames(1));
    QSignalSpy recv(ds, &DataStream::signalRecvBasicData);
    QByteArray wrongLength = settingsReply(11);
    wrongLength[1] = static_cast<char>(wrongLength.size() + 1);
    peer->sendFrom(monitorAddr(12), kPanelA, PortDevice::LocalUdpPort, wrongLength);
    peer->sendFrom(monitorAddr(12), kPanelA, PortDevice::LocalUdpPort, QByteArray::fromHex("5a"));
    peer->sendFrom(monitorAddr(12), kPanelA, PortDevice::LocalUdpPort, settingsReply(22));
    QVERIFY(recv.wait(3000));
    QTest::qWait(100);
    QCOMPARE(recv.count(), 1);
    QCOMPARE(ds->curDevice->getBasicData().get(Field::brightness), 22);
}

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
