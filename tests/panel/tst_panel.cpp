// The window against simulated monitors on "LAN", inside network namespaces made
// by this test: every option button writes its own field and nothing else, levels
// and sliders, the refresh from a received record, the layout and enable rules by
// device type, the copy menu, the connection panel, and copies that keep their
// target whatever the operator does during their pauses.
#include <QtTest>


#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include "controltable.h"
#include "d_radiobutton.h"
#include "datastream.h"
#include "mainwindow.h"
#include "netlab.h"
#include "networklink.h"
#include "simulator.h"
#include "typerules.h"
#include "ui_mainwindow.h"

using namespace Sim;

namespace {
QStringList gMessages;
void captureMessage(QWidget *, const QString &title, const QString &text, bool)
{
    gMessages << (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}
// Monitors by device-list row: type and last address field (the list is sorted by it).
const QList<QPair<int, int>> kMonitors{{1, 11}, {2, 12}, {3, 13}, {4, 14}, {4, 15}, {5, 16}, {6, 17}, {128, 28}, {129, 29}};
enum Row { One, Two, Three, QuadA, QuadB, Five, Six, Type128, Type129 };
QString addr(int row) { return QStringLiteral("10.77.0.%1").arg(kMonitors.at(row).second); }

// Setting command that carries a record byte, from the frame layout.
int commandFor(int byte)
{
    return byte <= 6 ? 0x01 : byte <= 9 ? 0x00 : byte <= 12 ? 0x02 : byte <= 15 ? 0x03 : byte <= 20 ? 0x04 : 0x05;
}
// Record bytes a settings reply brings from a monitor that is not of type 2.
bool travels(int byte) { return byte <= 7 || (byte >= 10 && byte <= 21); }

struct Sent {
    QString to;
    QByteArray frame;
    int command() const { return static_cast<std::uint8_t>(frame.at(8)); }
    int mask() const { return static_cast<std::uint8_t>(frame.at(4)); }
};
} // namespace

class TestPanel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void optionButtonsWriteOnlyTheirField_data();
    void optionButtonsWriteOnlyTheirField();
    void customButtonsWriteTheirSlotOrWindow_data();
    void customButtonsWriteTheirSlotOrWindow();
    void levelsAndSliders_data();
    void levelsAndSliders();
    void recordIsShown_data();
    void recordIsShown();
    void connectionPanel();
    void editsSurviveARefresh();
    void umdTextStaysWithItsMonitor_data();
    void umdTextStaysWithItsMonitor();
    void copyKeepsItsTarget_data();
    void copyKeepsItsTarget();

private:
    bool search();
    bool pick(int row, int screen = -1);
    SimMonitor &mon(int row) { return sim.monitors[row]; }
    template <class T = QWidget>
    T *widget(const QString &name) const { return w->findChild<T *>(name); }
    QList<Sent> sentTo(const QString &ip, int from = 0) const;
    int applied() const;

    NetLab *lab = nullptr;
    Simulator sim;
    NetworkLink *link = nullptr;
    MainWindow *w = nullptr;
    QList<Sent> sent; // every frame the monitors received, in order
};

void TestPanel::initTestCase()
{
    QString why;
    if (!NetLab::available(&why))
        QSKIP(qPrintable(why));
    usePanelStyle();
    showMessage = captureMessage;
    lab = new NetLab;
    const QString panelNs = lab->addNamespace(QStringLiteral("panel"));
    const QString monNs = lab->addNamespace(QStringLiteral("mons"));
    QStringList cidrs;
    for (int row = 0; row < kMonitors.size(); ++row) {
        sim.monitors << makeMonitor(kMonitors.at(row).first, row + 1, addr(row), QStringLiteral("ROW %1").arg(row));
        cidrs << addr(row) + QStringLiteral("/24");
    }
    QVERIFY(!lab->link(panelNs, {QStringLiteral("10.77.0.1/24")}, monNs, cidrs).isEmpty());
    QVERIFY(NetLab::enter(panelNs));
    link = new NetworkLink(&sim);
    QVERIFY2(link->adopt(lab->udpSocketIn(monNs, QStringLiteral("0.0.0.0"), NetworkLink::MonitorPort), &why),
             qPrintable(why));
    sim.logFrames = true;
    connect(&sim, &Simulator::logLine, this, [this](const QString &line) {
        const QStringList parts = line.split(QLatin1Char(' '));
        if (parts.size() > 10 && parts.at(0) == QLatin1String("<"))
            sent << Sent{parts.at(1), QByteArray::fromHex(parts.mid(2).join(QString()).toLatin1())};
    });
    w = new MainWindow;
    QVERIFY(search());
}

void TestPanel::cleanupTestCase()
{
    delete w;
    delete link;
    delete lab;
}

void TestPanel::cleanup()
{
    if (w)
        w->readTimer->stop(); // reads are the test's own unless a case needs the timer
    QVERIFY2(gMessages.isEmpty(), qPrintable(gMessages.join('\n')));
}

bool TestPanel::search()
{
    QSignalSpy completed(dataStream, &DataStream::signalSearchCompleted);
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    const bool done = completed.wait(10000);
    w->readTimer->stop();
    return done && w->ui->listWidget->count() == kMonitors.size();
}

bool TestPanel::pick(int row, int screen)
{
    QSignalSpy recv(dataStream, &DataStream::signalRecvBasicData);
    w->on_listWidget_clicked(row);
    if (!recv.wait(3000))
        return false;
    if (screen < 0)
        return true;
    w->screenIndexChanged(screen, true);
    return recv.wait(3000);
}

QList<Sent> TestPanel::sentTo(const QString &ip, int from) const
{
    QList<Sent> out;
    for (int i = from; i < sent.size(); ++i)
        if (sent.at(i).to == ip)
            out << sent.at(i);
    return out;
}

int TestPanel::applied() const
{
    int n = 0;
    for (const SimMonitor &m : sim.monitors)
        n += m.commandsApplied;
    return n;
}

// byte, bits of the field in it, and the button of the group's highest value with
// that value in place.
void TestPanel::optionButtonsWriteOnlyTheirField_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("top");
    QTest::addColumn<int>("topBits");
    const struct { const char *title; int byte, mask; const char *top; int bits; } rows[] = {
        {"Color Temp:", 6, 0x07, "radioButton_8", 5},      {"Center Marker", 10, 0x08, "radioButton_10", 0x08},
        {"Marker Color", 10, 0x07, "radioButton_15", 4},   {"Aspect Marker", 11, 0xF0, "radioButton_129", 0x90},
        {"Safety Marker", 11, 0x07, "radioButton_28", 6},  {"Aspect Mat", 12, 0x70, "radioButton_36", 0x70},
        {"Thickness", 12, 0x0F, "radioButton_43", 7},      {"Tally", 21, 0x30, "radioButton_112", 0x30},
        {"Sources", 7, 0xFF, "radioButton_153", 12},       {"Level Meter", 14, 0x10, "radioButton_51", 0x10},
        {"Audio Vector", 14, 0x20, "radioButton_126", 0x20}, {"Vector Ch", 14, 0x0F, "radioButton_59", 7},
        {"Audio Ch", 15, 0x0F, "radioButton_142", 7},      {"Freeze", 16, 0x80, "radioButton_60", 0x80},
        {"Overscan", 20, 0x20, "radioButton_62", 0x20},    {"Display Scan", 20, 0x18, "radioButton_152", 0x10},
        {"Scan", 16, 0x30, "radioButton_66", 0x20},        {"Aspect", 16, 0x0F, "radioButton_155", 9},
        {"Vector", 17, 0x80, "radioButton_73", 0x80},      {"ColorBar", 17, 0x60, "radioButton_77", 0x40},
        {"Image Flip", 17, 0x03, "radioButton_81", 3},     {"Check Field", 17, 0x1C, "radioButton_86", 0x10},
        {"Timecode", 18, 0x0C, "radioButton_89", 0x08},    {"H/V Delay", 18, 0x03, "radioButton_93", 3},
        {"Wave", 19, 0xE0, "radioButton_98", 0x80},        {"Histogram", 19, 0x18, "radioButton_102", 0x18},
        {"Peaking", 19, 0x04, "radioButton_103", 0x04},    {"False Color", 18, 0x70, "radioButton_134", 0x40},
        {"Exposure", 19, 0x01, "radioButton_108", 0x01},   {"Full Mode", 20, 0x07, "radioButton_149", 6},
    };
    for (const auto &r : rows)
        QTest::newRow(r.title) << r.title << r.byte << r.mask << r.top << r.bits;
}

// Each button of a group, last to first (so every group ends on its first value),
// sends its field in the right setting command, changes nothing else, and no two
// buttons of a group send the same value.
void TestPanel::optionButtonsWriteOnlyTheirField()
{
    QFETCH(QString, title);
    QFETCH(int, byte);
    QFETCH(int, mask);
    QFETCH(QString, top);
    QFETCH(int, topBits);
    const auto g = std::find_if(kChoiceGroups.begin(), kChoiceGroups.end(),
                                [&](const ChoiceGroup &c) { return title == QLatin1String(c.title); });
    QVERIFY(g != kChoiceGroups.end());
    QVERIFY(pick(Six));
    const ST_BasicData &record = mon(Six).screens[0].record;
    QSet<int> values;
    for (auto c = std::make_reverse_iterator(g->choices.end()); c != std::make_reverse_iterator(g->choices.begin()); ++c) {
        auto *b = widget<QRadioButton>(QLatin1String(c->object));
        QVERIFY2(b && b->isEnabled(), c->object);
        const ST_BasicData before = record;
        const int from = sent.size();
        b->click();
        QTRY_VERIFY(sentTo(addr(Six), from).size() == 1);
        QCOMPARE(sentTo(addr(Six), from).first().command(), commandFor(byte));
        for (int k = 0; k < ST_BasicData::Size; ++k)
            QCOMPARE(record.byte(k) & (k == byte ? ~mask : 0xFF), before.byte(k) & (k == byte ? ~mask : 0xFF));
        values.insert(record.byte(byte) & mask);
        if (top == QLatin1String(c->object))
            QCOMPARE(record.byte(byte) & mask, topBits);
    }
    QCOMPARE(values.size(), int(g->choices.size()));
}

void TestPanel::customButtonsWriteTheirSlotOrWindow_data()
{
    QTest::addColumn<int>("firstId");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("shift");
    const struct { const char *name; int first, count, byte, shift; } rows[] = {
        {"UMD 1 on", 0, 2, 21, 3},  {"UMD 1 colour", 2, 7, 21, 0},  {"UMD 2 on", 9, 2, 22, 3},  {"UMD 2 colour", 11, 7, 22, 0},
        {"UMD 3 on", 18, 2, 22, 7}, {"UMD 3 colour", 20, 7, 22, 4}, {"UMD 4 on", 27, 2, 23, 3}, {"UMD 4 colour", 29, 7, 23, 0},
        {"MV 1 source", 36, 6, 8, 0}, {"MV 2 source", 42, 6, 8, 4}, {"MV 3 source", 48, 6, 9, 0}, {"MV 4 source", 54, 6, 9, 4}};
    for (const auto &r : rows)
        QTest::newRow(r.name) << r.first << r.count << r.byte << r.shift;
}

// On a type-2 monitor, the button of id first + k releases value k into its bits.
void TestPanel::customButtonsWriteTheirSlotOrWindow()
{
    QFETCH(int, firstId);
    QFETCH(int, count);
    QFETCH(int, byte);
    QFETCH(int, shift);
    QVERIFY(pick(Two));
    const int mask = (count == 2 ? 1 : 7) << shift;
    const ST_BasicData &record = mon(Two).screens[0].record;
    for (int k = count - 1; k >= 0; --k) {
        const int from = sent.size();
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w->customButtons.at(firstId + k), &release);
        QTRY_VERIFY(sentTo(addr(Two), from).size() == 1);
        QCOMPARE(sentTo(addr(Two), from).first().command(), commandFor(byte));
        QCOMPARE(record.byte(byte) & mask, k << shift);
        QVERIFY(w->customButtons.at(firstId + k)->isChecked());
    }
}

void TestPanel::levelsAndSliders_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("bits");
    QTest::newRow("brightness") << "spinBox" << 77 << 0 << 0xFF << 77;
    QTest::newRow("saturation, dragged: sent once, on release") << "saturationSlider" << 61 << 2 << 0xFF << 61;
    QTest::newRow("backlight") << "spinBox_6" << 99 << 5 << 0xFF << 99;
    QTest::newRow("volume") << "spinBox_13" << 33 << 13 << 0xFF << 33;
    QTest::newRow("thickness") << "horizontalSlider" << 5 << 12 << 0x0F << 5;
    QTest::newRow("audio right out shows channel + 1") << "horizontalSlider_8" << 5 << 15 << 0xF0 << 0x40;
    QTest::newRow("audio left out shows channel + 1") << "horizontalSlider_9" << 16 << 15 << 0x0F << 15;
}

void TestPanel::levelsAndSliders()
{
    QFETCH(QString, control);
    QFETCH(int, value);
    QFETCH(int, byte);
    QFETCH(int, mask);
    QFETCH(int, bits);
    QVERIFY(pick(Six));
    const int from = sent.size();
    auto *slider = widget<QSlider>(control);
    if (auto *spin = widget<QSpinBox>(control)) {
        spin->setValue(value);
    } else if (control == "saturationSlider") {
        slider->setSliderDown(true);
        for (int v : {20, 21, value - 1, value})
            slider->setValue(v);
        QVERIFY(w->readDelay > 100); // no read while the handle is held
        slider->setSliderDown(false);
    } else {
        slider->setValue(value);
    }
    QTRY_COMPARE(mon(Six).screens[0].record.byte(byte) & mask, bits);
    QCOMPARE(sentTo(addr(Six), from).size(), 1);
    QCOMPARE(sentTo(addr(Six), from).first().command(), commandFor(byte));
    QCOMPARE(w->readDelay, 4); // the periodic read waits four ticks after a send
}

// A record byte set on the monitor and read: "first" (when not -1), then "then".
// What the panel shows, as "name:state" (#id names a custom button): checked,
// value=N, off/on (enabled; off/F or on/F=V: and the state table has field F's
// value V, 0 if not given, off or on alike), out/in (moved out of sight or not),
// hidden/shown, max=N, text=T, tabs=N (enabled UMD tabs); "menu:" lists the screen
// copy menu. Whatever the row, the option buttons in sight are what the type offers.
void TestPanel::recordIsShown_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("then");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("picture level") << int(Six) << 0 << 10 << 91 << QStringList{"brightnessSlider:value=91", "spinBox:value=91"};
    QTest::newRow("volume") << int(Six) << 13 << 5 << 33 << QStringList{"horizontalSlider_7:value=33"};
    QTest::newRow("audio outputs, pair without a button") << int(Six) << 15 << 0x00 << 0x4A
        << QStringList{"horizontalSlider_8:value=5", "horizontalSlider_9:value=11", "radioButton_135:checked"};
    QTest::newRow("aspect marker 10 has no button") << int(Six) << 11 << 0x93 << 0xA3
        << QStringList{"radioButton_129:checked", "radioButton_25:checked"};
    QTest::newRow("source 12 has no button") << int(Six) << 7 << 0x07 << 0x0C << QStringList{"radioButton_49:checked"};
    QTest::newRow("wave, histogram, peaking, exposure") << int(Six) << 19 << 0x00 << 0x9D << QStringList{
        "radioButton_98:checked", "radioButton_102:checked", "radioButton_103:checked", "radioButton_108:checked"};
    QTest::newRow("thickness above the type's maximum") << int(Six) << 12 << 0x73 << 0x6B
        << QStringList{"radioButton_39:checked", "radioButton_35:checked", "horizontalSlider:value=7"};
    QTest::newRow("freeze, scan, aspect") << int(Six) << 16 << 0x00 << 0xA9
        << QStringList{"radioButton_60:checked", "radioButton_66:checked", "radioButton_155:checked"};
    QTest::newRow("tally and UMD 1") << int(Six) << 21 << 0x00 << 0x2B
        << QStringList{"radioButton_111:checked", "#1:checked", "#5:checked"};
    QTest::newRow("MV 1 and MV 2 source 7") << int(Two) << 8 << 0x00 << 0x75 << QStringList{"#41:checked", "#42:checked"};
    QTest::newRow("UMD 4") << int(Two) << 23 << 0x00 << 0x0D << QStringList{"#28:checked", "#34:checked"};
    QTest::newRow("type 1") << int(One) << 7 << -1 << 0 << QStringList{"radioButton_45:out", "radioButton_48:in", "menu:All",
        "pushButton_2:hidden", "radioButton_44:text=SDI", "horizontalSlider:max=7", "enableMV:hidden", "groupBox_44:out"};
    QTest::newRow("type 2") << int(Two) << 7 << -1 << 0 << QStringList{"enableMV:shown", "groupBox_21:off/imageFlip", "tabWidget:tabs=1",
        "horizontalSlider:max=15", "radioButton_153:out", "radioButton_45:in", "radioButton_44:text=SDI1", "multiVideo:hidden"};
    QTest::newRow("type 2, multiview on") << int(Two) << 7 << -1 << 0x10 << QStringList{"multiVideo:shown", "tabWidget:tabs=4",
        "groupBox_12:hidden", "Marker_button:off/centerMarker", "groupBox_36:hidden", "groupBox_15:off/freeze"};
    QTest::newRow("type 3") << int(Three) << 7 << -1 << 0 << QStringList{"horizontalSlider:max=15", "groupBox_21:off",
        "radioButton_45:out", "radioButton_49:in", "enableMV:hidden"};
    QTest::newRow("type 4") << int(QuadA) << 7 << -1 << 0 << QStringList{"radioButton_95:off/wave=1", "groupBox_21:on/imageFlip", "menu:2 3 All",
        "pushButton_3:shown", "pushButton_4:hidden", "groupBox_38:out", "groupBox_37:out", "groupBox_18:in", "enableMV:hidden", "groupBox_12:shown"};
    QTest::newRow("type 5 on SDI") << int(Five) << 7 << -1 << 0 << QStringList{"radioButton_120:text=1.3X",
        "radioButton_155:text=2.0X MAG", "radioButton_136:off/audioLeftOut=1", "radioButton_142:off", "tabWidget:out", "groupBox_36:in"};
    QTest::newRow("type 5 turned to HDMI on the monitor") << int(Five) << 7 << 0 << 7
        << QStringList{"radioButton_136:on/audioLeftOut=1", "radioButton_138:on", "radioButton_139:off/audioLeftOut=4", "radioButton_142:off"};
    QTest::newRow("type 6, no row of its own") << int(Six) << 7 << -1 << 0 << QStringList{"radioButton_153:out",
        "groupBox_40:out", "radioButton_45:in", "radioButton_95:on/wave=1", "radioButton_136:on", "radioButton_142:on/audioLeftOut=7"};
    QTest::newRow("type 128") << int(Type128) << 7 << -1 << 0 << QStringList{"radioButton_107:text=On",
        "radioButton_100:text=On", "radioButton_95:off/wave=1", "radioButton_3:out", "radioButton_153:in"};
    QTest::newRow("type 128, grid marker") << int(Type128) << 11 << -1 << 0x80
        << QStringList{"groupBox_5:off/centerMarker", "groupBox_8:off/safetyMarker", "groupBox_9:off", "groupBox_13:on/levelMeter"};
    QTest::newRow("type 128, zoom") << int(Type128) << 16 << -1 << 0x20
        << QStringList{"widget_2:off/markerColor", "groupBox_44:off/displayScan", "groupBox_18:off/aspect"};
    QTest::newRow("type 128 on HDMI") << int(Type128) << 7 << -1 << 7 << QStringList{"groupBox_40:off/audioLeftOut", "groupBox_17:on/scan"};
    QTest::newRow("type 129, peaking on") << int(Type129) << 19 << -1 << 0x04
        << QStringList{"brightnessSlider:off/brightness", "groupBox_4:off/colorTemp", "radioButton_132:out", "tabWidget:out"};
    QTest::newRow("type 129, peaking off") << int(Type129) << 19 << 0x04 << 0 << QStringList{"spinBox:on/brightness"};
}

void TestPanel::recordIsShown()
{
    QFETCH(int, row);
    QFETCH(int, byte);
    QFETCH(int, first);
    QFETCH(int, then);
    QFETCH(QStringList, shown);
    const int commands = applied();
    const int from = sent.size();
    for (int value : {first, then})
        if (value >= 0) {
            mon(row).screens[0].record.setByte(byte, static_cast<std::uint8_t>(value));
            QVERIFY(pick(row, 0));
        }
    QCOMPARE(shownType, kMonitors.at(row).first);
    const auto tabs = [](const QTabWidget *t) { int n = 0; for (int i = 0; i < t->count(); ++i) n += t->isTabEnabled(i); return n; };
    QStringList menu;
    for (const QAction *a : w->copyMenu->actions())
        menu << a->text().mid(8); // "Copy To " left out
    for (const QString &e : shown) {
        const QString name = e.section(':', 0, 0), full = e.section(':', 1), why = full.section('/', 1);
        const bool rule = full.startsWith("on/") || full.startsWith("off/");
        const QString state = rule ? full.section('/', 0, 0) : full;
        Field f;
        if (rule)
            QVERIFY2(fieldByName(qPrintable(why.section('=', 0, 0)), &f)
                         && TypeRules::whyOff(shownType, w->shownData, f, why.section('=', 1).toInt()).isEmpty() == (state == "on"),
                     qPrintable(e));
        QWidget *c = name.startsWith('#') ? w->customButtons.at(name.mid(1).toInt()) : widget(name);
        const auto *b = qobject_cast<QAbstractButton *>(c);
        const auto *slider = qobject_cast<QAbstractSlider *>(c);
        const bool ok = name == "menu" ? menu.join(' ') == state
            : state == "checked" ? b->isChecked() : state == "off" ? !c->isEnabled() : state == "on" ? c->isEnabled()
            : state == "out" ? c->pos() == QPoint(-2000, -2000) : state == "in" ? c->pos() != QPoint(-2000, -2000)
            : state == "hidden" ? c->isHidden() : state == "shown" ? !c->isHidden()
            : state.startsWith("value=") ? (slider ? slider->value() : qobject_cast<QSpinBox *>(c)->value()) == state.mid(6).toInt()
            : state.startsWith("tabs=") ? tabs(qobject_cast<QTabWidget *>(c)) == state.mid(5).toInt()
            : state.startsWith("max=") ? slider->maximum() == state.mid(4).toInt()
            : b->text() == state.mid(5);
        QVERIFY2(ok, qPrintable(e));
    }
    // An option value is in sight, on its button or on a slider of its field, exactly
    // when the type offers it; a group box exactly when one of its buttons is.
    const auto inSight = [](const QWidget *c) {
        for (; c && !c->isWindow(); c = c->parentWidget())
            if (c->pos() == QPoint(-2000, -2000))
                return false;
        return true;
    };
    for (const ChoiceGroup &g : kChoiceGroups) {
        bool some = false;
        for (const Choice &c : g.choices) {
            const bool slider = std::any_of(kSliderRows.begin(), kSliderRows.end(),
                                            [&](const SliderRow &s) { return s.field == g.field && inSight(widget(s.object)); });
            some |= inSight(widget(c.object));
            QVERIFY2((inSight(widget(c.object)) || slider) == TypeRules::offers(shownType, g.field, c.value), c.object);
        }
        QVERIFY2(inSight(widget(g.choices.begin()->object)->parentWidget()) == some, g.title);
    }
    // A refresh sends nothing back, not even for the sliders it moved.
    QCOMPARE(applied(), commands);
    for (const Sent &f : sentTo(addr(row), from))
        QCOMPARE(f.command(), 0xFE);
}

void TestPanel::connectionPanel()
{
    for (int row = 0; row < kMonitors.size(); ++row)
        QCOMPARE(w->ui->listWidget->item(row)->text(), addr(row));
    QVERIFY(w->ui->pushButton_10->isEnabled() && w->ui->pushButton_11->isEnabled());
    // A key that moves the current row picks that row, once: from a three-screen
    // monitor on screen 3 up to a one-screen monitor, read on its own screen.
    QVERIFY(pick(QuadA, 2));
    int from = sent.size();
    QSignalSpy recv(dataStream, &DataStream::signalRecvBasicData);
    QTest::keyClick(w->ui->listWidget, Qt::Key_Up);
    QVERIFY(recv.wait(3000));
    QCOMPARE(sentTo(addr(Three), from).size(), 1);
    QCOMPARE(sentTo(addr(Three), from).first().mask(), 0x01);
    QCOMPARE(w->screenNums, 1);
    QCOMPARE(w->ui->listWidget->item(Three)->background().color(), QColor(160, 160, 160));

    QVERIFY(pick(QuadB));
    for (int row = 0; row < kMonitors.size(); ++row)
        QCOMPARE(w->ui->listWidget->item(row)->background().color(), row == QuadB ? QColor(160, 160, 160) : QColor(235, 235, 235));

    // "All" over monitors of different types is refused.
    w->ui->checkBox->setChecked(true);
    QCOMPARE(std::exchange(gMessages, {}), QStringList{"Err: Device Type Mismatch !"});
    QVERIFY(!w->ui->checkBox->isChecked() && !dataStream->sendToAll && w->ui->listWidget->isEnabled());

    // So is "Paste" onto another type; nothing is sent.
    w->ui->pushButton_10->click();
    QVERIFY(pick(Five));
    const auto checkAll = [this](bool on) { // "All" checked over types made alike for the check
        for (MachineDevice *d : dataStream->deviceList)
            d->deviceType = 4;
        w->ui->checkBox->setChecked(on);
        for (int row = 0; row < kMonitors.size(); ++row)
            dataStream->deviceList.at(row)->deviceType = kMonitors.at(row).first;
    };
    checkAll(true);
    const int commands = applied();
    w->ui->pushButton_11->click();
    QCOMPARE(std::exchange(gMessages, {}), QStringList{"Err: Device Type Mismatch !"});
    QVERIFY(pick(Five) && applied() == commands); // its reply comes after anything sent before
    QCOMPARE(w->ui->pushButton_10->text(), QStringLiteral("Copy"));
    w->readDelay = 0;
    w->slotReadMachine(); // the periodic read unlocks the panel, the list as "All" says
    QVERIFY(!w->isPanelLocked() && !w->ui->listWidget->isEnabled());
    checkAll(false);
    QVERIFY(w->ui->listWidget->isEnabled() && !dataStream->sendToAll);

    // A swapped serial adapter is listed under its own name, even with the count unchanged.
    const int ports = QSerialPortInfo::availablePorts().size();
    w->ui->comboBox->clear();
    for (int i = 0; i < ports; ++i)
        w->ui->comboBox->addItem(QStringLiteral("ttyGONE%1").arg(i));
    QTest::mousePress(w->ui->radioButton_2, Qt::LeftButton);
    const bool relisted = w->ui->comboBox->findText(QStringLiteral("ttyGONE0")) < 0;
    QCOMPARE(w->ui->listWidget->count(), 0); // the link switch empties the list
    QTest::mousePress(w->ui->radioButton, Qt::LeftButton);

    // Picking a port or a rate in the combos sets it on the serial port at once.
    for (const char *rate : {"19200", "57600"}) {
        w->ui->comboBox_2->setCurrentText(rate);
        QCOMPARE(dataStream->port->serial->baudRate(), QByteArray(rate).toInt());
    }
    w->ui->comboBox->addItem(QStringLiteral("ttyPICKED"));
    w->ui->comboBox->setCurrentText(QStringLiteral("ttyPICKED"));
    QCOMPARE(dataStream->port->serial->portName(), QStringLiteral("ttyPICKED"));

    w->slotUartSearchProgress(125); // the last ID probed
    QCOMPARE(w->searchProgress->value(), 100);

    // The ninth reply time-out in a row is reported and empties the list.
    QVERIFY(search());
    for (int i = 0; i < 9; ++i) {
        QVERIFY(gMessages.isEmpty());
        dataStream->slotRecvTimerTimeout();
    }
    QCOMPARE(std::exchange(gMessages, {}), QStringList{"Time Out !"});
    QVERIFY(dataStream->deviceList.isEmpty() && w->ui->listWidget->count() == 0 && !w->ui->pushButton_11->isEnabled());
    QVERIFY(search());
    QVERIFY(relisted);

    // "Paste" from a row not read since the search (QuadB, armed above) sends nothing.
    QVERIFY(pick(QuadA));
    from = sent.size();
    w->ui->pushButton_11->click();
    QCOMPARE(std::exchange(gMessages, {}), QStringList{"Err: Source Device Not Read !"});
    QVERIFY(pick(QuadA) && !w->isPanelLocked());
    QCOMPARE(sentTo(addr(QuadA), from).size(), 1); // its read, nothing else

    // So are edits and screen copies on a monitor picked but not answered yet: the
    // working record is still the one picked before. QuadB was never read (its
    // record is all zeros); QuadA was, but the record in hand is then QuadB's.
    w->on_listWidget_clicked(QuadB);
    w->actCopyAll->trigger();
    QVERIFY(pick(QuadB));
    w->on_listWidget_clicked(QuadA);
    widget<QRadioButton>("radioButton_111")->click(); // tally 2
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->customButtons.at(3), &release); // UMD 1 red
    const QString notRead = QStringLiteral("Err: Device Not Read !");
    QCOMPARE(std::exchange(gMessages, {}), (QStringList{notRead, notRead, notRead}));
    QVERIFY(pick(QuadA));
    for (int row : {QuadA, QuadB})
        for (const Sent &f : sentTo(addr(row), from))
            QCOMPARE(f.command(), 0xFE);
}

// An edit not yet read back stays shown when "Enable MV" refreshes the page.
void TestPanel::editsSurviveARefresh()
{
    mon(Two).screens[0].record.setByte(7, 0);
    QVERIFY(pick(Two));
    const int level = mon(Two).screens[0].record.byte(0) == 80 ? 81 : 80;
    w->ui->spinBox->setValue(level);
    w->ui->enableMV->click();
    QCOMPARE(w->ui->brightnessSlider->value(), level);
    QTRY_COMPARE(mon(Two).screens[0].record.get(Field::mvMode), 1);
    w->ui->enableMV->click();

    // A settings reply between a keystroke and the deferred send reads text index 15;
    // the text still goes to the UMD it was typed for.
    w->ui->lineEdit_3->setText(QStringLiteral("CAM 3"));
    w->umdResendTimer->stop();
    QVERIFY(pick(Two));
    QCOMPARE(dataStream->basicData.get(Field::umdTextIndex), 15);
    w->slotUmdReSend();
    QTRY_COMPARE(mon(Two).screens[0].umdText[2], QByteArray("CAM 3           "));
}

void TestPanel::umdTextStaysWithItsMonitor_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("keys typed one by one") << "";
    QTest::newRow("another monitor picked during the wait") << "row";
    QTest::newRow("another screen picked during the wait") << "screen";
}

// Keys typed into a UMD editor send one frame, 300 ms after the last, with the whole
// text, to the monitor and screen typed for, whatever is picked meanwhile. Monitors
// other than type 2 take any group-6 text as their label: a tally click on the other
// one sends the text known for it (none), and picking back shows the typed text again.
void TestPanel::umdTextStaysWithItsMonitor()
{
    QFETCH(QString, meanwhile);
    QVERIFY(pick(QuadA, 0));
    const QString text = QStringLiteral("FOR A %1").arg(meanwhile).trimmed();
    const int from = sent.size();
    QSignalSpy recv(dataStream, &DataStream::signalRecvBasicData);
    w->ui->lineEdit->selectAll();
    QTest::keyClicks(w->ui->lineEdit, text, Qt::NoModifier, 50); // a key every 100 ms: 50 before press and release
    if (meanwhile == "row")
        w->on_listWidget_clicked(QuadB);
    else if (meanwhile == "screen")
        w->screenIndexChanged(2, true);
    QTRY_COMPARE(mon(QuadA).screens[0].umdText[0], text.toLatin1().leftJustified(16, ' '));
    QStringList umdFrames;
    for (const Sent &f : sent.mid(from))
        if (f.command() == 0x05)
            umdFrames << QStringLiteral("%1/%2").arg(f.to).arg(f.mask());
    QCOMPARE(umdFrames, QStringList{addr(QuadA) + "/1"});
    if (meanwhile.isEmpty())
        return;

    const int other = meanwhile == "row" ? QuadB : QuadA, screen = meanwhile == "row" ? 0 : 2;
    QVERIFY(recv.count() || recv.wait(3000));
    QCOMPARE(w->ui->lineEdit->text(), QString());
    widget<QRadioButton>("radioButton_111")->click(); // tally 2
    QTRY_COMPARE(mon(other).screens[screen].record.byte(21) & 0x30, 0x20);
    QCOMPARE(mon(other).screens[screen].umdText[0], QByteArray(16, '\0'));
    QVERIFY(pick(QuadA, 0));
    QCOMPARE(w->ui->lineEdit->text(), text);
    QCOMPARE(dataStream->umdText, text.leftJustified(16, ' '));
}

void TestPanel::copyKeepsItsTarget_data()
{
    QTest::addColumn<bool>("paste");     // "Paste" from QuadA onto QuadB, else "Copy To All" on QuadA
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<int>("reads");        // read requests to the target; -1: not counted
    QTest::addColumn<QString>("readBack"); // last read request: address/mask
    QTest::newRow("copy to all, other row picked") << false << "row" << 0 << addr(QuadB) + "/01";
    QTest::newRow("copy to all, other screen picked") << false << "screen" << 2 << addr(QuadA) + "/04";
    QTest::newRow("copy to all, search") << false << "refresh" << 0 << addr(One) + "/01";
    // The edit's own send lets the periodic read resume before the copy ends.
    QTest::newRow("copy to all, brightness edited") << false << "edit" << -1 << addr(QuadA) + "/01";
    QTest::newRow("paste, search") << true << "refresh" << 0 << QString();
    QTest::newRow("paste") << true << "" << 0 << QString();
}

// Whatever the operator does during the pauses, every group of the copy reaches
// the monitor and screens it started with, in order; nothing else is written.
void TestPanel::copyKeepsItsTarget()
{
    QFETCH(bool, paste);
    QFETCH(QString, meanwhile);
    QFETCH(int, reads);
    QFETCH(QString, readBack);
    const int target = paste ? QuadB : QuadA;
    QVERIFY(pick(QuadA, 0));
    const ST_BasicData source = mon(QuadA).screens[0].record;
    if (paste) {
        w->ui->pushButton_10->click();
        QVERIFY(pick(QuadB, 0));
    }
    const QVector<SimMonitor> before = sim.monitors;
    const int from = sent.size();
    int edited = -1;
    QSignalSpy searched(dataStream, &DataStream::signalSearchCompleted);
    QMetaObject::Connection once = connect(&sim, &Simulator::logLine, this, [&] {
        if (sentTo(addr(target), from).isEmpty())
            return;
        disconnect(once);
        QTimer::singleShot(100, this, [&] {
            if (meanwhile == "row")
                w->on_listWidget_clicked(QuadB);
            else if (meanwhile == "screen")
                w->screenIndexChanged(2, true);
            else if (meanwhile == "refresh")
                QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
            else if (meanwhile == "edit")
                w->ui->spinBox->setValue(edited = source.byte(0) == 30 ? 31 : 30);
        });
    });
    w->readTimer->start();
    if (paste)
        w->ui->pushButton_11->click();
    else
        w->actCopyAll->trigger();
    if (meanwhile == "refresh")
        QVERIFY(searched.count() || searched.wait(10000));

    // Setting frames of the copy at the target (an edit goes to screen 1 on its own).
    const auto ofCopy = [&](bool masksToo) {
        QVector<int> seen;
        for (const Sent &f : sentTo(addr(target), from))
            if (f.command() != 0xFE && (f.mask() != 0x01 || paste))
                seen << (masksToo ? f.mask() : f.command());
        return seen;
    };
    const QVector<int> order{0x00, 0x01, 0x02, 0x04, 0x03, 0x05};
    QTRY_COMPARE(ofCopy(false), paste ? order : order + order);
    QCOMPARE(ofCopy(true), paste ? QVector<int>(6, 0x01) : QVector<int>(6, 0x02) + QVector<int>(6, 0x04));
    if (!readBack.isEmpty())
        QTRY_COMPARE(QStringLiteral("%1/%2 %3").arg(sent.last().to).arg(sent.last().mask(), 2, 16, QLatin1Char('0'))
                         .arg(sent.last().command(), 0, 16),
                     readBack + " fe");
    int readsSeen = 0;
    for (const Sent &f : sentTo(addr(target), from))
        readsSeen += f.command() == 0xFE;
    if (reads >= 0)
        QCOMPARE(readsSeen, reads);
    for (int s = paste ? 0 : 1; s < (paste ? 1 : mon(target).screenCount()); ++s)
        for (int k = 0; k < ST_BasicData::Size; ++k)
            QCOMPARE(int(mon(target).screens[s].record.byte(k)), int(travels(k) ? source.byte(k) : before[target].screens[s].record.byte(k)));
    for (int row = 0; row < kMonitors.size(); ++row)
        for (int s = 0; s < mon(row).screenCount(); ++s)
            if (row != target || (s == 0 && !paste))
                QCOMPARE(int(mon(row).screens[s].record.byte(0)), row == QuadA && edited >= 0 ? edited : int(before[row].screens[s].record.byte(0)));
    if (paste) {
        QVERIFY(w->isPanelLocked());
        w->readDelay = 0;
        w->slotReadMachine(); // the periodic read unlocks the panel
        QVERIFY(!w->isPanelLocked());
    }
}

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
