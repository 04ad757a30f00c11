// The setting controls of the real window against simulated monitors on a
// pseudo-terminal: every option button of the setting table, the follow-ups that
// re-run the type rules, the level, thickness and audio-output sliders, the UMD
// texts, and the guard that keeps a refresh from sending anything back.
//
// The periodic read is stopped here: every read is the test's own, so the frames
// the monitor receives can be counted exactly and no reply lands unasked.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyleOptionButton>

#include <fcntl.h>
#include <unistd.h>

#include "captions.h"
#include "controltable.h"
#include "datastream.h"
#include "mainwindow.h"
#include "panelsupport.h"
#include "seriallink.h"
#include "simulator.h"
#include "simdiff.h"
#include "ui_mainwindow.h"

using namespace Sim;

namespace {
// One monitor per kind of check; IDs in search order.
constexpr int kTableId = 3;    // type 130: two screens and no rule of its own
constexpr int kHdmiId = 7;     // type 1: has the "HDMI" input and the audio output sliders
constexpr int kRulesId = 20;   // type 128: "Grid" and "Scan" lock other groups
constexpr int kPeakingId = 42; // type 129: "Peaking" locks the picture levels
constexpr int kUmdId = 64;     // type 2: the UMD text index travels with the text
constexpr int kMarkerId = 125; // no monitor answers to it: marks the end of what was sent

QStringList gMessages;
void captureMessage(QWidget *, const QString &title, const QString &text, bool)
{
    gMessages << (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}


// Fails with the list of differences when the monitors do not hold what was expected.
#define COMPARE_MONITORS(expected)                                                                                 \
    do {                                                                                                           \
        const QStringList d_ = monitorDifferences((expected), sim.monitors);                                              \
        QVERIFY2(d_.isEmpty(), qPrintable(QStringLiteral("\n    ") + d_.join(QStringLiteral("\n    "))));           \
    } while (false)

// A record with every setting byte busy, bits that no control writes included,
// so that a handler touching more than its own field shows at the monitor.
ST_BasicData busyRecord()
{
    static const std::uint8_t bytes[ST_BasicData::SettingBytes] = {
        37, 64, 12, 90, 55, 71, // picture levels
        0xAA,                   // colour temperature 6500k; bits 3-7 only carried
        0x03,                   // input SDI4, multiview off
        0x15, 0x32,             // multiview sources
        0xA9,                   // bits 4-7 carried; centre marker on; marker colour red
        0x3A,                   // aspect marker 2.35:1; bit 3 carried; safety marker 93%
        0xD5,                   // bit 7 carried; aspect mat 5; thickness 5
        66,                     // volume
        0xD3,                   // bits 6-7 carried; level meter on; vector channels CH7 CH8
        0x52,                   // right output channel 6, left output channel 3
        0x62,                   // bit 6 carried; scan zoom; aspect 1.85:1
        0x4A,                   // colour bar 75%; check field green; image flip V
        0xA6,                   // bit 7 carried; false colour spectrum; timecode LTC; H/V delay V
        0x4B,                   // wave Y; histogram Y; bit 1 carried; exposure on
        0xCA,                   // bits 6-7 carried; display scan over scan; full mode YCbCr
        0xE6,                   // bits 6-7 carried; tally green; UMD 1 off, magenta
        0x91, 0x23,             // UMD slots 2-4
    };
    ST_BasicData r;
    for (int b = 0; b < ST_BasicData::SettingBytes; ++b)
        r.setByte(b, bytes[b]);
    return r;
}

int commandOf(const QByteArray &frame)
{
    return Frame::command(frame);
}

bool isSettingCommand(const QByteArray &frame)
{
    return Frame::hasCommand(frame) && groupForCommand(Frame::command(frame));
}

int commandOfGroup(int group)
{
    return groupBytes(group)->command;
}

// The value a setting command carries for one record byte; -1 when it carries none.
int carried(const QByteArray &frame, int recordByte)
{
    const GroupBytes *g = groupForCommand(Frame::command(frame));
    if (!g)
        return -1;
    int k = Frame::OffData;
    for (std::int8_t b : g->bytes) {
        if (b < 0)
            continue;
        if (b == recordByte)
            return Frame::byteAt(frame, k);
        ++k;
    }
    if (g->carriesUmdText)
        k += kUmdTextLength;
    for (std::int8_t b : g->type2Bytes) {
        if (b < 0)
            continue;
        if (k >= frame.size() - 2)
            return -1;
        if (b == recordByte)
            return Frame::byteAt(frame, k);
        ++k;
    }
    return -1;
}

// The UMD text field of a group-6 frame.
QByteArray umdTextOf(const QByteArray &frame)
{
    return frame.mid(Frame::OffData + 1, kUmdTextLength);
}

// The point of a radio button that a user clicks: its indicator.
QPoint indicatorOf(QAbstractButton *b)
{
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.text = b->text();
    return b->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &opt, b).center();
}

void release(QAbstractButton *b)
{
    QTest::mouseClick(b, Qt::LeftButton, {}, indicatorOf(b));
}
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void everyButtonSetsExactlyItsField_data();
    void everyButtonSetsExactlyItsField();
    void hdmiLimitsTheChannelsUntilAnotherInput();
    void typeRulesFollowGridAndScan_data();
    void typeRulesFollowGridAndScan();
    void peakingLocksThePictureLevels();

    void levelDragSendsOnceOnRelease_data();
    void levelDragSendsOnceOnRelease();
    void levelStepsSendEach_data();
    void levelStepsSendEach();
    void thicknessSendsDuringTheDrag_data();
    void thicknessSendsDuringTheDrag();
    void audioOutputDragSendsOnRelease_data();
    void audioOutputDragSendsOnRelease();
    void umdTextIsSentOnceAfterThePause_data();
    void umdTextIsSentOnceAfterThePause();
    void refreshSendsNothingBack();

private:
    int rowOf(int id) const;
    SimMonitor &monitor(int id) { return sim.monitors[sim.find(QString::number(id))]; }
    Screen &screenOf(int id, int screen) { return monitor(id).screens[screen]; }
    bool pick(int id, int screen);
    bool readBack();
    QString nextReadToken(int id, int screen);
    bool markEnd();
    QList<QByteArray> settingFramesSince(int from) const;
    void liftSourceLimits();
    void setLevel(int id, int screen, Field field, int value);

    struct Seen {
        QByteArray bytes;
        qint64 atMs;
    };

    Simulator sim;
    SerialLink *link = nullptr;
    MainWindow *w = nullptr;
    int markerFd = -1;
    int reads = 0;
    QElapsedTimer clock;
    QList<Seen> seen; // every frame the monitors received, in order
};

void TestSettings::initTestCase()
{
    usePanelStyle();
    showMessage = captureMessage;
    sim.monitors = {makeMonitor(130, kTableId, {}, QStringLiteral("TABLE")),
                    makeMonitor(1, kHdmiId, {}, QStringLiteral("HDMI")),
                    makeMonitor(128, kRulesId, {}, QStringLiteral("RULES")),
                    makeMonitor(129, kPeakingId, {}, QStringLiteral("PEAKING")),
                    makeMonitor(2, kUmdId, {}, QStringLiteral("UMD"))};
    sim.logFrames = true;
    clock.start();
    connect(&sim, &Simulator::logLine, this, [this](const QString &line) {
        if (line.startsWith(QLatin1String("< ")))
            seen << Seen{QByteArray::fromHex(line.mid(2).toLatin1()), clock.elapsed()};
    });
    link = new SerialLink(&sim);
    QString why;
    QVERIFY2(link->openPty(&why), qPrintable(why));
    // A second writer on the panel's side of the line: what it writes reaches the
    // monitors after everything the panel wrote before, and the panel never sees it.
    markerFd = ::open(QFile::encodeName(link->path()).constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    QVERIFY(markerFd >= 0);

    w = new MainWindow;
    QVERIFY(chooseSerialPort(w, link->path()));
    QSignalSpy completed(dataStream, &DataStream::signalSearchCompleted);
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    QVERIFY(completed.wait(20000));
    w->readTimer->stop();
    QCOMPARE(w->ui->listWidget->count(), sim.monitors.size());
    QVERIFY(pick(kTableId, 1));
}

void TestSettings::cleanupTestCase()
{
    if (markerFd >= 0)
        ::close(markerFd);
    delete w;
    delete link;
    QVERIFY2(gMessages.isEmpty(), qPrintable(gMessages.join('\n')));
}

int TestSettings::rowOf(int id) const
{
    const auto items = w->ui->listWidget->findItems(QStringLiteral("RS ID : %1").arg(id), Qt::MatchExactly);
    return items.isEmpty() ? -1 : w->ui->listWidget->row(items.first());
}

// Picks a monitor's row and screen the way the operator does, and waits for the
// answer to the last read. Whatever the panel sent before has been answered
// first; the screen's input text is given a new value just before the read, so
// only that read's answer can bring it, and it is the last answer on the way.
bool TestSettings::pick(int id, int screen)
{
    const int row = rowOf(id);
    if (row < 0 || !markEnd())
        return false;
    const QString token = nextReadToken(id, screen);
    w->on_listWidget_clicked(row);
    if (dataStream->currentScreen() != screen)
        QTest::mouseClick(w->screenButton(screen), Qt::LeftButton);
    return QTest::qWaitFor([&] { return dataStream->curDevice->inputText[screen].startsWith(token); }, 3000)
        && dataStream->curDevice->deviceId == id && shownType == monitor(id).type;
}

// Reads the screen on view again and waits for the refresh.
bool TestSettings::readBack()
{
    const MachineDevice *d = dataStream->curDevice;
    const int screen = dataStream->currentScreen();
    if (!markEnd())
        return false;
    const QString token = nextReadToken(d->deviceId, screen);
    w->on_listWidget_clicked(w->ui->listWidget->currentRow());
    return QTest::qWaitFor([&] { return dataStream->curDevice->inputText[screen].startsWith(token); }, 3000);
}

QString TestSettings::nextReadToken(int id, int screen)
{
    const QString token = QStringLiteral("read %1").arg(++reads);
    screenOf(id, screen).inputText = fixedText(token, SettingsReply::InputTextLength);
    return token;
}

// Writes a search request for an ID no monitor has and waits until the monitors
// received it: every frame the panel sent before has then arrived as well.
bool TestSettings::markEnd()
{
    const QByteArray marker = Frame::searchRequest(Frame::LinkSerial, kMarkerId);
    const int from = seen.size();
    if (::write(markerFd, marker.constData(), size_t(marker.size())) != marker.size())
        return false;
    return QTest::qWaitFor(
        [&] {
            for (int i = from; i < seen.size(); ++i)
                if (seen[i].bytes == marker)
                    return true;
            return false;
        },
        3000);
}

QList<QByteArray> TestSettings::settingFramesSince(int from) const
{
    QList<QByteArray> frames;
    for (int i = from; i < seen.size(); ++i)
        if (isSettingCommand(seen[i].bytes))
            frames << seen[i].bytes;
    return frames;
}

// "HDMI" leaves the upper channel pairs disabled until another input is chosen;
// choosing "SDI1" lifts that before a check that needs them.
void TestSettings::liftSourceLimits()
{
    if (!w->ui->radioButton_59->isEnabled() || w->ui->horizontalSlider_8->maximum() != 16) {
        release(w->ui->radioButton_44);
        QVERIFY(markEnd());
    }
    QVERIFY(w->ui->radioButton_59->isEnabled());
    QCOMPARE(w->ui->horizontalSlider_8->maximum(), 16);
}

void TestSettings::setLevel(int id, int screen, Field field, int value)
{
    screenOf(id, screen).record.set(field, value);
}

// ---------------------------------------------------------------- the setting table

void TestSettings::everyButtonSetsExactlyItsField_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("other"); // the value the monitor holds before: another button's
    for (const ChoiceGroup &g : kChoiceGroups) {
        QVector<int> values;
        for (const Choice &c : g.choices)
            values << c.value;
        int k = 0;
        for (const Choice &c : g.choices) {
            QTest::addRow("%s %s (%d)", g.title, c.object, c.value)
                << QString::fromLatin1(c.object) << int(g.field) << c.value << values[(k + 1) % values.size()];
            ++k;
        }
    }
}

void TestSettings::everyButtonSetsExactlyItsField()
{
    QFETCH(QString, object);
    QFETCH(int, field);
    QFETCH(int, value);
    QFETCH(int, other);
    const Field f = Field(field);
    auto *b = w->findChild<QRadioButton *>(object);
    QVERIFY(b);
    liftSourceLimits();

    ST_BasicData start = busyRecord();
    start.set(f, other);
    screenOf(kTableId, 1).record = start;
    QVERIFY(readBack());
    QVERIFY2(b->isEnabled(), "the button can be used on this monitor");
    // The button says what it sets, in the monitor's own words (the tally buttons
    // show colour swatches, and unnamed values show their number).
    const QString caption = b->text().simplified(), named = valueCaption(f, value);
    bool numeric = false;
    named.toInt(&numeric);
    if (caption.contains(QRegularExpression(QStringLiteral("\\w"))) && (!numeric || caption == named
                                                                        || caption.toInt() > 0))
        QCOMPARE(caption.toLower(), named.toLower());

    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();
    release(b);
    QVERIFY(markEnd());
    const QList<QByteArray> frames = settingFramesSince(from);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(commandOf(frames[0]), commandOfGroup(fieldInfo(f).group));
    QCOMPARE(int(Frame::byteAt(frames[0], Frame::OffMask)), 0x02);
    QCOMPARE(int(Frame::byteAt(frames[0], Frame::OffId)), kTableId);

    // The addressed screen holds the new value; nothing else changed anywhere.
    QVector<SimMonitor> expected = before;
    Screen &target = expected[sim.find(QString::number(kTableId))].screens[1];
    target.record.set(f, value);
    if (fieldInfo(f).group == 6) // the UMD text travels with the tally
        target.umdText[0] = Frame::packUmdText(dataStream->umdText);
    COMPARE_MONITORS(expected);
    if (object == QLatin1String("radioButton_124")) // "Grid": 8 in bits 4-7, bits 0-3 kept
        QCOMPARE(int(screenOf(kTableId, 1).record.byte(11)), 0x80 | (start.byte(11) & 0x0F));

    // Released again while selected: the same frame goes out again.
    QVERIFY(b->isChecked());
    const int again = seen.size();
    release(b);
    QVERIFY(markEnd());
    QCOMPARE(settingFramesSince(again), frames);
}

// ---------------------------------------------------------------- follow-ups

void TestSettings::hdmiLimitsTheChannelsUntilAnotherInput()
{
    QVERIFY(pick(kHdmiId, 0));
    liftSourceLimits();
    QRadioButton *const upper[] = {w->ui->radioButton_56, w->ui->radioButton_57, w->ui->radioButton_58,
                                   w->ui->radioButton_59, w->ui->radioButton_139, w->ui->radioButton_140,
                                   w->ui->radioButton_141, w->ui->radioButton_142};
    QSlider *const outputs[] = {w->ui->horizontalSlider_8, w->ui->horizontalSlider_9};
    auto limited = [&](bool on) {
        for (QRadioButton *b : upper)
            if (b->isEnabled() == on)
                return false;
        for (QSlider *s : outputs)
            if (s->maximum() != (on ? 8 : 16))
                return false;
        return true;
    };
    QVERIFY(limited(false));
    QVERIFY(w->ui->radioButton_55->isEnabled() && w->ui->radioButton_138->isEnabled());

    release(w->ui->radioButton_49); // HDMI
    QVERIFY(limited(true));
    QVERIFY(w->ui->radioButton_55->isEnabled() && w->ui->radioButton_138->isEnabled());
    QVERIFY(markEnd());
    QCOMPARE(screenOf(kHdmiId, 0).record.byte(7), std::uint8_t(7));

    release(w->ui->radioButton_153); // VIDEO runs no follow-up
    QVERIFY(limited(true));
    QVERIFY(markEnd());
    QCOMPARE(screenOf(kHdmiId, 0).record.byte(7), std::uint8_t(12));

    // A settings reply does not apply the limits either way.
    QVERIFY(readBack());
    QVERIFY(limited(true));

    release(w->ui->radioButton_44); // SDI
    QVERIFY(limited(false));
    QVERIFY(markEnd());
    QCOMPARE(screenOf(kHdmiId, 0).record.byte(7), std::uint8_t(0));
}

void TestSettings::typeRulesFollowGridAndScan_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("undo");
    QTest::addColumn<QStringList>("locked");
    const QStringList markerGroups{"groupBox_5", "groupBox_8", "groupBox_9"};
    const QStringList scanLocks{"widget_2", "groupBox_44", "groupBox_18"};
    QTest::newRow("Aspect Marker Grid") << "radioButton_124" << "radioButton_16" << markerGroups;
    QTest::newRow("Scan Pix To Pix") << "radioButton_65" << "radioButton_64" << scanLocks;
    QTest::newRow("Scan Zoom") << "radioButton_66" << "radioButton_64" << scanLocks;
}

void TestSettings::typeRulesFollowGridAndScan()
{
    QFETCH(QString, object);
    QFETCH(QString, undo);
    QFETCH(QStringList, locked);
    Screen &sc = screenOf(kRulesId, 0);
    sc.record.set(Field::source, 0);
    sc.record.set(Field::aspectMarker, 0);
    sc.record.set(Field::scan, 0);
    QVERIFY(pick(kRulesId, 0));
    auto enabled = [&] {
        QVector<bool> states;
        for (const QString &name : locked) {
            auto *wd = w->findChild<QWidget *>(name);
            states << (wd && wd->isEnabled());
        }
        return states;
    };
    const QVector<bool> allOn(locked.size(), true), allOff(locked.size(), false);
    QCOMPARE(enabled(), allOn);

    // The rules run in the handler itself, not at the next reply: none is read here.
    QSignalSpy replies(dataStream, &DataStream::signalRecvBasicData);
    release(w->findChild<QRadioButton *>(object));
    QCOMPARE(enabled(), allOff);
    release(w->findChild<QRadioButton *>(undo));
    QCOMPARE(enabled(), allOn);
    QCOMPARE(replies.count(), 0);
    QVERIFY(markEnd());
    QCOMPARE(sc.record.get(Field::aspectMarker), 0);
    QCOMPARE(sc.record.get(Field::scan), 0);
}

void TestSettings::peakingLocksThePictureLevels()
{
    screenOf(kPeakingId, 0).record.set(Field::peaking, 0);
    QVERIFY(pick(kPeakingId, 0));
    QWidget *const levels[] = {w->ui->brightnessSlider, w->ui->contrastSlider, w->ui->saturationSlider,
                               w->ui->tintSlider,       w->ui->sharpnessSlider, w->ui->spinBox,
                               w->ui->spinBox_2,        w->ui->spinBox_3,      w->ui->spinBox_4,
                               w->ui->spinBox_5,        w->ui->spinBox_6,      w->ui->groupBox_4};
    auto lockedCount = [&] {
        int n = 0;
        for (QWidget *wd : levels)
            n += wd->isEnabled() ? 0 : 1;
        return n;
    };
    QCOMPARE(lockedCount(), 0);
    QSignalSpy replies(dataStream, &DataStream::signalRecvBasicData);
    release(w->ui->radioButton_103); // Peaking On
    QCOMPARE(lockedCount(), int(std::size(levels)));
    QVERIFY(w->ui->backLightSlider->isEnabled()); // its spin box is locked, the slider is not
    release(w->ui->radioButton_104);               // Peaking Off
    QCOMPARE(lockedCount(), 0);
    QCOMPARE(replies.count(), 0);
    QVERIFY(markEnd());
    QCOMPARE(screenOf(kPeakingId, 0).record.get(Field::peaking), 0);
}

// ---------------------------------------------------------------- levels and sliders

void TestSettings::levelDragSendsOnceOnRelease_data()
{
    QTest::addColumn<QString>("sliderName");
    QTest::addColumn<QString>("spinName");
    QTest::addColumn<int>("field");
    QTest::newRow("brightness") << "brightnessSlider" << "spinBox" << int(Field::brightness);
    QTest::newRow("contrast") << "contrastSlider" << "spinBox_2" << int(Field::contrast);
    QTest::newRow("saturation") << "saturationSlider" << "spinBox_3" << int(Field::saturation);
    QTest::newRow("tint") << "tintSlider" << "spinBox_4" << int(Field::tint);
    QTest::newRow("sharpness") << "sharpnessSlider" << "spinBox_5" << int(Field::sharpness);
    QTest::newRow("backlight") << "backLightSlider" << "spinBox_6" << int(Field::backLight);
    QTest::newRow("volume") << "horizontalSlider_7" << "spinBox_13" << int(Field::volume);
}

void TestSettings::levelDragSendsOnceOnRelease()
{
    QFETCH(QString, sliderName);
    QFETCH(QString, spinName);
    QFETCH(int, field);
    const Field f = Field(field);
    auto *s = w->findChild<QSlider *>(sliderName);
    auto *spin = w->findChild<QSpinBox *>(spinName);
    QVERIFY(s && spin);
    setLevel(kTableId, 1, f, 50);
    QVERIFY(pick(kTableId, 1));
    QCOMPARE(s->value(), 50);
    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();

    s->setSliderDown(true); // the handle is grabbed
    QCOMPARE(w->readDelay, MainWindow::ReadDelayHeld);
    for (int v = 51; v <= 80; ++v)
        s->setValue(v);
    QCOMPARE(spin->value(), 80);
    QVERIFY(markEnd());
    QCOMPARE(settingFramesSince(from).size(), 0);

    s->setSliderDown(false); // and let go
    QVERIFY(markEnd());
    const QList<QByteArray> frames = settingFramesSince(from);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(commandOf(frames[0]), commandOfGroup(fieldInfo(f).group));
    QCOMPARE(carried(frames[0], fieldInfo(f).byte), 80);
    QVector<SimMonitor> expected = before;
    expected[sim.find(QString::number(kTableId))].screens[1].record.set(f, 80);
    COMPARE_MONITORS(expected);
    QVERIFY(!w->sliderHeld);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayAfterSend);
}

void TestSettings::levelStepsSendEach_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("start");
    QTest::addColumn<QList<int>>("sent");
    QTest::newRow("brightness slider, two arrow keys")
        << "brightnessSlider" << "right right" << int(Field::brightness) << 50 << QList<int>{51, 52};
    QTest::newRow("brightness slider, page up")
        << "brightnessSlider" << "pageup" << int(Field::brightness) << 50 << QList<int>{51};
    QTest::newRow("contrast slider, arrow key down")
        << "contrastSlider" << "left" << int(Field::contrast) << 50 << QList<int>{49};
    QTest::newRow("tint spin box, step down") << "spinBox_4" << "stepdown" << int(Field::tint) << 50 << QList<int>{49};
    QTest::newRow("sharpness spin box emptied, 7 and 5 typed")
        << "spinBox_5" << "type75" << int(Field::sharpness) << 50 << QList<int>{7, 75};
    QTest::newRow("backlight spin box, step up") << "spinBox_6" << "stepup" << int(Field::backLight) << 50
                                                 << QList<int>{51};
    QTest::newRow("volume slider, arrow key") << "horizontalSlider_7" << "right" << int(Field::volume) << 50
                                              << QList<int>{51};
    QTest::newRow("volume spin box, step up") << "spinBox_13" << "stepup" << int(Field::volume) << 50
                                              << QList<int>{51};
    QTest::newRow("thickness spin box, step up") << "spinBox_7" << "stepup" << int(Field::markerThickness) << 3
                                                 << QList<int>{4};
    QTest::newRow("thickness slider, arrow key") << "horizontalSlider" << "right" << int(Field::markerThickness) << 3
                                                 << QList<int>{4};
}

void TestSettings::levelStepsSendEach()
{
    QFETCH(QString, control);
    QFETCH(QString, action);
    QFETCH(int, field);
    QFETCH(int, start);
    QFETCH(QList<int>, sent);
    const Field f = Field(field);
    const FieldInfo &fi = fieldInfo(f);
    setLevel(kTableId, 1, f, start);
    QVERIFY(pick(kTableId, 1));
    auto *wd = w->findChild<QWidget *>(control);
    QVERIFY(wd);
    const int from = seen.size();

    if (action == QLatin1String("stepup")) {
        static_cast<QSpinBox *>(wd)->stepUp();
    } else if (action == QLatin1String("stepdown")) {
        static_cast<QSpinBox *>(wd)->stepDown();
    } else if (action == QLatin1String("type75")) {
        QTest::keyClick(wd, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(wd, Qt::Key_Backspace);
        QTest::keyClicks(wd, QStringLiteral("75"));
    } else {
        for (const QString &key : action.split(' '))
            QTest::keyClick(wd, key == QLatin1String("right") ? Qt::Key_Right
                                : key == QLatin1String("left") ? Qt::Key_Left
                                                               : Qt::Key_PageUp);
    }
    QVERIFY(markEnd());
    QList<int> values;
    for (const QByteArray &frame : settingFramesSince(from)) {
        QCOMPARE(commandOf(frame), commandOfGroup(fi.group));
        values << ((carried(frame, fi.byte) >> fi.shift) & ((1 << fi.width) - 1));
    }
    QCOMPARE(values, sent);
    QCOMPARE(screenOf(kTableId, 1).record.get(f), sent.last());
    QVERIFY(!w->sliderHeld);
}

void TestSettings::thicknessSendsDuringTheDrag_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QList<int>>("steps");
    QTest::newRow("type 130, up to 7") << kTableId << 1 << 7 << QList<int>{2, 3, 4, 7};
    QTest::newRow("type 2, up to 15") << kUmdId << 0 << 15 << QList<int>{2, 9, 15};
}

void TestSettings::thicknessSendsDuringTheDrag()
{
    QFETCH(int, id);
    QFETCH(int, screen);
    QFETCH(int, maximum);
    QFETCH(QList<int>, steps);
    screenOf(id, screen).record.setByte(12, 0xD1); // bit 7 carried, aspect mat 5, thickness 1
    QVERIFY(pick(id, screen));
    QSlider *s = w->ui->horizontalSlider;
    QCOMPARE(s->value(), 1);
    QCOMPARE(s->maximum(), maximum);
    QCOMPARE(w->ui->spinBox_7->maximum(), maximum);
    const int from = seen.size();

    s->setSliderDown(true);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayHeld);
    QList<int> sent, expected;
    for (int v : steps) {
        s->setValue(v);
        QCOMPARE(w->ui->spinBox_7->value(), v);
        // Each step reaches the monitor while the handle is still held.
        QVERIFY(markEnd());
        QCOMPARE(int(screenOf(id, screen).record.byte(12)), 0xD0 | v);
        expected << (0xD0 | v);
    }
    for (const QByteArray &frame : settingFramesSince(from)) {
        QCOMPARE(commandOf(frame), commandOfGroup(2));
        sent << carried(frame, 12);
    }
    QCOMPARE(sent, expected);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayAfterSend);
    s->setSliderDown(false);
    QCOMPARE(w->readDelay, 1);
    QVERIFY(markEnd());
    QCOMPARE(settingFramesSince(from).size(), steps.size()); // letting go sends nothing more
}

void TestSettings::audioOutputDragSendsOnRelease_data()
{
    QTest::addColumn<QString>("sliderName");
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("byte15"); // after the drag to 16, the other channel kept
    QTest::newRow("Audio Right Out") << "horizontalSlider_8" << "label_33" << int(Field::audioRightOut) << 0xF2;
    QTest::newRow("Audio Left Out") << "horizontalSlider_9" << "label_34" << int(Field::audioLeftOut) << 0x2F;
}

void TestSettings::audioOutputDragSendsOnRelease()
{
    QFETCH(QString, sliderName);
    QFETCH(QString, labelName);
    QFETCH(int, field);
    QFETCH(int, byte15);
    QVERIFY(pick(kTableId, 1));
    liftSourceLimits();
    screenOf(kTableId, 1).record.setByte(15, Field(field) == Field::audioRightOut ? 0x02 : 0x20);
    QVERIFY(readBack());
    auto *s = w->findChild<QSlider *>(sliderName);
    auto *label = w->findChild<QLabel *>(labelName);
    QVERIFY(s && label);
    QCOMPARE(s->value(), 1);
    QCOMPARE(label->text(), QStringLiteral("CH1"));
    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();

    s->setSliderDown(true);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayHeld);
    for (int v = 2; v <= 16; ++v) {
        s->setValue(v);
        QCOMPARE(label->text(), QStringLiteral("CH%1").arg(v));
    }
    QVERIFY(markEnd());
    QCOMPARE(settingFramesSince(from).size(), 0);

    s->setSliderDown(false);
    QVERIFY(markEnd());
    const QList<QByteArray> frames = settingFramesSince(from);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(commandOf(frames[0]), commandOfGroup(4));
    QCOMPARE(carried(frames[0], 15), byte15);
    QVector<SimMonitor> expected = before;
    expected[sim.find(QString::number(kTableId))].screens[1].record.setByte(15, std::uint8_t(byte15));
    COMPARE_MONITORS(expected);
    QCOMPARE(label->text(), QStringLiteral("CH16"));
    QVERIFY(!w->sliderHeld);
}

// ---------------------------------------------------------------- UMD texts

void TestSettings::umdTextIsSentOnceAfterThePause_data()
{
    QTest::addColumn<int>("editor");
    QTest::addColumn<QString>("before"); // text the editor holds first ("" for none)
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("shown");  // what the editor shows afterwards
    QTest::addColumn<QString>("sent");   // the 16 characters that go out
    QTest::newRow("four characters typed into UMD 1")
        << 0 << "" << "type" << "CAM1" << "CAM1" << "CAM1            ";
    QTest::newRow("twenty characters pasted into UMD 3")
        << 2 << "" << "paste" << "ABCDEFGHIJKLMNOPQRST" << "ABCDEFGHIJKLMNOP" << "ABCDEFGHIJKLMNOP";
    QTest::newRow("UMD 2 emptied") << 1 << "TAKE 2" << "clear" << "" << "" << "                ";
    QTest::newRow("UMD 1, then UMD 4 within the pause")
        << 3 << "" << "after UMD 1" << "ISO" << "ISO" << "ISO             ";
}

void TestSettings::umdTextIsSentOnceAfterThePause()
{
    QFETCH(int, editor);
    QFETCH(QString, before);
    QFETCH(QString, action);
    QFETCH(QString, input);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    QLineEdit *const editors[] = {w->ui->lineEdit, w->ui->lineEdit_2, w->ui->lineEdit_3, w->ui->lineEdit_4};
    QLineEdit *edit = editors[editor];
    // Multiview on: the tabs of UMD 2-4 can be used.
    screenOf(kUmdId, 0).record.setByte(7, 0x10);
    QVERIFY(pick(kUmdId, 0));
    QVERIFY(edit->isEnabled());
    QCOMPARE(dataStream->basicData.get(Field::umdTextIndex), 15); // as a type-2 reply leaves it
    if (!before.isEmpty()) {
        const int at = seen.size();
        edit->setText(before);
        QTRY_COMPARE_WITH_TIMEOUT(settingFramesSince(at).size(), 1, 3000);
    }
    const QVector<SimMonitor> was = sim.monitors;
    const int from = seen.size();

    if (action == QLatin1String("type"))
        QTest::keyClicks(edit, input);
    else if (action == QLatin1String("paste"))
        edit->insert(input);
    else if (action == QLatin1String("after UMD 1")) {
        QTest::keyClicks(w->ui->lineEdit, QStringLiteral("X"));
        QTest::keyClicks(edit, input);
    }
    else
        edit->clear();
    const qint64 lastChange = clock.elapsed();
    QCOMPARE(edit->text(), shown);
    QCOMPARE(w->umdEditText, sent);
    QCOMPARE(dataStream->basicData.get(Field::umdTextIndex), editor);

    QTRY_COMPARE_WITH_TIMEOUT(settingFramesSince(from).size(), 1, 3000);
    qint64 arrival = -1;
    for (int i = from; i < seen.size() && arrival < 0; ++i)
        if (isSettingCommand(seen[i].bytes))
            arrival = seen[i].atMs;
    QVERIFY2(arrival - lastChange >= 280, qPrintable(QStringLiteral("sent %1 ms after the last change")
                                                         .arg(arrival - lastChange)));
    QVERIFY(markEnd());
    const QList<QByteArray> frames = settingFramesSince(from);
    QCOMPARE(frames.size(), 1); // one frame for the whole burst
    QCOMPARE(commandOf(frames[0]), commandOfGroup(6));
    QCOMPARE(umdTextOf(frames[0]), sent.toLatin1());
    QCOMPARE(carried(frames[0], 23) >> 4, editor);

    // The monitor files the text under the UMD the index names.
    QVector<SimMonitor> expected = was;
    Screen &sc = expected[sim.find(QString::number(kUmdId))].screens[0];
    sc.umdText[editor] = sent.toLatin1();
    sc.record.set(Field::umdTextIndex, editor);
    COMPARE_MONITORS(expected);
}

// ---------------------------------------------------------------- refresh

void TestSettings::refreshSendsNothingBack()
{
    QVERIFY(pick(kTableId, 1));
    liftSourceLimits();
    // The monitor's operator moves every level, the thickness and both outputs.
    QMap<Field, int> values{{Field::brightness, 17}, {Field::contrast, 23}, {Field::saturation, 29},
                            {Field::tint, 31},       {Field::sharpness, 37}, {Field::backLight, 41},
                            {Field::volume, 43},     {Field::markerThickness, 6}, {Field::audioRightOut, 9},
                            {Field::audioLeftOut, 4}};
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QVERIFY(sim.command(QStringLiteral("set %1 2 %2 %3").arg(kTableId).arg(fieldInfo(it.key()).name).arg(it.value())));
    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();
    QVERIFY(readBack());
    for (const SliderRow &row : kSliderRows) {
        auto *s = w->findChild<QSlider *>(QLatin1String(row.object));
        QVERIFY(s);
        QCOMPARE(s->value(), values.value(row.field) + row.offset);
    }
    QCOMPARE(w->ui->spinBox->value(), 17);
    QCOMPARE(w->ui->spinBox_13->value(), 43);
    QCOMPARE(w->ui->label_33->text(), QStringLiteral("CH10"));
    QVERIFY(markEnd());
    QCOMPARE(settingFramesSince(from).size(), 0);
    COMPARE_MONITORS(before);
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
