// Known-answer frames: every frame kind the panel builds, byte for byte.
#include <QtTest>

#include "frames.h"

class TestFrames : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswers_data();
    void knownAnswers();
    void settingCommands_data();
    void settingCommands();
    void umdTextField_data();
    void umdTextField();
    void readersStayInsideTheFrame();
};

void TestFrames::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("hex");
    ST_BasicData r;
    for (int i = 0; i < 6; ++i)
        r.setByte(i, 0x32);
    QTest::newRow("read request, serial, id 1, screen 0")
        << Frame::readRequest(Frame::LinkSerial, 0x01, 1) << QByteArray("5a0b000001ff0001fe64dd");
    QTest::newRow("group 1, serial, id 1, screen 0")
        << Frame::settingCommand(1, {Frame::LinkSerial, 0x01, 0xFF, 1}, r, {}, false)
        << QByteArray("5a12000001ff00010132323232323200" "9add");
    QTest::newRow("search request, network")
        << Frame::searchRequest(Frame::LinkNetwork, 0xFF) << QByteArray("5a0b002000ff00ffff82dd");
    QTest::newRow("search request, serial, probing 5")
        << Frame::searchRequest(Frame::LinkSerial, 5) << QByteArray("5a0b000000ff0005ff68dd");
    QTest::newRow("read request, network, screen 7, id 126")
        << Frame::readRequest(Frame::LinkNetwork, 0x80, 126) << QByteArray("5a0b002080ff007efe80dd");
}

void TestFrames::knownAnswers()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, hex);
    QCOMPARE(frame.toHex(), hex);
}

void TestFrames::settingCommands_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<bool>("type2");
    QTest::addColumn<QByteArray>("hex");
    // Record byte i holds 0x10 + i; network link, screen 2, device ID 7, UMD text "CAM 1<tab><A-umlaut>".
    QTest::newRow("group 1") << 1 << false << QByteArray("5a12002004ff000701101112131415161cdd");
    QTest::newRow("group 1, type 2") << 1 << true << QByteArray("5a12002004ff000701101112131415161cdd");
    QTest::newRow("group 2") << 2 << false << QByteArray("5a0e002004ff0007021a1b1ce5dd");
    QTest::newRow("group 3 is command 4") << 3 << false << QByteArray("5a10002004ff000704202122232442dd");
    QTest::newRow("group 4 is command 3") << 4 << false << QByteArray("5a0e002004ff0007031d1e1fefdd");
    QTest::newRow("group 5 is command 0") << 5 << false << QByteArray("5a0c002004ff00070017a7dd");
    QTest::newRow("group 5, type 2 adds bytes 8 and 9") << 5 << true << QByteArray("5a0e002004ff000700171819dadd");
    QTest::newRow("group 6, UMD text") << 6 << false
        << QByteArray("5a1c002004ff0007052543414d203120200000000000000000002cdd");
    QTest::newRow("group 6, type 2 adds bytes 22 and 23") << 6 << true
        << QByteArray("5a1e002004ff0007052543414d2031202000000000000000000026277bdd");
    QTest::newRow("group 0 builds nothing") << 0 << false << QByteArray();
    QTest::newRow("group 7 builds nothing") << 7 << true << QByteArray();
}

void TestFrames::settingCommands()
{
    QFETCH(int, group);
    QFETCH(bool, type2);
    QFETCH(QByteArray, hex);
    ST_BasicData r;
    for (int i = 0; i < ST_BasicData::Size; ++i)
        r.setByte(i, static_cast<std::uint8_t>(0x10 + i));
    const QString text = QStringLiteral("CAM 1\t") + QChar(0xC4);
    const QByteArray f = Frame::settingCommand(group, {Frame::LinkNetwork, 0x04, 0xFF, 7}, r, text, type2);
    QCOMPARE(f.toHex(), hex);
    if (!f.isEmpty())
        QCOMPARE(Frame::announcedLength(f), f.size());
}

void TestFrames::umdTextField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("padded by the panel") << "CAM 1           " << QByteArray("CAM 1           ");
    QTest::newRow("short text zero-filled") << "AB" << QByteArray("AB").append(14, '\0');
    QTest::newRow("cut at 16") << "0123456789ABCDEFGHIJ" << QByteArray("0123456789ABCDEF");
    QTest::newRow("tab and delete as blanks") << QString("A\tB\x7f") << QByteArray("A B ").append(12, '\0');
    QTest::newRow("non-ASCII as blank") << QString::fromUtf8("K\xc3\xb6ln") << QByteArray("K ln").append(12, '\0');
    QTest::newRow("tilde kept") << "~" << QByteArray("~").append(15, '\0');
}

void TestFrames::umdTextField()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, field);
    QCOMPARE(Frame::packUmdText(text), field);
}

void TestFrames::readersStayInsideTheFrame()
{
    const QByteArray shortFrame = QByteArray::fromHex("5a0b00");
    QVERIFY(!Frame::hasCommand(shortFrame));
    QCOMPARE(int(Frame::command(shortFrame)), 0);
    QCOMPARE(int(Frame::byteAt(shortFrame, -1)), 0);
    QCOMPARE(int(Frame::byteAt(shortFrame, 3)), 0);
    QVERIFY(Frame::hasCommand(QByteArray(9, '\0')));
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
