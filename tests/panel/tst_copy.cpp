// Copying settings in the real window against simulated monitors on a
// pseudo-terminal: a screen's record to the other screens of its monitor (the
// copy menu), and one monitor's record onto another of the same type ("Copy",
// "Paste"), with the hold-off of the periodic read, the panel lock, the type
// check and a paste whose source row is gone.
//
// The periodic read runs only where a copy depends on it; elsewhere every read
// is the test's own.
#include <QtTest>

#include <QAction>
#include <QListWidget>
#include <QPushButton>

#include <fcntl.h>
#include <unistd.h>

#include "datastream.h"
#include "mainwindow.h"
#include "panelsupport.h"
#include "seriallink.h"
#include "simulator.h"
#include "simdiff.h"
#include "ui_mainwindow.h"

using namespace Sim;

namespace {
constexpr int kThreeScreensId = 1; // type 4
constexpr int kSourceId = 2;       // type 2
constexpr int kTargetId = 3;       // type 2
constexpr int kOtherTypeId = 4;    // type 5
constexpr int kMarkerId = 125;     // no monitor answers to it: marks the end of what was sent

// Command codes of a full send, in order.
const QList<int> kFullSend{0x00, 0x01, 0x02, 0x04, 0x03, 0x05};

QStringList gMessages;
void captureMessage(QWidget *, const QString &title, const QString &text, bool warning)
{
    gMessages << QStringLiteral("%1%2: %3").arg(warning ? "warning " : "", title, text);
}


// Fails with the list of differences when the monitors do not hold what was expected.
#define COMPARE_MONITORS(expected)                                                                                 \
    do {                                                                                                           \
        const QStringList d_ = monitorDifferences((expected), sim.monitors);                                              \
        QVERIFY2(d_.isEmpty(), qPrintable(QStringLiteral("\n    ") + d_.join(QStringLiteral("\n    "))));           \
    } while (false)

// Record bytes that a settings reply brings and the packet groups send back.
bool travels(int byte, int type)
{
    return byte < 8 || (byte >= 10 && byte < 22) || (type == 2 && byte < ST_BasicData::SettingBytes);
}

bool isSettingCommand(const QByteArray &frame)
{
    return Frame::hasCommand(frame) && groupForCommand(Frame::command(frame));
}

bool isRead(const QByteArray &frame)
{
    return Frame::hasCommand(frame) && Frame::command(frame) == Frame::CmdRead;
}
} // namespace

class TestCopy : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void screenCopyWritesTheOtherScreens_data();
    void screenCopyWritesTheOtherScreens();
    void deviceCopyMakesTheTargetEqualTheSource_data();
    void deviceCopyMakesTheTargetEqualTheSource();
    void mixedTypesWarnAndSendNothing();
    void pasteFromARowThatIsGoneDoesNothing();

private:
    bool search();
    int rowOf(int id) const;
    int indexOf(int id) const { return sim.find(QString::number(id)); }
    SimMonitor &monitor(int id) { return sim.monitors[indexOf(id)]; }
    bool shows(int id, int screen) const;
    bool pick(int id, int screen);
    bool markEnd();
    QList<QByteArray> framesSince(int from) const;

    Simulator sim;
    SerialLink *link = nullptr;
    MainWindow *w = nullptr;
    int markerFd = -1;
    int reads = 0;
    QList<QByteArray> seen; // every frame the monitors received, in order
};

void TestCopy::initTestCase()
{
    usePanelStyle();
    showMessage = captureMessage;
    sim.monitors = {makeMonitor(4, kThreeScreensId, {}, QStringLiteral("THREE")),
                    makeMonitor(2, kSourceId, {}, QStringLiteral("SOURCE")),
                    makeMonitor(2, kTargetId, {}, QStringLiteral("TARGET")),
                    makeMonitor(5, kOtherTypeId, {}, QStringLiteral("OTHER"))};
    sim.logFrames = true;
    connect(&sim, &Simulator::logLine, this, [this](const QString &line) {
        if (line.startsWith(QLatin1String("< ")))
            seen << QByteArray::fromHex(line.mid(2).toLatin1());
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
    QVERIFY(search());
    QCOMPARE(w->ui->listWidget->count(), 4);
    QVERIFY(w->ui->pushButton_10->isEnabled());
    QVERIFY(w->ui->pushButton_11->isEnabled());
}

void TestCopy::cleanup()
{
    w->readTimer->stop();
    QVERIFY2(gMessages.isEmpty(), qPrintable(gMessages.join('\n')));
}

void TestCopy::cleanupTestCase()
{
    if (markerFd >= 0)
        ::close(markerFd);
    delete w;
    delete link;
}

// "Refresh" on the serial line; the periodic read is left stopped.
bool TestCopy::search()
{
    QSignalSpy completed(dataStream, &DataStream::signalSearchCompleted);
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    if (!completed.wait(20000))
        return false;
    w->readTimer->stop();
    return true;
}

int TestCopy::rowOf(int id) const
{
    const auto items = w->ui->listWidget->findItems(QStringLiteral("RS ID : %1").arg(id), Qt::MatchExactly);
    return items.isEmpty() ? -1 : w->ui->listWidget->row(items.first());
}

// The window's current device is the monitor on that screen, with what the
// monitor holds there now.
bool TestCopy::shows(int id, int screen) const
{
    const MachineDevice *d = dataStream->curDevice;
    const SimMonitor &m = sim.monitors[indexOf(id)];
    if (d->deviceId != id || dataStream->currentScreen() != screen || d->deviceName != QString::fromLatin1(m.name)
        || d->inputText[screen] != QString::fromLatin1(m.screens[screen].inputText))
        return false;
    const ST_BasicData &want = m.screens[screen].record;
    for (int b = 0; b < ST_BasicData::SettingBytes; ++b) {
        const int expected = m.type == 2 && b == 23 ? (want.byte(b) | 0xF0) : want.byte(b);
        if (travels(b, m.type) && d->basicData.byte(b) != expected)
            return false;
    }
    return true;
}

// Picks a monitor's row and screen the way the operator does, and waits for the
// answer to the last read. Whatever the panel sent before has been answered
// first; the screen's input text is given a new value just before the read, so
// only that read's answer can bring it, and it is the last answer on the way.
bool TestCopy::pick(int id, int screen)
{
    const int row = rowOf(id);
    if (row < 0 || !markEnd())
        return false;
    const QString token = QStringLiteral("read %1").arg(++reads);
    monitor(id).screens[screen].inputText = fixedText(token, SettingsReply::InputTextLength);
    w->on_listWidget_clicked(row);
    if (dataStream->currentScreen() != screen)
        QTest::mouseClick(w->screenButton(screen), Qt::LeftButton);
    return QTest::qWaitFor([&] { return dataStream->curDevice->inputText[screen].startsWith(token); }, 3000)
        && shows(id, screen);
}

// Writes a search request for an ID no monitor has and waits until the monitors
// received it: every frame the panel sent before has then arrived as well.
bool TestCopy::markEnd()
{
    const QByteArray marker = Frame::searchRequest(Frame::LinkSerial, kMarkerId);
    const int from = seen.size();
    if (::write(markerFd, marker.constData(), size_t(marker.size())) != marker.size())
        return false;
    return QTest::qWaitFor([&] { return seen.indexOf(marker, from) >= 0; }, 3000);
}

// What the panel sent since then: setting commands and read requests.
QList<QByteArray> TestCopy::framesSince(int from) const
{
    QList<QByteArray> frames;
    for (int i = from; i < seen.size(); ++i)
        if (isSettingCommand(seen[i]) || isRead(seen[i]))
            frames << seen[i];
    return frames;
}

// ---------------------------------------------------------------- screen copies

void TestCopy::screenCopyWritesTheOtherScreens_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("viewed");
    QTest::addColumn<int>("copyTo");       // entry of the copy menu: 1-8, 0 for "Copy To All"
    QTest::addColumn<QList<int>>("targets"); // screens written, in order
    QTest::addColumn<bool>("readBack");      // screen on view read afterwards
    QTest::newRow("Copy To All, three screens, viewed on screen 1")
        << kThreeScreensId << 0 << 0 << QList<int>{1, 2} << true;
    QTest::newRow("Copy To 3 from screen 2") << kThreeScreensId << 1 << 3 << QList<int>{2} << true;
    QTest::newRow("Copy To 2 on screen 2 itself") << kThreeScreensId << 1 << 2 << QList<int>{} << false;
    QTest::newRow("Copy To All, one screen") << kSourceId << 0 << 0 << QList<int>{} << true;
}

void TestCopy::screenCopyWritesTheOtherScreens()
{
    QFETCH(int, id);
    QFETCH(int, viewed);
    QFETCH(int, copyTo);
    QFETCH(QList<int>, targets);
    QFETCH(bool, readBack);
    QVERIFY(pick(id, viewed));
    QCOMPARE(w->screenNums, monitor(id).screenCount());
    const QVector<SimMonitor> before = sim.monitors;
    const QString umdText = dataStream->umdText;
    const int from = seen.size();

    // The periodic read runs during the copy, which must hold it off.
    if (!targets.isEmpty())
        w->readTimer->start(MainWindow::ReadIntervalMs);
    if (copyTo == 0)
        w->actCopyAll->trigger();
    else
        w->actCopyTo[copyTo]->trigger();
    QCOMPARE(dataStream->currentScreen(), viewed);
    if (readBack)
        QCOMPARE(w->readDelay, 0);
    QVERIFY(markEnd());

    // Every target gets the whole record in the order of a full send, with no
    // read in between; then the screen on view is read.
    QList<QPair<int, int>> sent, expectedSent; // (command, screen mask)
    const QList<QByteArray> frames = framesSince(from);
    for (const QByteArray &f : frames)
        sent << qMakePair(int(Frame::command(f)), int(Frame::byteAt(f, Frame::OffMask)));
    for (int t : targets)
        for (int command : kFullSend)
            expectedSent << qMakePair(command, 1 << t);
    if (readBack)
        expectedSent << qMakePair(int(Frame::CmdRead), 1 << viewed);
    QCOMPARE(sent.mid(0, expectedSent.size()), expectedSent);
    for (const QPair<int, int> &later : sent.mid(expectedSent.size()))
        QCOMPARE(later, qMakePair(int(Frame::CmdRead), 1 << viewed)); // periodic reads resumed
    for (const QByteArray &f : frames)
        QCOMPARE(int(Frame::byteAt(f, Frame::OffId)), id);

    // At the monitor: each target holds what the screen on view holds; the UMD
    // text of the panel goes along as UMD 1's.
    QVector<SimMonitor> expected = before;
    SimMonitor &m = expected[indexOf(id)];
    for (int t : targets) {
        for (int b = 0; b < ST_BasicData::SettingBytes; ++b)
            if (travels(b, m.type))
                m.screens[t].record.setByte(b, m.screens[viewed].record.byte(b));
        m.screens[t].umdText[0] = Frame::packUmdText(umdText);
    }
    COMPARE_MONITORS(expected);
}

// ---------------------------------------------------------------- device copies

void TestCopy::deviceCopyMakesTheTargetEqualTheSource_data()
{
    QTest::addColumn<bool>("readInFlight");
    QTest::newRow("quiet line") << false;
    // The periodic read went out just before the click; its answer arrives in
    // the first pause of the copy.
    QTest::newRow("a read answered while the copy is under way") << true;
}

void TestCopy::deviceCopyMakesTheTargetEqualTheSource()
{
    QFETCH(bool, readInFlight);
    // A source record with every setting byte busy, the target as it starts.
    ST_BasicData busy;
    for (int b = 0; b < ST_BasicData::SettingBytes; ++b)
        busy.setByte(b, std::uint8_t(0x5B + 29 * b));
    busy.set(Field::brightness, 81);
    busy.set(Field::volume, 12);
    monitor(kSourceId).screens[0].record = busy;
    monitor(kTargetId).screens[0] = makeMonitor(2, kTargetId, {}).screens[0];
    QVERIFY(monitorDifferences({monitor(kSourceId)}, {monitor(kTargetId)}).size() > 20);

    QVERIFY(pick(kSourceId, 0));
    QTest::mouseClick(w->ui->pushButton_10, Qt::LeftButton); // Copy
    QCOMPARE(w->ui->pushButton_10->text(), QStringLiteral("Cancel"));
    QVERIFY(w->ui->pushButton_11->isEnabled());
    QCOMPARE(w->copySrcRow, rowOf(kSourceId));
    QCOMPARE(w->ui->listWidget->item(rowOf(kSourceId))->background().color(), QColor(150, 0, 0));

    QVERIFY(pick(kTargetId, 0));
    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();
    w->readTimer->start(MainWindow::ReadIntervalMs);
    QElapsedTimer clock;
    clock.start();
    if (readInFlight) {
        w->readDelay = 0;
        w->slotReadMachine();
    }
    QTest::mouseClick(w->ui->pushButton_11, Qt::LeftButton); // Paste
    QVERIFY(w->isPanelLocked());
    QVERIFY(!w->ui->listWidget->isEnabled());
    QVERIFY(!w->ui->pushButton_2->isEnabled() && !w->ui->Fun_button->isEnabled());
    QCOMPARE(w->copyArmed, quint8(0));
    QCOMPARE(w->ui->pushButton_10->text(), QStringLiteral("Copy"));
    QVERIFY(w->ui->pushButton_10->isEnabled());
    QVERIFY(!w->ui->pushButton_11->isEnabled());
    QVERIFY(markEnd());

    QList<int> commands;
    const QList<QByteArray> frames = framesSince(from);
    QCOMPARE(isRead(frames.value(0)), readInFlight);
    for (const QByteArray &f : frames) {
        if (!isSettingCommand(f))
            continue;
        commands << Frame::command(f);
        QCOMPARE(int(Frame::byteAt(f, Frame::OffId)), kTargetId);
    }
    QCOMPARE(commands, kFullSend);

    // The target now holds the source's record; a reply marks the UMD text index
    // of a type-2 record as 15, which the copy carries along.
    QVector<SimMonitor> expected = before;
    ST_BasicData &target = expected[indexOf(kTargetId)].screens[0].record;
    for (int b = 0; b < ST_BasicData::SettingBytes; ++b)
        target.setByte(b, busy.byte(b));
    target.set(Field::umdTextIndex, 15);
    COMPARE_MONITORS(expected);

    if (readInFlight)
        return; // the unlock is the first row's
    // The periodic read unlocks the panel again.
    QTRY_VERIFY_WITH_TIMEOUT(!w->isPanelLocked(), 12000);
    QVERIFY(w->ui->listWidget->isEnabled());
    qInfo("panel unlocked %lld ms after Paste", clock.elapsed());
}

void TestCopy::mixedTypesWarnAndSendNothing()
{
    QVERIFY(pick(kTargetId, 0));
    QTest::mouseClick(w->ui->pushButton_10, Qt::LeftButton); // Copy from a type-2 monitor
    QVERIFY(pick(kOtherTypeId, 0));
    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();
    w->readTimer->start(MainWindow::ReadIntervalMs);
    QTest::mouseClick(w->ui->pushButton_11, Qt::LeftButton); // Paste onto a type-5 monitor
    QCOMPARE(gMessages, QStringList{"warning Err: Device Type Mismatch !"});
    gMessages.clear();
    QVERIFY(w->isPanelLocked());
    QCOMPARE(w->ui->pushButton_10->text(), QStringLiteral("Copy"));
    QVERIFY(markEnd());
    for (const QByteArray &f : framesSince(from))
        QVERIFY2(!isSettingCommand(f), f.toHex(' ').constData());
    COMPARE_MONITORS(before);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isPanelLocked(), 12000);
}

// The source row survives a search; when that search found fewer monitors it
// names no row, and "Paste" must neither copy nor lock the panel.
void TestCopy::pasteFromARowThatIsGoneDoesNothing()
{
    QVERIFY(pick(kOtherTypeId, 0));
    QTest::mouseClick(w->ui->pushButton_10, Qt::LeftButton); // Copy from the last row
    QTest::mouseClick(w->ui->pushButton_10, Qt::LeftButton); // Cancel
    const int staleRow = rowOf(kOtherTypeId);
    QCOMPARE(w->copySrcRow, staleRow);

    sim.monitors.resize(2); // two monitors answer the next search
    QVERIFY(search());
    QCOMPARE(w->ui->listWidget->count(), 2);
    QCOMPARE(w->copySrcRow, staleRow);
    QVERIFY(w->ui->pushButton_11->isEnabled()); // two monitors: "Paste" can be pressed at once
    QVERIFY(pick(kSourceId, 0));

    const QVector<SimMonitor> before = sim.monitors;
    const int from = seen.size();
    QTest::mouseClick(w->ui->pushButton_11, Qt::LeftButton); // Paste
    QVERIFY(!w->isPanelLocked());
    QVERIFY(w->ui->listWidget->isEnabled());
    QVERIFY(markEnd());
    for (const QByteArray &f : framesSince(from))
        QVERIFY2(!isSettingCommand(f), f.toHex(' ').constData());
    COMPARE_MONITORS(before);
    QVERIFY(gMessages.isEmpty());
}

QTEST_MAIN(TestCopy)
#include "tst_copy.moc"
