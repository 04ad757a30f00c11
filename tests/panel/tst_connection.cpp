// The connection panel and the screen and page bars, driven in the real window
// against simulated monitors on a pseudo-terminal: the serial search with its
// progress and rows, the periodic read and its hold-off, "All", screens and
// their copy menu, pages and scrolling, and "Time Out !".
#include <QtTest>

#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>

#include "d_groupbox.h"
#include "datastream.h"
#include "mainwindow.h"
#include "panelsupport.h"
#include "seriallink.h"
#include "simulator.h"
#include "ui_mainwindow.h"

using namespace Sim;

namespace {
QStringList gMessages;
void captureMessage(QWidget *, const QString &title, const QString &text, bool)
{
    gMessages << (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}

int readsAnswered(const Simulator &sim)
{
    int n = 0;
    for (const SimMonitor &m : sim.monitors)
        n += m.readsAnswered;
    return n;
}

void wheel(QWidget *w, int delta)
{
    QWheelEvent e(QPointF(400, 300), QPointF(400, 300), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(w, &e);
}
} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void serialSearchListsTheMonitors();
    void periodicReadIsHeldOffByReadDelay();
    void mixedTypesRefuseAll();
    void screensFollowTheDevice();
    void pagesAndScrolling();
    void silentMonitorEndsInTimeOut();

private:
    bool searchSerial();

    Simulator sim;
    SerialLink *link = nullptr;
    MainWindow *w = nullptr;
    QList<QPair<int, int>> progress; // (id, bar value) as the window saw them
    bool panelLockedWhileSearching = true;
};

void TestConnection::initTestCase()
{
    usePanelStyle();
    showMessage = captureMessage;
    sim.monitors = {makeMonitor(4, 0, {}, QStringLiteral("RACK")), makeMonitor(2, 5, {}),
                    makeMonitor(129, 126, {}, QStringLiteral("FIELD"))};
    link = new SerialLink(&sim);
    QString why;
    QVERIFY2(link->openPty(&why), qPrintable(why));
    w = new MainWindow;
    connect(dataStream, &DataStream::signalUartSearchProgress, this, [this](uchar id) {
        progress << qMakePair(int(id), w->searchProgress->value());
        // While searching: the list and both links locked, "Refresh" away, the bar shown.
        panelLockedWhileSearching = panelLockedWhileSearching && !w->ui->listWidget->isEnabled()
            && !w->ui->radioButton->isEnabled() && w->ui->pushButton->isHidden() && !w->searchProgress->isHidden()
            && !w->ui->pushButton_10->isEnabled();
    });
    QVERIFY(searchSerial());
}

void TestConnection::cleanupTestCase()
{
    delete w;
    delete link;
}

bool TestConnection::searchSerial()
{
    if (!chooseSerialPort(w, link->path()))
        return false;
    progress.clear();
    QSignalSpy completed(dataStream, &DataStream::signalSearchCompleted);
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    return completed.wait(20000);
}

void TestConnection::serialSearchListsTheMonitors()
{
    // Progress: 0 after ID 0, 50 after ID 62, 100 after ID 125.
    QCOMPARE(progress.size(), 126);
    QCOMPARE(progress.at(0), qMakePair(0, 0));
    QCOMPARE(progress.at(62), qMakePair(62, 50));
    QCOMPARE(progress.at(125), qMakePair(125, 100));
    QVERIFY(panelLockedWhileSearching);

    QListWidget *list = w->ui->listWidget;
    QCOMPARE(list->count(), 3);
    const char *const texts[] = {"RS ID : 0", "RS ID : 5", "RS ID : 126"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(list->item(i)->text(), QString::fromLatin1(texts[i]));
        QCOMPARE(list->item(i)->background().color(), i == 0 ? QColor(160, 160, 160) : QColor(235, 235, 235));
    }
    QCOMPARE(list->currentRow(), 0);
    QVERIFY(list->isEnabled());
    QVERIFY(w->ui->pushButton_10->isEnabled());
    QVERIFY(w->ui->pushButton_11->isEnabled());
    QVERIFY(!w->ui->pushButton->isHidden());
    QVERIFY(w->searchProgress->isHidden());
    QVERIFY(w->readTimer->isActive());
    QCOMPARE(w->readTimer->interval(), 1000);
    // Row 0 is read and shown: three screens, its name.
    QTRY_COMPARE(w->ui->label_35->text(), QString::fromLatin1(sim.monitors[0].name));
    QCOMPARE(w->screenNums, 3);
    QVERIFY(!w->ui->pushButton_3->isHidden());
    QVERIFY(w->ui->pushButton_4->isHidden());
}

void TestConnection::periodicReadIsHeldOffByReadDelay()
{
    w->readTimer->stop(); // the test ticks by hand
    const int before = readsAnswered(sim);
    w->readDelay = MainWindow::ReadDelayAfterSend;
    for (int i = 0; i < 4; ++i)
        w->slotReadMachine();
    QCOMPARE(w->readDelay, 0);
    QTest::qWait(100);
    QCOMPARE(readsAnswered(sim), before);
    w->slotReadMachine();
    QTRY_COMPARE(readsAnswered(sim), before + 1);

    // While a slider is held nothing is read; its release sends and holds off four ticks.
    w->ui->brightnessSlider->setSliderDown(true);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayHeld);
    for (int i = 0; i < 20; ++i)
        w->slotReadMachine();
    w->ui->brightnessSlider->setValue(w->ui->brightnessSlider->value() == 80 ? 81 : 80);
    w->ui->brightnessSlider->setSliderDown(false);
    QCOMPARE(w->readDelay, MainWindow::ReadDelayAfterSend);
    QTest::qWait(100);
    QCOMPARE(readsAnswered(sim), before + 1);
    w->readTimer->start(MainWindow::ReadIntervalMs);
}

void TestConnection::mixedTypesRefuseAll()
{
    gMessages.clear();
    QTest::mouseClick(w->ui->checkBox, Qt::LeftButton);
    QCOMPARE(gMessages, QStringList{QStringLiteral("Err: Device Type Mismatch !")});
    QVERIFY(!w->ui->checkBox->isChecked());
    QVERIFY(!dataStream->sendToAll);
    QVERIFY(w->ui->listWidget->isEnabled());
}

void TestConnection::screensFollowTheDevice()
{
    w->on_listWidget_clicked(0); // three screens
    QTRY_COMPARE(w->ui->label_35->text(), QString::fromLatin1(sim.monitors[0].name));
    QTest::mousePress(w->ui->pushButton_2, Qt::LeftButton); // screen 2
    QTest::mouseRelease(w->ui->pushButton_2, Qt::LeftButton);
    QCOMPARE(dataStream->currentScreen(), 1);
    QCOMPARE(w->ui->pushButton_2->styleSheet(), QStringLiteral("border-image: url(:/res/8.png);"));
    QCOMPARE(w->ui->pushButton_9->styleSheet(), QStringLiteral("border-image: url(:/res/7.png);"));
    QStringList entries;
    for (QAction *a : w->copyMenu->actions())
        entries << a->text();
    QCOMPARE(entries, (QStringList{"Copy To 1", "Copy To 3", "Copy To All"}));
    // The read of screen 2 shows that screen's input text.
    QTRY_COMPARE(w->ui->label_3->text(), QString::fromLatin1(sim.monitors[0].screens[1].inputText));

    // A one-screen device shows only screen 1 and offers only "Copy To All".
    w->on_listWidget_clicked(1);
    QTRY_COMPARE(w->ui->label_35->text(), QString::fromLatin1(sim.monitors[1].name));
    QVERIFY(w->ui->pushButton_2->isHidden());
    QCOMPARE(w->copyMenu->actions().size(), 1);
    // A screen count of 0 hides nothing.
    w->screenNums = 0;
    w->refreshScreenNums();
    for (int s = 0; s < 8; ++s)
        QVERIFY(!w->screenButton(s)->isHidden());
    w->on_listWidget_clicked(0);
}

void TestConnection::pagesAndScrolling()
{
    QPushButton *const buttons[] = {w->ui->Pic_button, w->ui->Marker_button, w->ui->Fun_button,
                                    w->ui->WaveForm_button, w->ui->Audio_button, w->ui->System_button};
    const int maxima[] = {0, 1, 1, 0, 1, 1};
    for (int k = 0; k < 6; ++k) {
        QTest::mousePress(buttons[k], Qt::LeftButton);
        QTest::mouseRelease(buttons[k], Qt::LeftButton);
        QCOMPARE(w->curPage, k);
        QCOMPARE(w->ui->verticalScrollBar->maximum(), maxima[k]);
        for (int j = 0; j < 6; ++j)
            QCOMPARE(w->pageWidget(j)->isHidden(), j != k);
        QVERIFY(buttons[k]->styleSheet().endsWith(QLatin1String("background-color: rgba(120,120,120,100);")));
        QVERIFY(!buttons[(k + 1) % 6]->styleSheet().contains(QLatin1String("background")));
    }
    QVERIFY(!w->ui->label_26->isHidden());
    QVERIFY(w->ui->label_20->isHidden());

    // Function page: eight steps toward the user reach the bottom, -391.
    QTest::mousePress(w->ui->Fun_button, Qt::LeftButton);
    pageScrollY = 0;
    w->ui->widget_4->move(0, 0);
    const int expected[] = {-50, -100, -150, -200, -250, -300, -350, -391, -391};
    for (int y : expected) {
        wheel(w, -120);
        QCOMPARE(pageScrollY, y);
        QCOMPARE(w->ui->widget_4->y(), y);
    }
    // The offset is shared: on the Marker page one step further down is its bound.
    QTest::mousePress(w->ui->Marker_button, Qt::LeftButton);
    wheel(w, -120);
    QCOMPARE(pageScrollY, -91);
    for (int y : {-41, 0, 0}) {
        wheel(w, 120);
        QCOMPARE(w->ui->widget_2->y(), y);
    }
    // The Picture page does not scroll.
    QTest::mousePress(w->ui->Pic_button, Qt::LeftButton);
    wheel(w, -120);
    QCOMPARE(pageScrollY, 0);
    QCOMPARE(w->ui->widget->y(), 0);

    // The UMD tabs show their slot's boxes.
    w->ui->tabWidget->setCurrentIndex(0);
    w->ui->tabWidget->setCurrentIndex(2);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(w->umdGroups.at(i)->isHidden(), i / 2 != 2);
}

void TestConnection::silentMonitorEndsInTimeOut()
{
    gMessages.clear();
    sim.failures.stopAfter = 0; // every monitor falls silent
    QVERIFY(QTest::qWaitFor([] { return !gMessages.isEmpty(); }, 20000));
    QCOMPARE(gMessages, QStringList{QStringLiteral("Time Out !")});
    QVERIFY(!w->readTimer->isActive());
    QCOMPARE(w->ui->listWidget->count(), 0);
    // The devices are gone too: nothing can be sent to a monitor no longer listed.
    QVERIFY(dataStream->deviceList.isEmpty());
    QVERIFY(!dataStream->hasCurrentDevice());
    QVERIFY(!w->ui->pushButton_10->isEnabled());
    QVERIFY(!w->ui->pushButton_11->isEnabled());
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
