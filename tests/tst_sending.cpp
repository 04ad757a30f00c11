// Sending on the serial line: packet groups, the paced full send, addressing,
// the bit setters, device and screen selection, and the reply watch.
#include <QtTest>

#include <ctime>

#include "datastream.h"
#include "ptypair.h"

namespace {
QByteArray searchReply(int id, int type)
{
    return Frame::build({Frame::LinkSerial, 0, static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(id)},
                        Frame::CmdSearch, {});
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
} // namespace

class TestSending : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void singleGroupSendsOneFrame_data();
    void singleGroupSendsOneFrame();
    void fullSendIsPacedInOrder_data();
    void fullSendIsPacedInOrder();
    void nothingIsSentWithoutADevice();
    void sendToAllAddressesEveryMonitorButReadsStayPersonal();
    void frameLengthFollowsTheCurrentDeviceType();
    void bitSetters_data();
    void bitSetters();
    void selectDeviceScreenRules_data();
    void selectDeviceScreenRules();
    void copyDeviceSettings();
    void replyWatchCountsTimeouts();
    void searchRepliesOnTheSerialLine();
    void framesOfTheOtherLinkAreIgnored();

private:
    void addSerialDevice(int id, int type);
    QByteArray lastFrame() const { return peer->frames.isEmpty() ? QByteArray() : peer->frames.last().bytes; }

    PtyPair *pty = nullptr;
    SerialPeer *peer = nullptr;
    DataStream *ds = nullptr;
};

void TestSending::init()
{
    pty = new PtyPair;
    QVERIFY(pty->isOpen());
    peer = new SerialPeer(*pty);
    ds = new DataStream;
    ds->linkMode = DataStream::LinkSerial;
    ds->port->setSerialPort(pty->slavePath(), 38400);
    QVERIFY(ds->port->isSerialOpen());
}

void TestSending::cleanup()
{
    delete ds;
    delete peer;
    delete pty;
    ds = nullptr;
    peer = nullptr;
    pty = nullptr;
}

void TestSending::addSerialDevice(int id, int type)
{
    ds->slotUartRecvFrame(searchReply(id, type));
}

void TestSending::singleGroupSendsOneFrame_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("command");
    QTest::newRow("group 1") << 1 << 0x01;
    QTest::newRow("group 2") << 2 << 0x02;
    QTest::newRow("group 3") << 3 << 0x04;
    QTest::newRow("group 4") << 4 << 0x03;
    QTest::newRow("group 5") << 5 << 0x00;
    QTest::newRow("group 6") << 6 << 0x05;
}

void TestSending::singleGroupSendsOneFrame()
{
    QFETCH(int, group);
    QFETCH(int, command);
    addSerialDevice(9, 1);
    QCOMPARE(ds->selectDevice(0, 2), 1);
    QTRY_COMPARE(peer->frames.size(), 1); // the read request
    QSignalSpy updated(ds, &DataStream::signalUpdateDevice);
    ds->sendGroup(group);
    QCOMPARE(updated.count(), 1);
    QTRY_COMPARE(peer->frames.size(), 2);
    const QByteArray f = lastFrame();
    QCOMPARE(int(Frame::command(f)), command);
    QCOMPARE(int(Frame::byteAt(f, Frame::OffId)), 9);
    QCOMPARE(int(Frame::byteAt(f, Frame::OffMask)), 0x04);
    QCOMPARE(int(Frame::byteAt(f, Frame::OffLink)), 0x00);
    QTest::qWait(50);
    QCOMPARE(peer->frames.size(), 2); // one frame, no more
}

void TestSending::fullSendIsPacedInOrder_data()
{
    QTest::addColumn<int>("group");
    QTest::newRow("0") << 0;
    QTest::newRow("7") << 7;
    QTest::newRow("-1") << -1;
}

void TestSending::fullSendIsPacedInOrder()
{
    QFETCH(int, group);
    addSerialDevice(3, 4);
    ds->selectDevice(0, 1);
    QTRY_COMPARE(peer->frames.size(), 1);
    peer->frames.clear();
    QSignalSpy updated(ds, &DataStream::signalUpdateDevice);
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    ds->sendGroup(group);
    const double cpu = cpuSeconds() - cpu0;
    QVERIFY(wall.elapsed() >= 5 * DataStream::GroupPauseMs);
    QCOMPARE(updated.count(), 1);
    // The pauses sleep: a busy wait would burn the whole 2.5 s of CPU.
    QVERIFY2(cpu < 0.25 * wall.elapsed() / 1000.0, qPrintable(QString::number(cpu)));
    QTRY_COMPARE(peer->frames.size(), 6);
    const int expected[] = {0x00, 0x01, 0x02, 0x04, 0x03, 0x05};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(int(Frame::command(peer->frames.at(i).bytes)), expected[i]);
        if (i > 0) {
            const qint64 gap = peer->frames.at(i).atMs - peer->frames.at(i - 1).atMs;
            QVERIFY2(gap >= DataStream::GroupPauseMs - 100, qPrintable(QString::number(gap)));
        }
    }
}

void TestSending::nothingIsSentWithoutADevice()
{
    QSignalSpy updated(ds, &DataStream::signalUpdateDevice);
    ds->sendGroup(1);
    ds->sendGroup(0);
    ds->setUmdSlotOn(0, 1);
    ds->enableMv();
    QCOMPARE(ds->selectDevice(0, 0), 0);
    QCOMPARE(ds->selectDevice(-1, 0), 0);
    // Listed but not selected yet: the placeholder is no monitor either.
    addSerialDevice(0, 1);
    ds->sendGroup(2);
    QTest::qWait(50);
    QCOMPARE(updated.count(), 0);
    QVERIFY(peer->frames.isEmpty());
}

void TestSending::sendToAllAddressesEveryMonitorButReadsStayPersonal()
{
    addSerialDevice(17, 1);
    ds->sendToAll = true;
    ds->selectDevice(0, 0);
    ds->sendGroup(2);
    QTRY_COMPARE(peer->frames.size(), 2);
    QCOMPARE(int(Frame::command(peer->frames.at(0).bytes)), int(Frame::CmdRead));
    QCOMPARE(int(Frame::byteAt(peer->frames.at(0).bytes, Frame::OffId)), 17);
    QCOMPARE(int(Frame::byteAt(peer->frames.at(1).bytes, Frame::OffId)), 0xFF);
}

void TestSending::frameLengthFollowsTheCurrentDeviceType()
{
    addSerialDevice(1, 2);
    addSerialDevice(2, 4);
    ds->selectDevice(0, 0);
    ds->sendGroup(5);
    ds->sendGroup(6);
    ds->selectDevice(1, 0);
    ds->sendGroup(5);
    ds->sendGroup(6);
    QTRY_COMPARE(peer->frames.size(), 6);
    const int lengths[] = {11, 14, 30, 11, 12, 28};
    for (int i = 0; i < 6; ++i) {
        const QByteArray f = peer->frames.at(i).bytes;
        QCOMPARE(f.size(), lengths[i]);
        QCOMPARE(int(Frame::byteAt(f, f.size() - 2)), int(Frame::checksum(f.constData(), f.size() - 2)));
    }
}

void TestSending::bitSetters_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("arg0");
    QTest::addColumn<int>("arg1");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("command");
    QTest::newRow("umd slot 0 on") << "on" << 0 << 1 << 21 << 0x37 << 0x3F << 0x05;
    QTest::newRow("umd slot 1 off") << "on" << 1 << 0 << 22 << 0xFF << 0xF7 << 0x05;
    QTest::newRow("umd slot 2 on") << "on" << 2 << 1 << 22 << 0x00 << 0x80 << 0x05;
    QTest::newRow("umd slot 3 on") << "on" << 3 << 1 << 23 << 0xF0 << 0xF8 << 0x05;
    QTest::newRow("umd slot 0 colour 6") << "color" << 0 << 6 << 21 << 0x39 << 0x3E << 0x05;
    QTest::newRow("umd slot 2 colour 5") << "color" << 2 << 5 << 22 << 0x8F << 0xDF << 0x05;
    QTest::newRow("umd slot 3 colour 1") << "color" << 3 << 1 << 23 << 0xFF << 0xF9 << 0x05;
    QTest::newRow("mv window 1 source 5") << "mv" << 1 << 5 << 8 << 0x07 << 0x57 << 0x00;
    QTest::newRow("mv window 2 source 3") << "mv" << 2 << 3 << 9 << 0x77 << 0x73 << 0x00;
    QTest::newRow("mv window 3 source 0") << "mv" << 3 << 0 << 9 << 0xFF << 0x8F << 0x00;
    QTest::newRow("slot out of range changes nothing") << "on" << 4 << 1 << 21 << 0x00 << 0x00 << 0x05;
    QTest::newRow("enable mv keeps source bits") << "enable" << 0 << 0 << 7 << 0x23 << 0x13 << 0x00;
    QTest::newRow("disable mv") << "disable" << 0 << 0 << 7 << 0x1F << 0x0F << 0x00;
}

void TestSending::bitSetters()
{
    QFETCH(QString, call);
    QFETCH(int, arg0);
    QFETCH(int, arg1);
    QFETCH(int, byte);
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(int, command);
    addSerialDevice(4, 2);
    ds->selectDevice(0, 0);
    ST_BasicData r;
    r.setByte(byte, static_cast<std::uint8_t>(before));
    ds->curDevice->setBasicData(r);
    ds->basicData = r;
    if (call == "on")
        ds->setUmdSlotOn(arg0, arg1);
    else if (call == "color")
        ds->setUmdSlotColor(arg0, arg1);
    else if (call == "mv")
        ds->setMvWindowSource(arg0, arg1);
    else if (call == "enable")
        ds->enableMv();
    else
        ds->disableMv();
    ST_BasicData expected;
    expected.setByte(byte, static_cast<std::uint8_t>(after));
    QCOMPARE(ds->curDevice->getBasicData(), expected);
    QTRY_COMPARE(peer->frames.size(), 2);
    QCOMPARE(int(Frame::command(lastFrame())), command);
}

void TestSending::selectDeviceScreenRules_data()
{
    QTest::addColumn<int>("maskBefore");
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("maskAfter");
    QTest::newRow("no screen yet, keep") << 0x00 << -1 << 0x01;
    QTest::newRow("screen 2 kept") << 0x04 << -1 << 0x04;
    QTest::newRow("screen 5 chosen") << 0x04 << 5 << 0x20;
    QTest::newRow("screen 0 chosen") << 0x80 << 0 << 0x01;
}

void TestSending::selectDeviceScreenRules()
{
    QFETCH(int, maskBefore);
    QFETCH(int, screen);
    QFETCH(int, maskAfter);
    addSerialDevice(7, 129);
    ds->deviceList.first()->screenMask = static_cast<std::uint8_t>(maskBefore);
    QCOMPARE(ds->selectDevice(0, screen), 3);
    QCOMPARE(int(ds->curDevice->screenMask), maskAfter);
    QVERIFY(ds->recvTimer->isActive());
    QTRY_COMPARE(peer->frames.size(), 1);
    QCOMPARE(lastFrame(), Frame::readRequest(Frame::LinkSerial, static_cast<std::uint8_t>(maskAfter), 7));
    ds->setScreen(7);
    QCOMPARE(ds->currentScreen(), 7);
    ds->sendAllToScreen(1);
    QCOMPARE(ds->currentScreen(), 7);
    QTRY_COMPARE(peer->frames.size(), 7);
    QCOMPARE(int(Frame::byteAt(lastFrame(), Frame::OffMask)), 0x02);
}

void TestSending::copyDeviceSettings()
{
    addSerialDevice(1, 2);
    addSerialDevice(2, 4);
    addSerialDevice(3, 2);
    ST_BasicData source;
    source.set(Field::brightness, 12);
    source.set(Field::mvSource3, 4);
    ds->deviceList.at(0)->setBasicData(source);

    // Different types: nothing copied, nothing sent.
    ds->selectDevice(1, 0);
    QTRY_COMPARE(peer->frames.size(), 1);
    QCOMPARE(ds->copyDeviceSettings(0, 1), -1);
    QCOMPARE(ds->copyDeviceSettings(0, 9), -1);
    QCOMPARE(ds->curDevice->getBasicData(), ST_BasicData());

    ds->selectDevice(2, 0);
    QCOMPARE(ds->copyDeviceSettings(0, 2), 0);
    QCOMPARE(ds->deviceList.at(2)->getBasicData(), source);
    QTRY_COMPARE(peer->frames.size(), 8);
    QCOMPARE(int(Frame::byteAt(peer->frames.at(2).bytes, Frame::OffData)), 0); // source byte 7
    QCOMPARE(int(Frame::byteAt(peer->frames.at(2).bytes, Frame::OffData + 2)), 0x04);   // record byte 9
    QCOMPARE(int(Frame::byteAt(peer->frames.at(3).bytes, Frame::OffData)), 12);
}

void TestSending::replyWatchCountsTimeouts()
{
    addSerialDevice(1, 1);
    QSignalSpy timeout(ds, &DataStream::signalDeviceTimeout);
    ds->selectDevice(0, 0);
    QVERIFY(ds->recvTimer->isActive());
    for (int i = 0; i < DataStream::TimeoutsTolerated; ++i)
        ds->slotRecvTimerTimeout();
    QVERIFY(!ds->recvTimer->isActive());
    QCOMPARE(timeout.count(), 0);
    ds->slotRecvTimerTimeout();
    QCOMPARE(timeout.count(), 1);
    ds->slotRecvTimerTimeout();
    QCOMPARE(timeout.count(), 2);

    // Any frame is a sign of life; one too short to have a command code is not.
    ds->selectDevice(0, 0);
    ds->slotUartRecvFrame(QByteArray::fromHex("5a0800000100"));
    QVERIFY(ds->recvTimer->isActive());
    QCOMPARE(ds->timeoutCount, 10);
    ds->slotUartRecvFrame(Frame::build({0, 1, 1, 1}, 0x01, {}));
    QVERIFY(!ds->recvTimer->isActive());
    QCOMPARE(ds->timeoutCount, 0);
    for (int i = 0; i < DataStream::TimeoutsTolerated; ++i)
        ds->slotRecvTimerTimeout();
    QCOMPARE(timeout.count(), 2);
}

void TestSending::searchRepliesOnTheSerialLine()
{
    QSignalSpy found(ds, &DataStream::signalFoundDevice);
    QSignalSpy dup(ds, &DataStream::signalIDIP_Error);
    addSerialDevice(12, 4);
    addSerialDevice(3, 128);
    addSerialDevice(12, 1);
    QCOMPARE(ds->deviceList.size(), 2);
    QCOMPARE(int(ds->deviceList.at(0)->deviceId), 12);
    QCOMPARE(ds->deviceList.at(0)->screenCount, 3);
    QCOMPARE(ds->deviceList.at(1)->screenCount, 2);
    QCOMPARE(dup.count(), 1);
    QCOMPARE(found.count(), 2);
    QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("RS ID : 12"));
    QCOMPARE(found.at(1).at(0).toString(), QStringLiteral("RS ID : 3"));

    // A settings reply fills the current device and is announced once.
    QSignalSpy recv(ds, &DataStream::signalRecvBasicData);
    ds->selectDevice(0, 2);
    QByteArray payload(54, 'x');
    payload[0] = 50;
    ds->slotUartRecvFrame(Frame::build({0, 0x04, 4, 12}, Frame::CmdRead, QByteArray(1, '\0') + payload));
    QCOMPARE(recv.count(), 1);
    QCOMPARE(recv.at(0).at(0).value<ST_BasicData>().get(Field::brightness), 50);
    QCOMPARE(ds->basicData.get(Field::brightness), 50);
    QCOMPARE(ds->curDevice->inputText[2], QString(18, QLatin1Char('x')));
    QCOMPARE(ds->curDevice->inputText[0], QStringLiteral("No Signal"));
}

void TestSending::framesOfTheOtherLinkAreIgnored()
{
    addSerialDevice(1, 1);
    ds->selectDevice(0, 0);
    ds->linkMode = DataStream::LinkNetwork;
    ds->slotUartRecvFrame(searchReply(5, 1));
    QVERIFY(ds->recvTimer->isActive());
    QCOMPARE(ds->deviceList.size(), 1);
    ds->linkMode = DataStream::LinkSerial;
    ds->slotUdpRecvFrame(QStringLiteral("10.77.0.5"), searchReply(5, 1));
    QVERIFY(ds->recvTimer->isActive());
    QCOMPARE(ds->deviceList.size(), 1);
}

QTEST_GUILESS_MAIN(TestSending)
#include "tst_sending.moc"
