// What goes over the wire, byte for byte: the settings record and its fields, the
// frames the panel builds, a settings reply stored into a device record, and the
// serial deframer and datagram check. Expected bytes are written out by hand from
// the frame layout, never produced by the code under test.
#include <QtTest>

#include "basicdata.h"
#include "framegatherer.h"
#include "frames.h"
#include "machinedevice.h"

using Frames = QList<QByteArray>;
using F = Field;

namespace {
// A value for every field, in record order: narrow fields use their top bit, whole bytes differ.
const QVector<QPair<Field, int>> kValues{
    {F::brightness, 0x81}, {F::contrast, 0x42}, {F::saturation, 0xC3}, {F::tint, 0x24}, {F::sharpness, 0xA5},
    {F::backLight, 0x96}, {F::colorTemp, 5}, {F::source, 0xCB}, {F::mvMode, 2}, {F::mvSource1, 6},
    {F::mvSource2, 7}, {F::mvSource3, 5}, {F::mvSource4, 4}, {F::markerColor, 7}, {F::centerMarker, 1},
    {F::safetyMarker, 6}, {F::aspectMarker, 11}, {F::markerThickness, 12}, {F::aspectMat, 5}, {F::volume, 0xE7},
    {F::vectorCh, 10}, {F::levelMeter, 1}, {F::audioVector, 1}, {F::audioLeftOut, 13}, {F::audioRightOut, 9},
    {F::aspect, 14}, {F::scan, 2}, {F::freeze, 1}, {F::imageFlip, 3}, {F::checkField, 5}, {F::colorBar, 2},
    {F::vector, 1}, {F::hvDelay, 2}, {F::timecode, 3}, {F::falseColor, 6}, {F::exposure, 1}, {F::peaking, 1},
    {F::histogram, 2}, {F::wave, 7}, {F::fullMode, 6}, {F::displayScan, 3}, {F::overscan, 1}, {F::umd1Color, 5},
    {F::umd1On, 1}, {F::tally, 2}, {F::umd2Color, 4}, {F::umd2On, 1}, {F::umd3Color, 7}, {F::umd3On, 1},
    {F::umd4Color, 6}, {F::umd4On, 1}, {F::umdTextIndex, 11}};
// Record bytes 0-23 those values make:
//  0-5 levels 81 42 c3 24 a5 96 | 6 colour temp 5: 05 | 7 source cb, then multiview 2 in bits 4-5: eb
//  8 mv1 6, mv2 7<<4: 76 | 9 mv3 5, mv4 4<<4: 45 | 10 colour 7, centre 1<<3: 0f
//  11 safety 6, aspect marker b<<4: b6 | 12 thickness c, mat 5<<4: 5c | 13 volume e7
//  14 channel a, meter 1<<4, audio vector 1<<5: 3a | 15 left d, right 9<<4: 9d
//  16 aspect e, scan 2<<4, freeze 1<<7: ae | 17 flip 3, check 5<<2, bar 2<<5, vector 1<<7: d7
//  18 delay 2, timecode 3<<2, false colour 6<<4: 6e | 19 exposure 1, peaking 1<<2, histogram 2<<3, wave 7<<5: f5
//  20 full 6, display scan 3<<3, overscan 1<<5: 3e | 21 umd1 5, on 1<<3, tally 2<<4: 2d
//  22 umd2 4, on 1<<3, umd3 7<<4, on 1<<7: fc | 23 umd4 6, on 1<<3, text index b<<4: be
const QByteArray kRecordHex("8142c324a59605eb76450fb65ce73a9daed76ef53e2dfcbe");
// The same with every bit that no field owns set (6: f8, 8 and 9: 88, 10: f0, 11: 08, 12: 80, 14: c0, 16: 40,
// 18: 80, 19: 02, 20 and 21: c0), so that a field reaching too far shows.
const QByteArray kReadHex("8142c324a596fdebfecdffbedce7fa9deed7eef7feedfcbe");
const QByteArray kReservedHex(70, 'e'); // bytes 24-58 hold 0xee throughout

QByteArray hex(const QByteArray &h) { return QByteArray::fromHex(h); }
QByteArray raw(const ST_BasicData &r) { return QByteArray(reinterpret_cast<const char *>(r.bytes.data()), r.Size); }

// Every field is first filled with ones, then set to its value.
ST_BasicData fullRecord()
{
    ST_BasicData r;
    std::fill(r.bytes.begin() + ST_BasicData::SettingBytes, r.bytes.end(), 0xEE);
    for (int pass = 0; pass < 2; ++pass)
        for (const auto &fv : kValues)
            r.set(fv.first, pass ? fv.second : 0xFF);
    return r;
}

const QByteArray kA = hex("5a0b000001ff0001fe64dd"); // read request
const QByteArray kC = hex("5a0b000000ff0005ff68dd"); // search request
// A reply that carries a whole read request (start byte included) as data.
const QByteArray kB = hex("5a16000004020005fe" "5a0b000001ff0001fe64dd" "1edd");
const QByteArray kMax = hex("5a0004") + QByteArray(1021, '\x01'); // 1024 bytes, the longest frame
} // namespace

class TestWire : public QObject
{
    Q_OBJECT
private slots:
    void fields_data();
    void fields();
    void built_data();
    void built();
    void settingsReply_data();
    void settingsReply();
    void gatherer_data();
    void gatherer();
    void gathererOverTime();
};

void TestWire::fields_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("value");
    for (const auto &fv : kValues)
        if (fv.first != F::source) // written over by the multiview mode
            QTest::newRow(fieldInfo(fv.first).name) << int(fv.first) << fv.second;
    QTest::newRow("source reads the whole byte 7") << int(F::source) << 0xEB;
}

void TestWire::fields()
{
    QFETCH(int, field);
    QFETCH(int, value);
    ST_BasicData r;
    std::copy_n(hex(kReadHex).constData(), ST_BasicData::SettingBytes, r.bytes.begin());
    QCOMPARE(r.get(Field(field)), value);
    QCOMPARE(kValues.size(), int(F::Count)); // a new field needs a value above
}

void TestWire::built_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");
    const ST_BasicData r = fullRecord();
    QTest::newRow("record from every field") << raw(r) << hex(kRecordHex + kReservedHex);
    // Setting commands to the network, screen 3, ID 7, from that record; "CAM 1" is 43 41 4d 20 31.
    const struct { int group; const char *plain, *type2; } groups[] = {
        {1, "5a12002004ff0007018142c324a5960581dd", nullptr}, // nullptr: type 2 gets the same frame
        {2, "5a0e002004ff0007020fb65cb5dd", nullptr},
        {3, "5a10002004ff000704aed76ef53ebedd", nullptr},
        {4, "5a0e002004ff000703e73a9d53dd", nullptr},
        {5, "5a0c002004ff000700eb7bdd", "5a0e002004ff000700eb764538dd"},
        {6, "5a1c002004ff0007052d43414d20310000000000000000000000f4dd",
         "5a1e002004ff0007052d43414d20310000000000000000000000fcbeb0dd"},
        {0, "", ""}, {7, "", ""}}; // no such group: nothing
    for (const auto &g : groups)
        for (bool type2 : {false, true})
            QTest::addRow("group %d%s", g.group, type2 ? ", type 2" : "")
                << Frame::settingCommand(g.group, {0x20, 0x04, 0xFF, 7}, r, "CAM 1", type2)
                << hex(type2 && g.type2 ? g.type2 : g.plain);
    QTest::newRow("read, serial, ID 1, screen 1") << Frame::readRequest(0x00, 0x01, 1) << kA;
    QTest::newRow("read, network, ID 126, screen 8") << Frame::readRequest(0x20, 0x80, 126) << hex("5a0b002080ff007efe80dd");
    QTest::newRow("search, serial, probing 5") << Frame::searchRequest(0x00, 5) << kC;
    QTest::newRow("search, network") << Frame::searchRequest(0x20, 0xFF) << hex("5a0b002000ff00ffff82dd");

    auto umd = [](const char *text) { return Frame::packUmdText(QString::fromUtf8(text)); };
    QTest::newRow("UMD text zero-filled") << umd("AB") << hex("4142" "0000000000000000000000000000");
    QTest::newRow("UMD cut at 16, blank and tilde kept") << umd(" ~CAM 1 0123456789") << QByteArray(" ~CAM 1 01234567");
    // Tab, 0x1f, delete, o-umlaut and the two halves of an emoji each become a blank.
    QTest::newRow("UMD unprintables as blanks") << umd("A\t\x1f\x7f\xc3\xb6\xf0\x9f\x98\x80Z")
                                                << hex("41202020202020" "5a" "0000000000000000");
}

void TestWire::built()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    QCOMPARE(bytes.toHex(), expected.toHex());
}

void TestWire::settingsReply_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("screens");
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("slot"); // the input text the reply fills
    QTest::newRow("type 2, screen 1") << 2 << 1 << 0x01 << 0;
    QTest::newRow("type 2, no screen in the mask") << 2 << 1 << 0x00 << 0;
    QTest::newRow("type 1, two screens in the mask") << 1 << 1 << 0x06 << 0;
    QTest::newRow("type 4, screen 3") << 4 << 3 << 0x04 << 2;
    QTest::newRow("type 129, screen 8") << 129 << 3 << 0x80 << 7;
    QTest::newRow("type 5, screen 2") << 5 << 2 << 0x02 << 1;
    QTest::newRow("type 128, screen 5") << 128 << 2 << 0x10 << 4;
    QTest::newRow("type 130, screen 2") << 130 << 2 << 0x02 << 1;
    QTest::newRow("type 131, screen 7") << 131 << 2 << 0x40 << 6;
    QTest::newRow("type 132, all screens") << 132 << 1 << 0xFF << 0;
}

void TestWire::settingsReply()
{
    QFETCH(int, type);
    QFETCH(int, screens);
    QFETCH(int, mask);
    QFETCH(int, slot);
    // Record bytes, 18 characters of input text, 16 of name, then the type-2 bytes.
    const QByteArray payload = hex("c0c1c2c3c4c5c6c7" "cacbcccdcecfd0d1d2d3d4d5") + QByteArray("SDI 1 Cam\xe9ra 1080i")
        + QByteArray("QUAD RACK       ") + hex("d607c8c9");
    // Payload 0-7 -> record 0-7, 8-19 -> 10-21; type 2 also 54 -> 22, 55 -> 23 (top nibble set), 56-57 -> 8-9.
    // Every other byte keeps its 0xee.
    const QByteArray record = type == 2 ? "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6f7"
                                        : "c0c1c2c3c4c5c6c7eeeecacbcccdcecfd0d1d2d3d4d5eeee";
    MachineDevice d;
    d.setDeviceType(type);
    QCOMPARE(d.screenCount, screens);
    d.basicData.bytes.fill(0xEE);
    d.applySettingsReply(payload, std::uint8_t(mask));
    QCOMPARE(raw(d.basicData).toHex(), record + kReservedHex);
    for (int s = 0; s < MachineDevice::MaxScreens; ++s)
        QCOMPARE(d.inputText[s], s == slot ? QString::fromLatin1("SDI 1 Cam\xe9ra 1080i") : QString("No Signal"));
    QCOMPARE(d.deviceName, QString("QUAD RACK       "));
    // A cut reply reads nothing beyond its end (the sanitizer build watches) and leaves the reserved bytes.
    for (int n = 0; n < payload.size(); ++n) {
        d.applySettingsReply(payload.left(n), std::uint8_t(mask));
        QCOMPARE(raw(d.basicData).mid(24).toHex(), kReservedHex);
    }
}

void TestWire::gatherer_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Frames>("frames");
    QTest::addColumn<bool>("datagram"); // the whole stream, received as one datagram, is taken as a frame
    QTest::newRow("one frame") << kA << Frames{kA} << true;
    QTest::newRow("1024 bytes, high length byte counts") << kMax << Frames{kMax} << true;
    QTest::newRow("length says 12 of 11") << hex("5a0c000001ff0001fe64dd") << Frames{} << false;
    QTest::newRow("garbage before") << hex("0001ffdd") + kA << Frames{kA} << false;
    QTest::newRow("lone start byte before") << hex("5a") + kA << Frames{kA} << false;
    QTest::newRow("false start, length 10") << hex("5a0a00") + kB << Frames{kB} << false;
    QTest::newRow("false start, length 1025") << hex("5a0104") + kA << Frames{kA} << false;
    QTest::newRow("two frames in one chunk") << kA + kB << Frames{kA, kB} << false;
    QTest::newRow("start byte inside a frame is data") << kB + kC << Frames{kB, kC} << false;
    QTest::newRow("garbage between") << kA + hex("dd00") + kC << Frames{kA, kC} << false;
    QTest::newRow("incomplete tail is held") << kA + kB.left(15) << Frames{kA} << false;
    QTest::newRow("two bytes") << hex("5a02") << Frames{} << false;
}

void TestWire::gatherer()
{
    QFETCH(QByteArray, stream);
    QFETCH(Frames, frames);
    QFETCH(bool, datagram);
    QCOMPARE(isDatagramFrame(stream), datagram);
    for (int chunk : {int(stream.size()), 1, 3}) {
        FrameGatherer g;
        Frames got;
        for (int i = 0; i < stream.size(); i += chunk)
            got += g.feed(stream.mid(i, chunk), 0);
        QCOMPARE(got, frames);
    }
}

void TestWire::gathererOverTime()
{
    // However a stream is cut in three, the same frames come out and nothing stays behind.
    const QByteArray stream = hex("ee") + kB + kA + hex("5a0000") + kC;
    for (int i = 0; i <= stream.size(); ++i) {
        for (int j = i; j <= stream.size(); ++j) {
            FrameGatherer g;
            Frames got = g.feed(stream.left(i), 0);
            got += g.feed(stream.mid(i, j - i), 1);
            got += g.feed(stream.mid(j), 2);
            if (got != Frames{kB, kA, kC} || g.buffered() != 0)
                QFAIL(qPrintable(QStringLiteral("cut at %1 and %2").arg(i).arg(j)));
        }
    }
    // Whatever arrives, no more than one incomplete frame is held: bytes drawn from start bytes and
    // small numbers make many false starts that announce a possible length.
    FrameGatherer g;
    QRandomGenerator rng(7);
    for (int i = 0; i < 64 * 1024; ++i) {
        g.feed(QByteArray(1, "\x5a\x00\x01\x03\x04\xff\x0b\xdd"[rng.bounded(8)]), 0);
        QVERIFY(g.buffered() < 1024);
    }
    QVERIFY(g.feed(kB.left(12), 0).isEmpty());
    g.reset(); // the link clears the receive state before each write
    QCOMPARE(g.feed(kA, 0), Frames{kA});
    // A frame that trickles in with short gaps still completes...
    const qint64 pause = 201; // a partial frame is dropped after more than 200 ms of silence
    QVERIFY(g.feed(kB.left(5), 1000).isEmpty());
    QVERIFY(g.feed(kB.mid(5, 5), 1000 + pause - 2).isEmpty());
    QCOMPARE(g.feed(kB.mid(10), 1000 + 2 * pause - 4), Frames{kB});
    // ...but a cut one must not swallow the monitor's next answer, which comes after a pause.
    QVERIFY(g.feed(kB.left(12), 2000).isEmpty());
    QCOMPARE(g.feed(kA, 2000 + pause), Frames{kA});
}

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
