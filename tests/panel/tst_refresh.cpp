// The refresh from received settings, driven in the real window on "LAN"
// against simulated monitors of every device type, inside network namespaces
// made by this test: each layout row checks the right buttons and places the
// right controls; values with no button of their own check nothing; a refresh
// sends nothing back; the device list and the devices addressed always agree.
#include <QtTest>

#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>

#include "d_radiobutton.h"
#include "datastream.h"
#include "mainwindow.h"
#include "netlab.h"
#include "networklink.h"
#include "pktinfo.h"
#include "simulator.h"
#include "ui_mainwindow.h"

using namespace Sim;

namespace {
const QPoint kOut(-2000, -2000);
QStringList gMessages;
void captureMessage(QWidget *, const QString &title, const QString &text, bool)
{
    gMessages << (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}

// Monitors of every layout row: type -> last address field.
const QList<QPair<int, int>> kMonitors{{1, 11}, {2, 12}, {3, 13}, {4, 14}, {5, 15}, {6, 16}, {128, 28}, {129, 29}};
QString addr(int last) { return QStringLiteral("10.77.0.%1").arg(last); }
} // namespace

class TestRefresh : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void searchListsEveryType();
    void recordIsShownForEveryRow_data();
    void recordIsShownForEveryRow();
    void valuesWithoutAButtonCheckNothing();
    void refreshSendsNothing();
    void lateReplyAndLinkSwitchKeepListAndDevicesTogether();
    void allWithOneTypeGreysTheList();
    void oneMonitorLeavesCopyAndPasteOff();

private:
    bool search();
    bool pick(int row);
    int commandsApplied() const;
    QRadioButton *radio(const char *name) const { return w->findChild<QRadioButton *>(QLatin1String(name)); }
    QWidget *widget(const char *name) const { return w->findChild<QWidget *>(QLatin1String(name)); }

    NetLab *lab = nullptr;
    QString monNs;
    Simulator sim;
    NetworkLink *link = nullptr;
    MainWindow *w = nullptr;
};

void TestRefresh::initTestCase()
{
    QString why;
    if (!NetLab::available(&why))
        QSKIP(qPrintable(why));
    usePanelStyle();
    showMessage = captureMessage;
    lab = new NetLab;
    const QString panelNs = lab->addNamespace(QStringLiteral("panel"));
    monNs = lab->addNamespace(QStringLiteral("mons"));
    QStringList cidrs{QStringLiteral("10.77.0.40/24")}; // a late answer comes from .40
    for (const auto &m : kMonitors) {
        sim.monitors << makeMonitor(m.first, m.second, addr(m.second), QStringLiteral("TYPE %1").arg(m.first));
        cidrs << addr(m.second) + QStringLiteral("/24");
    }
    QVERIFY(!lab->link(panelNs, {QStringLiteral("10.77.0.1/24")}, monNs, cidrs).isEmpty());
    QVERIFY(NetLab::enter(panelNs));
    link = new NetworkLink(&sim);
    QVERIFY2(link->adopt(lab->udpSocketIn(monNs, QStringLiteral("0.0.0.0"), NetworkLink::MonitorPort), &why),
             qPrintable(why));
    w = new MainWindow;
    QVERIFY(search());
    w->readTimer->stop(); // reads are requested by the test
}

void TestRefresh::cleanupTestCase()
{
    delete w;
    delete link;
    delete lab;
}

bool TestRefresh::search()
{
    QSignalSpy completed(dataStream, &DataStream::signalSearchCompleted);
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    return completed.wait(10000);
}

bool TestRefresh::pick(int row)
{
    QSignalSpy recv(dataStream, &DataStream::signalRecvBasicData);
    w->on_listWidget_clicked(row);
    return recv.wait(3000);
}

int TestRefresh::commandsApplied() const
{
    int n = 0;
    for (const SimMonitor &m : sim.monitors)
        n += m.commandsApplied;
    return n;
}

void TestRefresh::searchListsEveryType()
{
    QCOMPARE(w->ui->listWidget->count(), kMonitors.size());
    for (int i = 0; i < kMonitors.size(); ++i) {
        QCOMPARE(w->ui->listWidget->item(i)->text(), addr(kMonitors.at(i).second));
        QCOMPARE(dataStream->deviceList.at(i)->ipAddr, addr(kMonitors.at(i).second));
        QCOMPARE(w->ui->listWidget->item(i)->background().color(), i == 0 ? QColor(160, 160, 160) : QColor(235, 235, 235));
    }
    QCOMPARE(w->ui->listWidget->currentRow(), 0);
    QVERIFY(w->ui->pushButton_10->isEnabled());
    QVERIFY(w->ui->pushButton_11->isEnabled());
}

void TestRefresh::recordIsShownForEveryRow_data()
{
    QTest::addColumn<int>("row");         // device-list row
    QTest::addColumn<QStringList>("checked");
    QTest::addColumn<QStringList>("outOfSight");
    QTest::addColumn<QStringList>("inSight");
    QTest::newRow("type 1") << 0 << QStringList{"radioButton_49", "radioButton_154"}
                            << QStringList{"radioButton_45", "groupBox_40", "groupBox_41", "groupBox_44", "radioButton_154"}
                            << QStringList{"radioButton_48", "tabWidget", "groupBox_18"};
    QTest::newRow("type 2") << 1 << QStringList{"radioButton_49"} << QStringList{"radioButton_153", "radioButton_129"}
                            << QStringList{"radioButton_45", "radioButton_130"};
    QTest::newRow("type 3") << 2 << QStringList{} << QStringList{"radioButton_45", "radioButton_129"}
                            << QStringList{"radioButton_49"};
    QTest::newRow("type 4") << 3 << QStringList{}
                            << QStringList{"radioButton_45", "radioButton_153", "groupBox_38", "groupBox_44"}
                            << QStringList{"groupBox_41", "groupBox_18"};
    QTest::newRow("type 5") << 4 << QStringList{} << QStringList{"tabWidget", "groupBox_14", "groupBox_44"}
                            << QStringList{"radioButton_154", "groupBox_41"};
    QTest::newRow("type 6, no row of its own") << 5 << QStringList{}
                                               << QStringList{"radioButton_153", "groupBox_40", "radioButton_154"}
                                               << QStringList{"radioButton_45", "groupBox_18"};
    QTest::newRow("type 128") << 6 << QStringList{} << QStringList{"radioButton_3", "tabWidget", "groupBox_16"}
                              << QStringList{"radioButton_153", "groupBox_44"};
    QTest::newRow("type 129") << 7 << QStringList{} << QStringList{"radioButton_3", "groupBox_29", "radioButton_68"}
                              << QStringList{"radioButton_49", "groupBox_44"};
}

void TestRefresh::recordIsShownForEveryRow()
{
    QFETCH(int, row);
    QFETCH(QStringList, checked);
    QFETCH(QStringList, outOfSight);
    QFETCH(QStringList, inSight);
    SimMonitor &m = sim.monitors[row];
    ST_BasicData &r = m.screens[0].record;
    r.set(Field::brightness, 33);
    r.set(Field::volume, 71);
    r.set(Field::colorTemp, 3);
    r.set(Field::markerColor, 2);
    r.set(Field::centerMarker, 1);
    r.set(Field::aspectMarker, 5);
    r.set(Field::safetyMarker, 4);
    r.set(Field::aspectMat, 6);
    r.set(Field::markerThickness, 5);
    r.set(Field::tally, 2);
    r.setByte(7, row < 2 ? 7 : 4); // HDMI on the first two, SFP elsewhere
    r.set(Field::levelMeter, 1);
    r.set(Field::vectorCh, 3);
    r.set(Field::audioLeftOut, 2);
    r.set(Field::audioRightOut, 9);
    r.set(Field::freeze, 1);
    r.set(Field::aspect, 8);
    r.set(Field::falseColor, 1);
    r.set(Field::fullMode, 4);
    r.set(Field::imageFlip, 3);
    r.set(Field::wave, 2);
    QVERIFY(pick(row));
    QCOMPARE(shownType, kMonitors.at(row).first);
    QCOMPARE(w->ui->label_35->text(), QString::fromLatin1(m.name));

    // Every option group shows the received value.
    for (const char *name : {"radioButton_6", "radioButton_13", "radioButton_10", "radioButton_21", "radioButton_26",
                             "radioButton_35", "radioButton_41", "radioButton_111", "radioButton_51", "radioButton_55",
                             "radioButton_137", "radioButton_60", "radioButton_107", "radioButton_147",
                             "radioButton_81", "radioButton_96"})
        QVERIFY2(radio(name)->isChecked(), name);
    for (const QString &name : checked)
        QVERIFY2(radio(name.toLatin1().constData())->isChecked(), qPrintable(name));
    if (row >= 2)
        QVERIFY(radio("radioButton_48")->isChecked());
    QCOMPARE(w->ui->brightnessSlider->value(), 33);
    QCOMPARE(w->ui->spinBox->value(), 33);
    QCOMPARE(w->ui->horizontalSlider_7->value(), 71);
    QCOMPARE(w->ui->horizontalSlider->value(), 5);
    QCOMPARE(w->ui->horizontalSlider_8->value(), 10);
    QCOMPARE(w->ui->horizontalSlider_9->value(), 3);

    // The layout row of the type.
    for (const QString &name : outOfSight)
        QVERIFY2(widget(name.toLatin1().constData())->pos() == kOut, qPrintable(name));
    for (const QString &name : inSight)
        QVERIFY2(widget(name.toLatin1().constData())->pos() != kOut, qPrintable(name));
    // Type rules: "SDI" on types 1, 3, 4, 128, 129; multiview only on type 2.
    const int type = kMonitors.at(row).first;
    const bool sdi = type == 1 || type == 3 || type == 4 || type == 128 || type == 129;
    QCOMPARE(w->ui->radioButton_44->text(), sdi ? QStringLiteral("SDI") : QStringLiteral("SDI1"));
    QCOMPARE(w->ui->enableMV->isHidden(), type != 2);
    QCOMPARE(w->ui->horizontalSlider->maximum(), type == 2 || type == 3 ? 15 : 7);
}

void TestRefresh::valuesWithoutAButtonCheckNothing()
{
    SimMonitor &m = sim.monitors[1]; // type 2 carries UMD slots 1-3 and multiview
    ST_BasicData &r = m.screens[0].record;
    r.set(Field::aspectMarker, 3);
    r.set(Field::safetyMarker, 2);
    r.setByte(7, 1);
    r.set(Field::umd1Color, 3);
    r.set(Field::mvSource2, 4);
    QVERIFY(pick(1));
    QVERIFY(w->ui->radioButton_19->isChecked());
    QVERIFY(w->customButtons.at(5)->isChecked());
    QVERIFY(w->customButtons.at(46)->isChecked());
    QList<bool> before;
    for (D_RadioButton *b : qAsConst(w->customButtons))
        before << b->isChecked();

    // Byte 11 of 160 or more: "Aspect Marker" keeps its choice, "Safety Marker" follows.
    r.setByte(11, 0xA5);
    // "VIDEO" (12) selects no source button.
    r.setByte(7, 12);
    // UMD colour 7 and multiview sources 6 and 7 have no button of their own.
    r.set(Field::umd1Color, 7);
    r.set(Field::umd4Color, 7);
    r.set(Field::mvSource2, 6);
    r.set(Field::mvSource4, 7);
    QVERIFY(pick(1));
    QVERIFY(w->ui->radioButton_19->isChecked());
    QVERIFY(w->ui->radioButton_27->isChecked());
    QVERIFY(w->ui->radioButton_45->isChecked()); // unchanged from before
    QCOMPARE(dataStream->basicData.byte(7), std::uint8_t(12));
    for (int id = 0; id < D_RadioButton::Count; ++id)
        QCOMPARE(w->customButtons.at(id)->isChecked(), before.at(id));
}

void TestRefresh::refreshSendsNothing()
{
    // Records that move every slider, including values the sliders clamp
    // (thickness 0 shown as 1), must not be written back to the monitor.
    const int before = commandsApplied();
    for (int row = 0; row < kMonitors.size(); ++row) {
        ST_BasicData &r = sim.monitors[row].screens[0].record;
        r.set(Field::brightness, 90 - row);
        r.set(Field::volume, 10 + row);
        r.set(Field::markerThickness, 0);
        r.set(Field::audioLeftOut, 15);
        r.set(Field::audioRightOut, 11);
        QVERIFY(pick(row));
    }
    QTest::qWait(200);
    QCOMPARE(commandsApplied(), before);
    QCOMPARE(w->readDelay, 0); // nothing was sent, so nothing held the read off
}

void TestRefresh::lateReplyAndLinkSwitchKeepListAndDevicesTogether()
{
    // A search reply after the list was announced is not slipped into the devices.
    const int fd = lab->udpSocketIn(monNs, QStringLiteral("10.77.0.40"), NetworkLink::MonitorPort);
    QVERIFY(fd >= 0);
    const QByteArray reply = Frame::build({Frame::LinkNetwork, 0, 1, 40}, Frame::CmdSearch, {});
    PktInfo::sendFrom(fd, QStringLiteral("10.77.0.40"), PktInfo::endpoint(QStringLiteral("10.77.0.1"), 19522), reply);
    QTest::qWait(300);
    QCOMPARE(dataStream->deviceList.size(), w->ui->listWidget->count());
    for (int i = 0; i < w->ui->listWidget->count(); ++i)
        QCOMPARE(dataStream->deviceList.at(i)->ipAddr, w->ui->listWidget->item(i)->text());

    // Switching the link empties both.
    QTest::mousePress(w->ui->radioButton_2, Qt::LeftButton);
    QCOMPARE(w->ui->listWidget->count(), 0);
    QVERIFY(dataStream->deviceList.isEmpty());
    QVERIFY(!dataStream->hasCurrentDevice());
    const int before = commandsApplied();
    QTest::mouseClick(w->ui->radioButton_4, Qt::LeftButton); // a setting with no monitor
    QTest::qWait(100);
    QCOMPARE(commandsApplied(), before);
    QTest::mousePress(w->ui->radioButton, Qt::LeftButton);
    QCOMPARE(dataStream->linkMode, int(DataStream::LinkNetwork));
}

void TestRefresh::allWithOneTypeGreysTheList()
{
    for (SimMonitor &m : sim.monitors)
        m.type = 4;
    QVERIFY(search());
    w->readTimer->stop();
    gMessages.clear();
    QTest::mouseClick(w->ui->checkBox, Qt::LeftButton);
    QVERIFY(w->ui->checkBox->isChecked());
    QVERIFY(gMessages.isEmpty());
    QVERIFY(!w->ui->listWidget->isEnabled());
    QVERIFY(dataStream->sendToAll);
    // A setting now reaches every monitor.
    const int before = commandsApplied();
    QTest::mouseClick(w->ui->radioButton_5, Qt::LeftButton);
    QTRY_VERIFY(commandsApplied() >= before + kMonitors.size());
    for (const SimMonitor &m : sim.monitors)
        QCOMPARE(m.screens[0].record.get(Field::colorTemp), 2);
    QTest::mouseClick(w->ui->checkBox, Qt::LeftButton);
    QVERIFY(w->ui->listWidget->isEnabled());
    QVERIFY(!dataStream->sendToAll);
}

void TestRefresh::oneMonitorLeavesCopyAndPasteOff()
{
    sim.monitors.resize(1);
    QVERIFY(search());
    QCOMPARE(w->ui->listWidget->count(), 1);
    QCOMPARE(w->ui->listWidget->currentRow(), 0);
    QVERIFY(!w->ui->pushButton_10->isEnabled());
    QVERIFY(!w->ui->pushButton_11->isEnabled());
}

QTEST_MAIN(TestRefresh)
#include "tst_refresh.moc"
