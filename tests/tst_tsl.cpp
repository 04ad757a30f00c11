// Tally receiver: v3.1 and v5 messages parsed byte for byte, the stream decoders under any
// chopping, and the receiver on the loopback interface. Expected values are read off the
// message layouts by hand.
#include <QtTest>
#include <QTcpSocket>
#include <QUdpSocket>

#include "tslreceiver.h"

using namespace Tsl;
using Displays = QVector<Display>;
using Packets = QVector<QByteArray>;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

constexpr Tally O = Tally::Off, R = Tally::Red, G = Tally::Green, A = Tally::Amber;

Display d31(int address, bool t1, bool t2, bool t3, bool t4, int brightness, const QString &label)
{
    return {31, 0, address, {t1, t2, t3, t4}, O, O, O, brightness, true, label};
}

Display d5(int screen, int index, Tally left, Tally text, Tally right, int brightness, const QString &label,
           bool hasLabel = true)
{
    return {50, screen, index, {}, left, text, right, brightness, hasLabel, label};
}

// v3.1 address 5, control 0x21: tally 1 on, brightness 2.
const QByteArray kCam1 = hex("8521") + "Cam 1           ";
// Address 126, control 0x3a: tally 2 and 4 on, brightness 3.
const QByteArray kStudio = hex("fe3a") + "Studio B Wide   ";
// v5 screen 1, index 3, control 0x00b9: right red, text green, left amber, brightness 2.
const QByteArray kAscii = hex("0f00 0000 0100 0300 b900 0500") + "CAM 3";
// v5 PBC 0x00fe, index 0x00fe, control 0x00fe (right green, text and left amber, brightness 3),
// 244 text bytes ending in 0xfe; then the same with DLE STX and every 0xfe doubled.
const QByteArray kBig = hex("fe00 0000 0000 fe00 fe00 f400") + QByteArray(243, 'x') + hex("fe");
const QByteArray kBigStuffed = hex("fe02 fefe00 0000 0000 fefe00 fefe00 f400") + QByteArray(243, 'x') + hex("fefe");
const Display kBigDisplay = d5(0, 254, A, A, G, 3, QString(243, 'x') + QChar(0xFE));
} // namespace

class TestTsl : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Displays>("expected");
        QTest::addColumn<bool>("error");
        const Display cam1 = d31(5, 1, 0, 0, 0, 2, "Cam 1");
        QTest::newRow("v3.1 one message") << 31 << kCam1 << Displays{cam1} << false;
        QTest::newRow("v3.1 two messages") << 31 << kCam1 + kStudio << Displays{cam1, d31(126, 0, 1, 0, 1, 3, "Studio B Wide")} << false;
        QTest::newRow("v3.1 garbage before") << 31 << hex("007f41") + kCam1 << Displays{cam1} << false;
        QTest::newRow("v3.1 partial last") << 31 << kCam1 + hex("8601") + "abc" << Displays{cam1} << false;
        QTest::newRow("v3.1 non-printable") << 31 << hex("870f 4101427f4309 00000000000000000000") << Displays{d31(7, 1, 1, 1, 1, 0, "A B C")} << false;
        QTest::newRow("v3.1 bad control, resync on it") << 31 << hex("85a121") + "Cam 1           " << Displays{d31(33, 1, 0, 0, 0, 2, "Cam 1")} << false;
        QTest::newRow("v3.1 0xff is no header") << 31 << hex("ff21") + "Cam 1           " << Displays{} << false;
        const Display a = d5(1, 1, O, O, O, 0, "A");
        QTest::newRow("v5 ascii") << 50 << kAscii << Displays{d5(1, 3, A, G, R, 2, "CAM 3")} << false;
        // Control 0x46: right green, text red, brightness 1; "Kamera Ü" + blank + an odd byte.
        QTest::newRow("v5 utf-16") << 50 << hex("1d00 0001 0200 0700 4600 1300 4b00 6100 6d00 6500 7200 6100 2000 dc00 2000 41")
                                   << Displays{d5(2, 7, O, R, G, 1, QStringLiteral("Kamera \u00dc"))} << false;
        QTest::newRow("v5 every screen and display") << 50 << hex("1200 0000 ffff 0100 0100 0200 4131 ffff 1000 0000")
                                                     << Displays{d5(0xFFFF, 1, O, O, R, 0, "A1"), d5(0xFFFF, 0xFFFF, R, O, O, 0, "")} << false;
        QTest::newRow("v5 control data") << 50 << hex("1400 0000 0000 0400 0c80 0300 010203 0500 0000 0100 58")
                                         << Displays{d5(0, 4, O, A, O, 0, "", false), d5(0, 5, O, O, O, 0, "X")} << false;
        QTest::newRow("v5 screen control") << 50 << hex("0b00 0002 0100 0300 0100 0100 5a") << Displays{} << false;
        QTest::newRow("v5 byte count past data") << 50 << hex("4000 0000 0100 0100 0000 0100 41") << Displays{a} << true;
        QTest::newRow("v5 length past packet") << 50 << hex("1400 0000 0100 0100 0000 0100 41 0200 0000 0900 616263") << Displays{a} << true;
        QTest::newRow("v5 bytes after packet") << 50 << hex("0b00 0000 0100 0100 0000 0100 41 0200 0000 0100 42") << Displays{a} << false;
        QTest::newRow("v5 stuffed") << 50 << kBigStuffed << Displays{kBigDisplay} << false;
    }
    void parse()
    {
        QFETCH(int, version);
        QFETCH(QByteArray, bytes);
        QFETCH(Displays, expected);
        QFETCH(bool, error);
        QString why;
        QCOMPARE(version == 31 ? parseV31(bytes) : parseV5(bytes, &why), expected);
        QCOMPARE(!why.isEmpty(), error);
    }

    void decoders_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<Packets>("expected");
        // Garbage, a doubled 0xfe before STX (data, no start), an unfinished packet, a lone DLE, an oversized packet.
        const QByteArray v5 = hex("00fe41") + kBigStuffed + hex("fefe02 fe02") + kAscii + hex("fe02 0f00 00 fe02") + kAscii
            + hex("fe02 0f00 fe41 fe02 ff7f 00 fe02") + kAscii;
        for (int chunk : {int(v5.size()), 1, 3})
            QTest::addRow("v5 chunk %d", chunk) << 50 << v5 << chunk << Packets{kBig, kAscii, kAscii, kAscii};
        // A header in the middle starts anew, 0xff ends a message and starts none.
        const QByteArray v31 = hex("4142") + kCam1.left(5) + kStudio + kCam1.left(9) + hex("ff") + "Cam" + kCam1;
        for (int chunk : {int(v31.size()), 1, 3})
            QTest::addRow("v3.1 chunk %d", chunk) << 31 << v31 << chunk << Packets{kStudio, kCam1};
    }
    void decoders()
    {
        QFETCH(int, version);
        QFETCH(QByteArray, stream);
        QFETCH(int, chunk);
        QFETCH(Packets, expected);
        V5StreamDecoder v5;
        V31StreamDecoder v31;
        Packets got;
        for (int i = 0; i < stream.size(); i += chunk)
            got += version == 50 ? v5.feed(stream.mid(i, chunk)) : v31.feed(stream.mid(i, chunk));
        QCOMPARE(got, expected);
    }

    void receiver()
    {
        Receiver r;
        QSignalSpy spy(&r, &Receiver::displayReceived);
        r.setMaxClients(1);
        QVERIFY2(r.listenTcp5(0, QHostAddress::LocalHost) && r.listenUdp31(0, QHostAddress::LocalHost),
                 qPrintable(r.errorString()));
        QTcpSocket tcp;
        tcp.connectToHost(QHostAddress::LocalHost, r.tcp5Port());
        QVERIFY(tcp.waitForConnected(5000));
        tcp.write(kBigStuffed.left(3)); // ends between the two bytes of a doubled 0xfe
        QVERIFY(tcp.waitForBytesWritten(5000));
        tcp.write(kBigStuffed.mid(3));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<Display>(), kBigDisplay);
        QUdpSocket udp;
        QCOMPARE(udp.writeDatagram(kCam1, QHostAddress::LocalHost, r.udp31Port()), qint64(18));
        QCOMPARE(udp.writeDatagram(kStudio, QHostAddress::LocalHost, r.udp31Port()), qint64(18));
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(spy.at(1).at(0).value<Display>(), d31(5, 1, 0, 0, 0, 2, "Cam 1"));
        // A client beyond the limit is closed; the one within it is still heard.
        QTcpSocket extra;
        extra.connectToHost(QHostAddress::LocalHost, r.tcp5Port());
        QTRY_COMPARE(extra.state(), QAbstractSocket::UnconnectedState);
        tcp.write(kBigStuffed);
        QTRY_COMPARE(spy.count(), 4);
        QCOMPARE(spy.at(3).at(0).value<Display>(), kBigDisplay);
        // A burst on every port (a mixer telling its whole state, or garbage) takes longer than
        // one turn to read; the message after it is heard, and so are later ones.
        QVERIFY(r.listenUdp5(0, QHostAddress::LocalHost));
        const auto sendAll = [&](const QByteArray &v31, const QByteArray &v5, const QByteArray &stream) {
            QCOMPARE(udp.writeDatagram(v31, QHostAddress::LocalHost, r.udp31Port()), qint64(v31.size()));
            QCOMPARE(udp.writeDatagram(v5, QHostAddress::LocalHost, r.udp5Port()), qint64(v5.size()));
            tcp.write(stream);
        };
        for (int i = 0; i < 100; ++i) // half of the datagrams valid; 96 KiB on TCP, more than its read buffer
            sendAll(i % 2 ? "junk" : kCam1, i % 2 ? "junk" : kAscii, QByteArray(700, 'j') + kBigStuffed);
        sendAll(kStudio, kAscii, kBigStuffed);
        QTRY_COMPARE(spy.count(), 4 + 200 + 3);
        sendAll(kStudio, kAscii, kBigStuffed);
        QTRY_COMPARE(spy.count(), 4 + 200 + 6);
        Displays last;
        for (int i = spy.count() - 3; i < spy.count(); ++i)
            last << spy.at(i).at(0).value<Display>();
        for (const Display &d : {d31(126, 0, 1, 0, 1, 3, "Studio B Wide"), d5(1, 3, A, G, R, 2, "CAM 3"), kBigDisplay})
            QVERIFY(last.contains(d));
    }
};

QTEST_GUILESS_MAIN(TestTsl)
#include "tst_tsl.moc"
