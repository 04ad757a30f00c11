// The window as it starts: every handler connected, the start-up state, the
// custom UMD and multiview buttons (painting, placing, sending), and a picture
// of every page for review.
#include <QtTest>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QTabWidget>

#include "d_groupbox.h"
#include "d_radiobutton.h"
#include "datastream.h"
#include "mainwindow.h"
#include "ptypair.h"
#include "ui_mainwindow.h"

namespace {
QStringList gWarnings;
QtMessageHandler gPrevious = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (type == QtWarningMsg)
        gWarnings << msg;
    if (gPrevious)
        gPrevious(type, ctx, msg);
}

QString screenshotDir()
{
    const QString dir = qEnvironmentVariable("TELVANOR_SCREENSHOT_DIR",
                                             QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"));
    QDir().mkpath(dir);
    return dir;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { usePanelStyle(); }
    void init();
    void cleanup();

    void everyHandlerIsConnected();
    void startUpState();
    void customButtonsAreBuilt();
    void groupBoxPlacesItsMembers();
    void customButtonPaints_data();
    void customButtonPaints();
    void releaseSendsTheButtonsCommand_data();
    void releaseSendsTheButtonsCommand();
    void pagesForReview();

private:
    MainWindow *w = nullptr;
};

void TestMainWindow::init()
{
    gWarnings.clear();
    gPrevious = qInstallMessageHandler(captureWarnings);
    w = new MainWindow;
    qInstallMessageHandler(gPrevious);
}

void TestMainWindow::cleanup()
{
    delete w;
    w = nullptr;
}

void TestMainWindow::everyHandlerIsConnected()
{
    // A renamed widget silently loses its handler; the toolkit only warns.
    for (const QString &m : qAsConst(gWarnings))
        QVERIFY2(!m.contains(QLatin1String("No matching signal")), qPrintable(m));
    QVERIFY2(gWarnings.isEmpty(), qPrintable(gWarnings.join('\n')));
    // The panel's tables name form widgets too.
    for (const ChoiceGroup &g : kChoiceGroups)
        for (const Choice &c : g.choices)
            QVERIFY2(w->findChild<QRadioButton *>(QLatin1String(c.object)), c.object);
    for (const SliderRow &r : kSliderRows)
        QVERIFY2(w->findChild<QSlider *>(QLatin1String(r.object)), r.object);
}

void TestMainWindow::startUpState()
{
    QVERIFY(dataStream);
    QCOMPARE(dataStream->linkMode, int(DataStream::LinkNetwork));
    QVERIFY(w->ui->radioButton->isChecked());
    QVERIFY(!w->ui->comboBox->isEnabled());
    QVERIFY(!w->ui->comboBox_2->isEnabled());
    QCOMPARE(w->ui->comboBox_2->currentText(), QStringLiteral("38400"));
    QCOMPARE(w->ui->listWidget->count(), 0);
    QVERIFY(!w->ui->pushButton_10->isEnabled());
    QVERIFY(!w->ui->pushButton_11->isEnabled());
    QVERIFY(!w->ui->checkBox->isChecked());
    QVERIFY(w->searchProgress->isHidden());
    QVERIFY(w->ui->verticalScrollBar->isHidden());
    QVERIFY(!w->readTimer->isActive());
    QCOMPARE(w->windowTitle(), QStringLiteral("Telvanor (V 1.2.0)"));
    QVERIFY(!w->windowIcon().isNull());

    // Picture page shown inside the viewport, the other five hidden.
    QCOMPARE(w->ui->widget->parentWidget(), w->ui->widget_7);
    QVERIFY(!w->ui->widget->isHidden());
    for (QWidget *p : {w->ui->widget_2, w->ui->widget_3, w->ui->widget_4, w->ui->widget_5, w->ui->widget_6}) {
        QVERIFY(p->isHidden());
        QCOMPARE(p->parentWidget(), w->ui->widget_7);
        QCOMPARE(p->pos(), QPoint(0, 0));
    }
    QCOMPARE(w->ui->widget_4->size(), QSize(661, 841));
    QCOMPARE(w->ui->widget_6->size(), QSize(661, 700));
    QVERIFY(!w->ui->label_21->isHidden());
    QVERIFY(w->ui->label_22->isHidden());

    // Only screen button 1, marked as selected; its copy menu holds "Copy To All" only.
    QVERIFY(!w->ui->pushButton_9->isHidden());
    for (QWidget *b : {w->ui->pushButton_2, w->ui->pushButton_3, w->ui->pushButton_8})
        QVERIFY(b->isHidden());
    QCOMPARE(w->ui->pushButton_9->styleSheet(), QStringLiteral("border-image: url(:/res/8.png);"));
    QCOMPARE(w->copyMenu->actions().size(), 1);
    QCOMPARE(w->copyMenu->actions().first()->text(), QStringLiteral("Copy To All"));
    QCOMPARE(w->actCopyTo[3]->text(), QStringLiteral("Copy To 3"));
    QCOMPARE(w->ui->pushButton_5->contextMenuPolicy(), Qt::CustomContextMenu);

    // The window cannot be resized.
    QCOMPARE(w->minimumSize(), QSize(960, 644));
    QCOMPARE(w->maximumSize(), QSize(960, 644));
    w->resize(1200, 900);
    QCOMPARE(w->size(), QSize(960, 644));
}

void TestMainWindow::customButtonsAreBuilt()
{
    QCOMPARE(w->customButtons.size(), D_RadioButton::Count);
    for (int id = 0; id < D_RadioButton::Count; ++id)
        QCOMPARE(w->customButtons.at(id)->id, id);
    QCOMPARE(w->umdGroups.size(), 8);
    QCOMPARE(w->mvGroups.size(), 4);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(w->umdGroups.at(i)->parentWidget(), static_cast<QWidget *>(w->ui->tabWidget));
        QCOMPARE(w->umdGroups.at(i)->isHidden(), i >= 2);
        QCOMPARE(w->umdGroups.at(i)->title(), QString(i % 2 ? "UMD Color" : "UMD"));
    }
    // "Off" and white checked in every slot; the start-up refresh shows the
    // placeholder's all-zero record, so every multiview window shows "SDI 1".
    for (int id = 0; id < D_RadioButton::FirstMvId; ++id) {
        const int r = id % D_RadioButton::IdsPerUmdSlot;
        QCOMPARE(w->customButtons.at(id)->isChecked(), r == 0 || r == 2);
    }
    for (int id = D_RadioButton::FirstMvId; id < D_RadioButton::Count; ++id)
        QCOMPARE(w->customButtons.at(id)->isChecked(), (id - D_RadioButton::FirstMvId) % 6 == 0);
    QCOMPARE(w->mvGroups.at(2)->title(), QStringLiteral("MV3 Source"));
    QCOMPARE(w->mvGroups.at(2)->pos(), QPoint(10, 200));
    QCOMPARE(w->mvGroups.at(2)->size(), QSize(600, 80));
    QCOMPARE(w->customButtons.at(41)->caption, QStringLiteral("HDMI"));
    QCOMPARE(w->customButtons.at(1)->caption, QStringLiteral("On"));
    QCOMPARE(w->customButtons.at(35)->color, QColor(Qt::magenta));
}

void TestMainWindow::groupBoxPlacesItsMembers()
{
    D_GroupBox box(QStringLiteral("T"), nullptr);
    QList<QWidget *> ws;
    for (int i = 0; i < 7; ++i) {
        ws << new QWidget;
        box.addWidget(ws.last());
        QCOMPARE(ws.last()->parentWidget(), static_cast<QWidget *>(&box));
        if (i == 1)
            QCOMPARE(box.size(), QSize(600, 50));
    }
    QCOMPARE(ws.at(4)->pos(), QPoint(474, 20));
    QCOMPARE(ws.at(5)->pos(), QPoint(10, 50));
    QCOMPARE(ws.at(6)->pos(), QPoint(126, 50));
    QCOMPARE(box.size(), QSize(600, 80));
    QCOMPARE(int(box.rows), 2);
}

void TestMainWindow::customButtonPaints_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QColor>("swatch"); // invalid for a text button
    QTest::newRow("blue swatch, checked") << 23 << true << QColor(Qt::blue);
    QTest::newRow("red swatch, unchecked") << 3 << false << QColor(Qt::red);
    QTest::newRow("caption, checked") << 1 << true << QColor();
    QTest::newRow("caption, unchecked") << 59 << false << QColor();
}

void TestMainWindow::customButtonPaints()
{
    QFETCH(int, id);
    QFETCH(bool, checked);
    QFETCH(QColor, swatch);
    QWidget host;
    D_RadioButton b(id, &host);
    b.setAutoFillBackground(false);
    b.setChecked(checked);
    QCOMPARE(b.size(), QSize(80, 20));
    QVERIFY(b.text().isEmpty());
    const QImage img = b.grab().toImage();
    auto grey = [&](int x, int y) { return qGray(img.pixel(x, y)); };
    QVERIFY2(grey(2, 10) < 160, "ring's left edge");       // ring at 2,4 12x12
    QVERIFY2(grey(3, 10) > 150 || grey(4, 10) > 200, "inside of the ring is white");
    if (checked)
        QVERIFY2(grey(8, 10) < 60, "dot");                 // dot at 5,7 6x6
    else
        QVERIFY2(grey(8, 10) > 200, "no dot");
    if (swatch.isValid()) {
        QCOMPARE(QColor(img.pixel(40, 10)), swatch);       // swatch at 30,0 20x20
        QCOMPARE(QColor(img.pixel(31, 1)), swatch);        // no outline
    } else {
        bool inked = false;                                // caption drawn from x 30 in dark grey
        for (int x = 30; x < 80 && !inked; ++x)
            for (int y = 0; y < 20 && !inked; ++y)
                inked = qGray(img.pixel(x, y)) < 128;
        QVERIFY(inked);
    }
}

void TestMainWindow::releaseSendsTheButtonsCommand_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("command");
    QTest::newRow("id 0: slot 0 off") << 0 << "umd1On" << 0 << 0x05;
    QTest::newRow("id 10: slot 1 on") << 10 << "umd2On" << 1 << 0x05;
    QTest::newRow("id 23: slot 2 blue") << 23 << "umd3Color" << 3 << 0x05;
    QTest::newRow("id 35: slot 3 magenta") << 35 << "umd4Color" << 6 << 0x05;
    QTest::newRow("id 41: window 1 HDMI") << 41 << "mvSource1" << 5 << 0x00;
    QTest::newRow("id 59: window 4 HDMI") << 59 << "mvSource4" << 5 << 0x00;
}

void TestMainWindow::releaseSendsTheButtonsCommand()
{
    QFETCH(int, id);
    QFETCH(QString, field);
    QFETCH(int, value);
    QFETCH(int, command);
    PtyPair pty;
    SerialPeer peer(pty);
    dataStream->linkMode = DataStream::LinkSerial;
    dataStream->port->setSerialPort(pty.slavePath(), 38400);
    dataStream->slotUartRecvFrame(Frame::build({0, 0, 2, 8}, Frame::CmdSearch, {}));
    dataStream->selectDevice(0, 0);
    QTRY_COMPARE(peer.frames.size(), 1);
    ST_BasicData start;
    for (int i = 0; i < ST_BasicData::Size; ++i)
        start.setByte(i, 0x77);
    dataStream->curDevice->setBasicData(start);
    dataStream->basicData = start;

    QList<bool> before;
    for (D_RadioButton *b : qAsConst(w->customButtons))
        before << b->isChecked();
    D_RadioButton *b = w->customButtons.at(id);
    QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(40, 10));
    QVERIFY(b->isChecked());
    // Only the members of its own box are unchecked.
    const auto box = dynamic_cast<D_GroupBox *>(b->parentWidget());
    QVERIFY(box);
    for (int i = 0; i < D_RadioButton::Count; ++i) {
        if (i == id)
            continue;
        if (box->members.contains(w->customButtons.at(i)))
            QVERIFY(!w->customButtons.at(i)->isChecked());
        else
            QCOMPARE(w->customButtons.at(i)->isChecked(), before.at(i));
    }
    Field f;
    QVERIFY(fieldByName(field.toLatin1().constData(), &f));
    ST_BasicData expected = start;
    expected.set(f, value);
    QCOMPARE(dataStream->curDevice->getBasicData(), expected);
    QTRY_COMPARE(peer.frames.size(), 2);
    QCOMPARE(int(Frame::command(peer.frames.last().bytes)), command);

    // Releasing it again sends again.
    QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(40, 10));
    QTRY_COMPARE(peer.frames.size(), 3);
}

void TestMainWindow::pagesForReview()
{
    QWidget *const pages[] = {w->ui->widget, w->ui->widget_2, w->ui->widget_4,
                              w->ui->widget_5, w->ui->widget_3, w->ui->widget_6};
    const char *const names[] = {"picture", "marker", "function", "source", "audio", "umd"};
    const QString dir = screenshotDir();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    for (int k = 0; k < 6; ++k) {
        for (QWidget *p : pages)
            p->setVisible(p == pages[k]);
        QVERIFY(pages[k]->grab().save(dir + QStringLiteral("/page-%1-%2.png").arg(k).arg(names[k])));
        QVERIFY(w->grab().save(dir + QStringLiteral("/window-%1-%2.png").arg(k).arg(names[k])));
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
