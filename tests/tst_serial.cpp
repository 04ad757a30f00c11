// The serial link end to end over a real pseudo-terminal: the search probes
// every ID, replies arrive whole however the line chops them, and a vanished
// far end closes the port instead of spinning.
#include <QtTest>

#include "datastream.h"
#include "ptypair.h"

namespace {
QByteArray searchReply(int id, int type)
{
    return Frame::build({Frame::LinkSerial, 0, static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(id)},
                        Frame::CmdSearch, {});
}

QByteArray settingsReply(std::uint8_t mask, int brightness, char textFill)
{
    QByteArray payload(54, textFill);
    for (int i = 0; i < 20; ++i)
        payload[i] = static_cast<char>(i);
    payload[0] = static_cast<char>(brightness);
    return Frame::build({Frame::LinkSerial, mask, 1, 5}, Frame::CmdRead, QByteArray(1, '\0') + payload);
}
} // namespace

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void searchProbesEveryIdAndFindsTheMonitors();
    void repliesArriveWholeHoweverChopped_data();
    void repliesArriveWholeHoweverChopped();
    void vanishedFarEndClosesThePort();
};

void TestSerial::searchProbesEveryIdAndFindsTheMonitors()
{
    PtyPair pty;
    SerialPeer peer(pty);
    const QMap<int, int> monitors{{0, 1}, {5, 4}, {126, 129}};
    peer.answer = [&](const QByteArray &f) {
        const int id = Frame::byteAt(f, Frame::OffId);
        return Frame::command(f) == Frame::CmdSearch && monitors.contains(id) ? searchReply(id, monitors[id]) : QByteArray();
    };
    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(pty.slavePath(), 38400);
    QSignalSpy progress(&ds, &DataStream::signalUartSearchProgress);
    QSignalSpy found(&ds, &DataStream::signalFoundDevice);
    QSignalSpy completed(&ds, &DataStream::signalSearchCompleted);

    for (int round = 0; round < 2; ++round) { // a second search starts at ID 0 again
        peer.frames.clear();
        progress.clear();
        found.clear();
        ds.startSearch();
        QVERIFY(completed.wait(15000));
        QCOMPARE(completed.count(), round + 1);
        QVERIFY(!ds.searching);
        QCOMPARE(peer.frames.size(), 127);
        for (int i = 0; i < 127; ++i)
            QCOMPARE(peer.frames.at(i).bytes, Frame::searchRequest(Frame::LinkSerial, static_cast<std::uint8_t>(i)));
        QCOMPARE(progress.count(), 126);
        QCOMPARE(progress.first().at(0).value<uchar>(), uchar(0));
        QCOMPARE(progress.last().at(0).value<uchar>(), uchar(125));
        QCOMPARE(found.count(), 3);
        QCOMPARE(found.at(2).at(0).toString(), QStringLiteral("RS ID : 126"));
        QCOMPARE(ds.deviceList.size(), 3);
        const int ids[] = {0, 5, 126}, screens[] = {1, 3, 3};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(int(ds.deviceList.at(i)->deviceId), ids[i]);
            QCOMPARE(ds.deviceList.at(i)->screenCount, screens[i]);
        }
    }

    // A read of monitor 5, screen 3.
    peer.answer = [&](const QByteArray &f) {
        return Frame::command(f) == Frame::CmdRead ? settingsReply(Frame::byteAt(f, Frame::OffMask), 77, 'S') : QByteArray();
    };
    QSignalSpy recv(&ds, &DataStream::signalRecvBasicData);
    ds.selectDevice(1, 2);
    QVERIFY(recv.wait(3000));
    QCOMPARE(peer.frames.last().bytes, Frame::readRequest(Frame::LinkSerial, 0x04, 5));
    QCOMPARE(ds.curDevice->getBasicData().get(Field::brightness), 77);
    QCOMPARE(ds.curDevice->inputText[2], QString(18, QLatin1Char('S')));
}

void TestSerial::repliesArriveWholeHoweverChopped_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QByteArray>("garbage");
    QTest::newRow("whole") << 0 << QByteArray();
    QTest::newRow("single bytes") << 1 << QByteArray();
    QTest::newRow("chunks of 5") << 5 << QByteArray();
    QTest::newRow("garbage before, single bytes") << 1 << QByteArray::fromHex("00ff5a01dd");
    QTest::newRow("false start with a huge length") << 7 << QByteArray::fromHex("5affff");
}

void TestSerial::repliesArriveWholeHoweverChopped()
{
    QFETCH(int, chunk);
    QFETCH(QByteArray, garbage);
    PtyPair pty;
    SerialPeer peer(pty);
    peer.chunkSize = chunk;
    // Two replies back to back, as a monitor that answers twice would send them.
    peer.answer = [&](const QByteArray &f) {
        const std::uint8_t mask = Frame::byteAt(f, Frame::OffMask);
        return garbage + settingsReply(mask, 10, 'a') + garbage + settingsReply(mask, 20, 'b');
    };
    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(pty.slavePath(), 57600);
    ds.slotUartRecvFrame(searchReply(5, 1));
    QSignalSpy recv(&ds, &DataStream::signalRecvBasicData);
    ds.selectDevice(0, 0);
    QTRY_COMPARE_WITH_TIMEOUT(recv.count(), 2, 5000);
    QCOMPARE(recv.at(0).at(0).value<ST_BasicData>().get(Field::brightness), 10);
    QCOMPARE(recv.at(1).at(0).value<ST_BasicData>().get(Field::brightness), 20);
    QCOMPARE(ds.curDevice->inputText[0], QString(18, QLatin1Char('b')));
}

void TestSerial::vanishedFarEndClosesThePort()
{
    auto pty = std::make_unique<PtyPair>();
    DataStream ds;
    ds.linkMode = DataStream::LinkSerial;
    ds.port->setSerialPort(pty->slavePath(), 19200);
    QVERIFY(ds.port->isSerialOpen());
    const QString path = pty->slavePath();
    pty.reset(); // the adapter is unplugged
    QTRY_VERIFY_WITH_TIMEOUT(!ds.port->isSerialOpen(), 5000);
    // Sending to a closed port is silent, and "Refresh" with a new line opens again.
    ds.slotUartRecvFrame(searchReply(1, 1));
    ds.selectDevice(0, 0);
    PtyPair again;
    SerialPeer peer(again);
    ds.port->setSerialPort(again.slavePath(), 19200);
    QVERIFY(ds.port->isSerialOpen());
    ds.selectDevice(0, 0);
    QTRY_COMPARE(peer.frames.size(), 1);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
