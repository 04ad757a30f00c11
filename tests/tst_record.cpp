// The settings record and the device record: field access, packet-group table,
// device types and the storing of a settings reply.
#include <QtTest>

#include "basicdata.h"
#include "machinedevice.h"

class TestRecord : public QObject
{
    Q_OBJECT
private slots:
    void fieldsStayInsideTheirByteAndDoNotOverlap();
    void writeClearsAndOrsKeepingOtherBits_data();
    void writeClearsAndOrsKeepingOtherBits();
    void fieldsAreFoundByName();
    void everySettingByteBelongsToOneGroup();
    void copiesAreIndependent();

    void newDeviceDefaults();
    void screenCountFollowsType_data();
    void screenCountFollowsType();
    void ipLastOctet_data();
    void ipLastOctet();
    void settingsReplyStoresPayload_data();
    void settingsReplyStoresPayload();
    void settingsReplyTouchesOnlyItsScreensInputText();
};

void TestRecord::fieldsStayInsideTheirByteAndDoNotOverlap()
{
    QMap<int, unsigned> used; // byte -> bits claimed (source and mvMode share byte 7 on purpose)
    for (const FieldInfo &f : kFields) {
        QVERIFY2(f.byte < ST_BasicData::SettingBytes, f.name);
        QVERIFY2(f.shift + f.width <= 8, f.name);
        QCOMPARE(int(fieldInfo(f.field).byte), int(f.byte)); // enum and table agree
        if (f.field == Field::mvMode)
            continue;
        const unsigned bits = ((1u << f.width) - 1u) << f.shift;
        QVERIFY2((used[f.byte] & bits) == 0, f.name);
        used[f.byte] |= bits;
    }
}

void TestRecord::writeClearsAndOrsKeepingOtherBits_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("after");
    QTest::newRow("overscan on keeps byte 20") << "overscan" << 0x9F << 1 << 0xBF;
    QTest::newRow("overscan off") << "overscan" << 0xFF << 0 << 0xDF;
    QTest::newRow("grid keeps safety marker") << "aspectMarker" << 0x53 << 8 << 0x83;
    QTest::newRow("safety marker keeps aspect") << "safetyMarker" << 0x87 << 2 << 0x82;
    QTest::newRow("mv mode on keeps source") << "mvMode" << 0x23 << 1 << 0x13;
    QTest::newRow("source writes whole byte") << "source" << 0x13 << 0 << 0x00;
    QTest::newRow("audio right keeps left") << "audioRightOut" << 0x05 << 15 << 0xF5;
    QTest::newRow("text index keeps umd4") << "umdTextIndex" << 0xFB << 2 << 0x2B;
    QTest::newRow("value masked to width") << "colorTemp" << 0xF8 << 0x0F << 0xFF;
    QTest::newRow("level whole byte") << "brightness" << 0x32 << 80 << 80;
}

void TestRecord::writeClearsAndOrsKeepingOtherBits()
{
    QFETCH(QString, field);
    QFETCH(int, before);
    QFETCH(int, value);
    QFETCH(int, after);
    Field f;
    QVERIFY(fieldByName(field.toLatin1().constData(), &f));
    ST_BasicData r;
    r.setByte(fieldInfo(f).byte, static_cast<std::uint8_t>(before));
    ST_BasicData untouched = r;
    r.set(f, value);
    QCOMPARE(int(r.byte(fieldInfo(f).byte)), after);
    untouched.setByte(fieldInfo(f).byte, static_cast<std::uint8_t>(after));
    QCOMPARE(r, untouched); // no other byte moved
    QCOMPARE(r.get(f), value & ((1 << fieldInfo(f).width) - 1));
}

void TestRecord::fieldsAreFoundByName()
{
    for (const FieldInfo &f : kFields) {
        Field found;
        QVERIFY2(fieldByName(f.name, &found), f.name);
        QCOMPARE(int(found), int(f.field));
    }
    QVERIFY(!fieldByName("reserved", nullptr));
    QVERIFY(!fieldByName(nullptr, nullptr));
}

void TestRecord::everySettingByteBelongsToOneGroup()
{
    QMap<int, int> groupOf;
    for (const GroupBytes &g : kGroups) {
        QCOMPARE(groupForCommand(g.command), &g);
        auto claim = [&](int b) {
            QVERIFY2(!groupOf.contains(b), qPrintable(QString::number(b)));
            groupOf[b] = g.group;
        };
        for (auto b : g.bytes)
            if (b >= 0)
                claim(b);
        for (auto b : g.type2Bytes)
            if (b >= 0)
                claim(b);
    }
    QCOMPARE(groupOf.size(), ST_BasicData::SettingBytes);
    for (const FieldInfo &f : kFields)
        QVERIFY2(groupOf.value(f.byte) == f.group, f.name);
    QVERIFY(!groupBytes(0));
    QVERIFY(!groupBytes(7));
    QVERIFY(!groupForCommand(0xFE));
}

void TestRecord::copiesAreIndependent()
{
    MachineDevice d;
    ST_BasicData r;
    r.setByte(58, 0xAB);
    r.set(Field::brightness, 77);
    d.setBasicData(r);
    r.set(Field::brightness, 1);
    QCOMPARE(d.getBasicData().get(Field::brightness), 77);
    QCOMPARE(int(d.getBasicData().byte(58)), 0xAB);
}

void TestRecord::newDeviceDefaults()
{
    MachineDevice d;
    QCOMPARE(d.screenCount, 1);
    QCOMPARE(d.deviceType, -1);
    QCOMPARE(d.deviceName, QStringLiteral("Null"));
    QCOMPARE(int(d.screenMask), 0);
    for (const QString &t : d.inputText)
        QCOMPARE(t, QStringLiteral("No Signal"));
    QCOMPARE(d.getBasicData(), ST_BasicData());
}

void TestRecord::screenCountFollowsType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("screens");
    for (int t : {4, 129})
        QTest::addRow("type %d", t) << t << 3;
    for (int t : {5, 128, 130, 131})
        QTest::addRow("type %d", t) << t << 2;
    for (int t : {-1, 0, 1, 2, 3, 6, 127, 132, 255})
        QTest::addRow("type %d", t) << t << 1;
}

void TestRecord::screenCountFollowsType()
{
    QFETCH(int, type);
    QFETCH(int, screens);
    MachineDevice d;
    d.setDeviceType(type);
    QCOMPARE(d.deviceType, type);
    QCOMPARE(d.screenCount, screens);
}

void TestRecord::ipLastOctet_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<int>("octet");
    QTest::newRow("plain") << "192.168.1.40" << 40;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("two dots") << "10.0.7" << 0;
    QTest::newRow("not a number") << "10.0.0.x" << 0;
    QTest::newRow("leading zero") << "10.0.0.007" << 7;
}

void TestRecord::ipLastOctet()
{
    QFETCH(QString, ip);
    QFETCH(int, octet);
    MachineDevice d;
    d.ipAddr = ip;
    QCOMPARE(d.ipLastOctet(), octet);
}

namespace {
QByteArray payloadOf(int length)
{
    QByteArray p(length, '\0');
    for (int i = 0; i < length; ++i)
        p[i] = static_cast<char>(i + 1);
    return p;
}
}

void TestRecord::settingsReplyStoresPayload_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("payloadLength");
    QTest::newRow("type 1, whole") << 1 << 54;
    QTest::newRow("type 2, whole") << 2 << 58;
    QTest::newRow("type 2, ends in type-2 bytes") << 2 << 55;
    QTest::newRow("type 1, ends inside input text") << 1 << 31;
    QTest::newRow("type 2, empty") << 2 << 0;
}

void TestRecord::settingsReplyStoresPayload()
{
    QFETCH(int, type);
    QFETCH(int, payloadLength);
    const QByteArray payload = payloadOf(payloadLength);
    auto at = [&](int k) { return k < payload.size() ? std::uint8_t(payload.at(k)) : std::uint8_t(0); };

    MachineDevice d;
    d.setDeviceType(type);
    ST_BasicData before;
    for (int i = 0; i < ST_BasicData::Size; ++i)
        before.setByte(i, 0xEE);
    d.setBasicData(before);
    d.applySettingsReply(payload, 0x01);
    const ST_BasicData r = d.getBasicData();

    for (int i = 0; i < 8; ++i)
        QCOMPARE(int(r.byte(i)), int(at(i)));
    for (int i = 10; i < 22; ++i)
        QCOMPARE(int(r.byte(i)), int(at(i - 2)));
    for (int i = 24; i < ST_BasicData::Size; ++i)
        QCOMPARE(int(r.byte(i)), 0xEE);
    if (type == 2) {
        QCOMPARE(int(r.byte(22)), int(at(54)));
        QCOMPARE(int(r.byte(23)), int(at(55) | 0xF0));
        QCOMPARE(int(r.byte(8)), int(at(56)));
        QCOMPARE(int(r.byte(9)), int(at(57)));
    } else {
        for (int i : {8, 9, 22, 23})
            QCOMPARE(int(r.byte(i)), 0xEE);
    }
    QCOMPARE(d.inputText[0].size(), 18);
    for (int i = 0; i < 18; ++i)
        QCOMPARE(d.inputText[0].at(i).unicode(), ushort(at(20 + i)));
    QCOMPARE(d.deviceName.size(), 16);
    for (int i = 0; i < 16; ++i)
        QCOMPARE(d.deviceName.at(i).unicode(), ushort(at(38 + i)));
}

void TestRecord::settingsReplyTouchesOnlyItsScreensInputText()
{
    const struct { std::uint8_t mask; int slot; } rows[] = {
        {0x01, 0}, {0x02, 1}, {0x04, 2}, {0x08, 3}, {0x10, 4}, {0x20, 5}, {0x40, 6}, {0x80, 7},
        {0x00, 0}, {0x06, 0}, {0xFF, 0}};
    for (const auto &row : rows) {
        MachineDevice d;
        QByteArray payload(54, 'A');
        payload[20] = '\xE9'; // Latin-1 e acute
        d.applySettingsReply(payload, row.mask);
        for (int s = 0; s < MachineDevice::MaxScreens; ++s) {
            if (s == row.slot) {
                QCOMPARE(d.inputText[s].at(0), QChar(0xE9));
            } else {
                QCOMPARE(d.inputText[s], QStringLiteral("No Signal"));
            }
        }
        QCOMPARE(screenOfMask(row.mask), row.slot);
    }
}

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
