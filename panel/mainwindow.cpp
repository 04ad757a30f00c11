#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QCursor>
#include <QDebug>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStyleFactory>
#include <QTimer>
#include <QWheelEvent>

#include "d_groupbox.h"
#include "d_radiobutton.h"
#include "datastream.h"
#include "resources.h"
#include "typelayout.h"

int lastPortCount = -1;
int pageScrollY = 0;
int shownType = 0;

namespace {
const QColor kRowColor(235, 235, 235);
const QColor kPickedRowColor(160, 160, 160);
const QColor kCopySourceRowColor(150, 0, 0);
const char *const kScreenPlainStyle = "border-image: url(:/res/7.png);";
const char *const kScreenSelectedStyle = "border-image: url(:/res/8.png);";
const char *const kSelectedPageStyle = "background-color: rgba(120,120,120,100);";

struct PageInfo {
    const char *image;
    int height;
    int scrollMaximum;
    bool scrolls;
};
// Page index -> image of its button, working height, scroll bar maximum, scrollable.
const PageInfo kPages[MainWindow::PageCount] = {
    {"2.png", 541, 0, false}, {"3.png", 541, 1, true}, {"5.png", 841, 1, true},
    {"1.png", 541, 0, false}, {"4.png", 541, 1, true}, {"6.png", 700, 1, false}};

// The level controls: slider, spin box, record field, packet group.
struct LevelRow {
    QSlider *Ui::MainWindow::*slider;
    QSpinBox *Ui::MainWindow::*spin;
    Field field;
    int group;
};
const LevelRow kLevels[] = {
    {&Ui::MainWindow::brightnessSlider, &Ui::MainWindow::spinBox, Field::brightness, 1},
    {&Ui::MainWindow::contrastSlider, &Ui::MainWindow::spinBox_2, Field::contrast, 1},
    {&Ui::MainWindow::saturationSlider, &Ui::MainWindow::spinBox_3, Field::saturation, 1},
    {&Ui::MainWindow::tintSlider, &Ui::MainWindow::spinBox_4, Field::tint, 1},
    {&Ui::MainWindow::sharpnessSlider, &Ui::MainWindow::spinBox_5, Field::sharpness, 1},
    {&Ui::MainWindow::backLightSlider, &Ui::MainWindow::spinBox_6, Field::backLight, 1},
    {&Ui::MainWindow::horizontalSlider_7, &Ui::MainWindow::spinBox_13, Field::volume, 4},
};

void defaultMessage(QWidget *parent, const QString &title, const QString &text, bool warning)
{
    if (warning) {
        QMessageBox::warning(parent, title, text, QMessageBox::Yes);
    } else {
        QMessageBox box(parent);
        box.setText(text);
        box.exec();
    }
}
} // namespace

MessageSeam showMessage = defaultMessage;

void preparePanelPlatform()
{
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // The form has fixed pixel geometry, so on a high-density screen the whole
    // window scales (text, images and geometry together) by the screen's factor.
    // Qt 6 always does; Qt 5 does only when asked, and would otherwise draw
    // large text into the small form.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

bool styleOnCommandLine(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-style" || arg == "--style" || arg.startsWith("-style=") || arg.startsWith("--style="))
            return true;
    }
    return false;
}

void usePanelStyle(bool chosenOnCommandLine)
{
    const bool chosen = chosenOnCommandLine || qEnvironmentVariableIsSet("QT_STYLE_OVERRIDE");
    if (!chosen)
        if (QStyle *style = QStyleFactory::create(QStringLiteral("Windows")))
            QApplication::setStyle(style);
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initUiResources();
    shownData.setByte(7, 0);
    shownData.setByte(8, 0);
    shownData.setByte(9, 0);
    ui->setupUi(this);

    dataStream = new DataStream;
    connect(dataStream, &DataStream::signalFoundDevice, this, &MainWindow::slotFoundDevice);
    connect(dataStream, &DataStream::signalRecvBasicData, this, &MainWindow::slotUpdateUI);
    connect(dataStream, &DataStream::signalSearchCompleted, this, &MainWindow::slotSearchCompleted);
    connect(dataStream, &DataStream::signalUartSearchProgress, this, &MainWindow::slotUartSearchProgress);
    connect(dataStream, &DataStream::signalDeviceTimeout, this, &MainWindow::slotWaitTimeOut);
    connect(dataStream, &DataStream::signalUpdateDevice, this, &MainWindow::slotUpdateDevice);
    connect(dataStream, &DataStream::signalIDIP_Error, this, &MainWindow::slotIDIP_Error);

    ui->label_21->show();
    for (QLabel *l : {ui->label_22, ui->label_23, ui->label_24, ui->label_25, ui->label_26})
        l->hide();

    copyArmed = 0;
    copySrcRow = copyDstRow = 0;
    umdEditText = QString(kUmdTextLength, QLatin1Char(' '));
    sliderHeld = 0;

    umdResendTimer = new QTimer(this);
    connect(umdResendTimer, &QTimer::timeout, this, &MainWindow::slotUmdReSend);
    setFixedSize(FixedWidth, FixedHeight);

    for (int s = 0; s < 8; ++s)
        screenButton(s)->setContextMenuPolicy(Qt::CustomContextMenu);

    on_radioButton_pressed();

    copyMenu = new QMenu;
    actCopyAll = new QAction(QStringLiteral("Copy To All"), this);
    connect(actCopyAll, &QAction::triggered, this, &MainWindow::slotScreenCopyToAll);
    void (MainWindow::*const copySlots[])() = {
        &MainWindow::slotScreenCopyTo1, &MainWindow::slotScreenCopyTo2, &MainWindow::slotScreenCopyTo3,
        &MainWindow::slotScreenCopyTo4, &MainWindow::slotScreenCopyTo5, &MainWindow::slotScreenCopyTo6,
        &MainWindow::slotScreenCopyTo7, &MainWindow::slotScreenCopyTo8};
    for (int i = 1; i <= 8; ++i) {
        actCopyTo[i] = new QAction(QStringLiteral("Copy To %1").arg(i), this);
        connect(actCopyTo[i], &QAction::triggered, this, copySlots[i - 1]);
    }
    copyMenu->addAction(actCopyTo[1]);

    ui->listWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    ui->listWidget->installEventFilter(this);
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);

    for (int k = 0; k < PageCount; ++k) {
        pageWidget(k)->move(0, 0);
        pageWidget(k)->resize(661, kPages[k].height);
    }
    ui->widget_7->resize(661, 541);
    for (int k = 0; k < PageCount; ++k)
        pageWidget(k)->setVisible(k == 0);

    searchProgress = new QProgressBar(this);
    searchProgress->setGeometry(120, 310, 113, 23);
    searchProgress->setValue(0);
    searchProgress->hide();

    refreshPortList();
    refreshScreenNums();
    setWindowIcon(QIcon(QStringLiteral(":/res/window.png")));

    for (int k = 0; k < PageCount; ++k)
        pageWidget(k)->setParent(ui->widget_7);
    ui->widget->show();

    buildCustomGroups();
    typeLayout = std::make_unique<TypeLayout>(this);
    connectChoices();
    refreshAll();

    readTimer = new QTimer(this);
    connect(readTimer, &QTimer::timeout, this, &MainWindow::slotReadMachine);
    ui->verticalScrollBar->hide();
}

MainWindow::~MainWindow()
{
    delete ui;
    // The protocol object and the menu have no parent; they go with the window.
    delete copyMenu;
    delete dataStream;
    dataStream = nullptr;
}

QWidget *MainWindow::screenButton(int index) const
{
    QPushButton *const buttons[] = {ui->pushButton_9, ui->pushButton_2, ui->pushButton_3, ui->pushButton_4,
                                    ui->pushButton_5, ui->pushButton_6, ui->pushButton_7, ui->pushButton_8};
    return buttons[qBound(0, index, 7)];
}

QWidget *MainWindow::pageWidget(int page) const
{
    QWidget *const pages[] = {ui->widget, ui->widget_2, ui->widget_4, ui->widget_5, ui->widget_3, ui->widget_6};
    return pages[qBound(0, page, PageCount - 1)];
}

void MainWindow::buildCustomGroups()
{
    // UMD slots: for each an on/off box and a colour box over the tab widget.
    for (int id = 0; id < D_RadioButton::FirstMvId; ++id)
        customButtons.append(new D_RadioButton(id, this));
    for (int k = 0; k < 4; ++k) {
        const int base = k * D_RadioButton::IdsPerUmdSlot;
        auto onOff = new D_GroupBox(QStringLiteral("UMD"), ui->tabWidget);
        onOff->move(20, 30);
        onOff->addWidget(customButtons.at(base));
        onOff->addWidget(customButtons.at(base + 1));
        auto colors = new D_GroupBox(QStringLiteral("UMD Color"), ui->tabWidget);
        colors->move(20, 120);
        for (int id = base + 2; id <= base + 8; ++id)
            colors->addWidget(customButtons.at(id));
        umdGroups << onOff << colors;
    }
    for (int i = 2; i < umdGroups.size(); ++i)
        umdGroups.at(i)->hide();
    for (int k = 0; k < 4; ++k) {
        customButtons.at(k * D_RadioButton::IdsPerUmdSlot)->setChecked(true);
        customButtons.at(k * D_RadioButton::IdsPerUmdSlot + 2)->setChecked(true);
    }

    // Multiview windows: one source box each on the multiview group.
    for (int id = D_RadioButton::FirstMvId; id < D_RadioButton::Count; ++id)
        customButtons.append(new D_RadioButton(id, this));
    for (D_RadioButton *b : qAsConst(customButtons))
        b->installEventFilter(this);
    for (int m = 0; m < 4; ++m) {
        auto box = new D_GroupBox(QStringLiteral("MV%1 Source").arg(m + 1), ui->multiVideo);
        box->move(10, 20 + 90 * m);
        box->resize(630, 90);
        const int base = D_RadioButton::FirstMvId + m * D_RadioButton::IdsPerMvWindow;
        for (int id = base; id < base + D_RadioButton::IdsPerMvWindow; ++id)
            box->addWidget(customButtons.at(id));
        mvGroups << box;
    }
}

// ---------------------------------------------------------------- connection panel

// The list on screen and the devices addressed are emptied together, so no
// command can go to a monitor the operator no longer sees.
void MainWindow::clearDeviceList()
{
    sendPendingUmdText();
    ui->listWidget->clear();
    dataStream->clearDeviceList();
}

void MainWindow::on_radioButton_pressed()
{
    if (dataStream->linkMode != DataStream::LinkNetwork) {
        clearDeviceList();
        readTimer->stop();
    }
    dataStream->linkMode = DataStream::LinkNetwork;
    ui->comboBox->setEnabled(false);
    ui->comboBox_2->setEnabled(false);
}

void MainWindow::on_radioButton_2_pressed()
{
    if (dataStream->linkMode != DataStream::LinkSerial) {
        clearDeviceList();
        readTimer->stop();
        ui->pushButton_10->setEnabled(false);
        ui->pushButton_11->setEnabled(false);
    }
    dataStream->linkMode = DataStream::LinkSerial;
    refreshPortList();
    ui->comboBox->setEnabled(true);
    ui->comboBox_2->setEnabled(true);
}

void MainWindow::refreshPortList()
{
    QStringList names;
    for (const QSerialPortInfo &p : QSerialPortInfo::availablePorts())
        names << p.portName();
    QStringList listed;
    for (int i = 0; i < ui->comboBox->count(); ++i)
        listed << ui->comboBox->itemText(i);
    // One adapter swapped for another leaves the count as it was: compare names.
    if (names.size() == lastPortCount && names == listed)
        return;
    lastPortCount = names.size();
    const QString chosen = ui->comboBox->currentText();
    ui->comboBox->clear();
    ui->comboBox->addItems(names);
    if (names.contains(chosen))
        ui->comboBox->setCurrentText(chosen);
}

void MainWindow::on_comboBox_currentIndexChanged(int)
{
    dataStream->port->setPortName(ui->comboBox->currentText());
}

void MainWindow::on_comboBox_2_currentIndexChanged(int)
{
    dataStream->port->setBaudRate(ui->comboBox_2->currentText().toInt());
}

void MainWindow::on_pushButton_clicked()
{
    if (dataStream->searching) {
        qDebug() << "device is search ing ... ...";
        return;
    }
    sendPendingUmdText();
    ui->listWidget->clear();
    dataStream->port->setSerialPort(ui->comboBox->currentText(), ui->comboBox_2->currentText().toInt());
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);
    lockForSearch(true);
    dataStream->startSearch();
    readTimer->start(ReadIntervalMs);
    // Unchecking "All" runs its check (through its handler) only if it was checked.
    ui->checkBox->setChecked(false);
}

// While a search runs its button is hidden, the links cannot be switched and the
// list cannot be picked from; the progress bar shows instead.
void MainWindow::lockForSearch(bool locked)
{
    ui->pushButton->setHidden(locked);
    ui->radioButton->setEnabled(!locked);
    ui->radioButton_2->setEnabled(!locked);
    ui->listWidget->setEnabled(!locked);
    searchProgress->setVisible(locked);
}

void MainWindow::slotUartSearchProgress(uchar id)
{
    searchProgress->setValue(static_cast<int>((id + 1) * 100.0 / 126));
}

void MainWindow::slotFoundDevice(QString str)
{
    ui->listWidget->addItem(str);
}

void MainWindow::slotSearchCompleted()
{
    if (dataStream->deviceList.size() >= 2) {
        ui->pushButton_10->setEnabled(true);
        ui->pushButton_11->setEnabled(true);
    }
    lockForSearch(false);
    on_listWidget_clicked(0);
    applyAllCheck();
}

void MainWindow::on_listWidget_clicked(const QModelIndex &index)
{
    on_listWidget_clicked(index.row());
}

void MainWindow::on_listWidget_clicked(int index)
{
    if (index >= 0 && index < dataStream->deviceList.size() && dataStream->deviceList.at(index) != dataStream->curDevice)
        sendPendingUmdText();
    ui->listWidget->setCurrentRow(index);
    if (index < 0 || ui->listWidget->count() == 0)
        return;
    for (int i = 0; i < ui->listWidget->count(); ++i)
        ui->listWidget->item(i)->setBackground(kRowColor);
    if (QListWidgetItem *item = ui->listWidget->item(index)) {
        item->setBackground(kPickedRowColor);
        dataStream->bindForDevice(item->text());
    }
    screenNums = dataStream->selectDevice(index, -1);
    showUmdTextOfCurrent();
}

// A key that moves the list's current row (arrows, page keys, typed initials)
// picks the new row as a click does, once the list has handled the key. A click
// picks on its own, through on_listWidget_clicked.
bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // A custom button sends on its release, straight through the protocol object.
    if (event->type() == QEvent::MouseButtonRelease && dynamic_cast<D_RadioButton *>(watched) && refuseUnread())
        return true;
    if (watched == ui->listWidget && event->type() == QEvent::KeyPress)
        QMetaObject::invokeMethod(
            this,
            [this] {
                const int row = ui->listWidget->currentRow();
                if (row >= 0 && row < dataStream->deviceList.size() && dataStream->deviceList.at(row) != dataStream->curDevice)
                    on_listWidget_clicked(row);
            },
            Qt::QueuedConnection);
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::on_checkBox_stateChanged(int)
{
    applyAllCheck();
}

void MainWindow::applyAllCheck()
{
    const auto &list = dataStream->deviceList;
    if (list.size() >= 2) {
        const int type = list.first()->deviceType;
        const bool mixed = std::any_of(list.cbegin(), list.cend(), [type](const MachineDevice *d) { return d->deviceType != type; });
        if (mixed) {
            if (ui->checkBox->isChecked()) {
                ui->checkBox->setChecked(false);
                showMessage(this, QStringLiteral("Err"), QStringLiteral("Device Type Mismatch !"), true);
            }
            return;
        }
    }
    const bool all = ui->checkBox->isChecked();
    if (all != dataStream->sendToAll)
        sendPendingUmdText();
    ui->listWidget->setEnabled(!all);
    dataStream->sendToAll = all;
}

void MainWindow::on_listWidget_itemDoubleClicked(QListWidgetItem *) {}

void MainWindow::on_listWidget_customContextMenuRequested(const QPoint &) {}

void MainWindow::slotReadMachine()
{
    if (readDelay > 0) {
        --readDelay;
        return;
    }
    readRoutine();
}

// Unlocks a panel locked by a device copy, then reads the current screen.
void MainWindow::readRoutine()
{
    if (!ui->widget->isEnabled())
        lockPanel(false);
    dataStream->selectDevice(ui->listWidget->currentRow(), dataStream->currentScreen());
}

void MainWindow::slotWaitTimeOut()
{
    readTimer->stop();
    showMessage(this, QString(), QStringLiteral("Time Out !"), false);
    clearDeviceList();
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);
}

void MainWindow::slotIDIP_Error()
{
    qDebug() << "Ip ID Err !!!!!";
}

void MainWindow::slotUpdateDevice()
{
    readDelay = ReadDelayAfterSend;
}

// ---------------------------------------------------------------- screens and pages

void MainWindow::screenIndexChanged(int index, bool bRequestData)
{
    // Re-applying an unchanged style sheet re-polishes the button: the once-a-second
    // refresh would restyle it for nothing.
    auto mark = [](QWidget *button, const char *style, const QColor &text) {
        const QString sheet = QString::fromLatin1(style);
        if (button->styleSheet() != sheet)
            button->setStyleSheet(sheet);
        if (button->palette().color(QPalette::ButtonText) != text) {
            QPalette pal = button->palette();
            pal.setColor(QPalette::All, QPalette::ButtonText, text);
            button->setPalette(pal);
        }
    };
    if (bRequestData && qBound(0, index, 7) != dataStream->currentScreen())
        sendPendingUmdText();
    mark(screenButton(curScreen), kScreenPlainStyle, Qt::black);
    curScreen = qBound(0, index, 7);
    mark(screenButton(curScreen), kScreenSelectedStyle, Qt::white);
    if (bRequestData) {
        dataStream->selectDevice(ui->listWidget->currentRow(), curScreen);
        showUmdTextOfCurrent();
    }
    copyMenu->clear();
    for (int i = 1; i <= qMin(screenNums, 8); ++i)
        if (i != dataStream->currentScreen() + 1)
            copyMenu->addAction(actCopyTo[i]);
    copyMenu->addAction(actCopyAll);
}

void MainWindow::refreshScreenNums()
{
    // Buttons of screens 1-7 show unless the count (1-7) says the device has fewer.
    const bool limited = screenNums >= 1 && screenNums <= 7;
    for (int s = 1; s < 8; ++s)
        screenButton(s)->setVisible(!limited || s < screenNums);
    screenIndexChanged(dataStream->currentScreen(), false);
}

void MainWindow::resetUI()
{
    for (QWidget *w : {static_cast<QWidget *>(ui->radioButton_45), static_cast<QWidget *>(ui->radioButton_46),
                       static_cast<QWidget *>(ui->radioButton_47), static_cast<QWidget *>(ui->radioButton_48),
                       static_cast<QWidget *>(ui->radioButton_130), static_cast<QWidget *>(ui->radioButton_131),
                       static_cast<QWidget *>(ui->radioButton_95), static_cast<QWidget *>(ui->tabWidget)})
        w->setEnabled(true);
}

void MainWindow::showPage(int page)
{
    QLabel *const grey[] = {ui->label_15, ui->label_16, ui->label_17, ui->label_18, ui->label_19, ui->label_20};
    QLabel *const bold[] = {ui->label_21, ui->label_22, ui->label_23, ui->label_24, ui->label_25, ui->label_26};
    QPushButton *const buttons[] = {ui->Pic_button, ui->Marker_button, ui->Fun_button,
                                    ui->WaveForm_button, ui->Audio_button, ui->System_button};
    curPage = qBound(0, page, PageCount - 1);
    for (int k = 0; k < PageCount; ++k) {
        bold[k]->hide();
        grey[k]->show();
        buttons[k]->setStyleSheet(QStringLiteral("border-image: url(:/res/%1);").arg(kPages[k].image));
    }
    grey[curPage]->hide();
    bold[curPage]->show();
    buttons[curPage]->setStyleSheet(buttons[curPage]->styleSheet() + QLatin1String(kSelectedPageStyle));
    for (int k = 0; k < PageCount; ++k)
        pageWidget(k)->hide();
    pageWidget(curPage)->show();
    on_listWidget_clicked(ui->listWidget->currentRow());
    ui->verticalScrollBar->setMaximum(kPages[curPage].scrollMaximum);
}

void MainWindow::scrollPage(int direction)
{
    if (!kPages[curPage].scrolls)
        return;
    QWidget *page = pageWidget(curPage);
    const int h = static_cast<qint16>(page->height());
    if (h == 0)
        return;
    if (direction > 0)
        pageScrollY = qMin(pageScrollY + 50, 0);
    else
        pageScrollY = qMax(pageScrollY - 50, 450 - h);
    page->move(0, pageScrollY);
}

void MainWindow::wheelEvent(QWheelEvent *event)
{
    if (curPage != 0 && curPage != 3)
        scrollPage(event->angleDelta().y());
}

void MainWindow::on_verticalScrollBar_valueChanged(int value)
{
    qDebug("value : %d", value);
    if (value == 1)
        scrollPage(-1);
    else if (value == 0)
        scrollPage(+1);
}

void MainWindow::on_tabWidget_currentChanged(int index)
{
    for (D_GroupBox *box : qAsConst(umdGroups))
        box->hide();
    if (index >= 0 && 2 * index + 1 < umdGroups.size()) {
        umdGroups.at(2 * index)->show();
        umdGroups.at(2 * index + 1)->show();
    }
}

void MainWindow::on_enableMV_clicked()
{
    if (refuseUnread())
        return;
    if (ui->enableMV->isChecked())
        dataStream->enableMv();
    else
        dataStream->disableMv();
    refreshAll();
}

// ---------------------------------------------------------------- refresh

void MainWindow::slotUpdateUI(ST_BasicData bsData)
{
    shownData = bsData;
    shownType = qMax(0, dataStream->curDevice->deviceType);
    refreshAll();
}

QSlider *MainWindow::slider(const SliderRow &row) const
{
    return findChild<QSlider *>(QLatin1String(row.object));
}

void MainWindow::refreshChoices(Page page)
{
    for (std::size_t i = 0; i < kChoiceGroups.size(); ++i) {
        const ChoiceGroup &g = kChoiceGroups[i];
        if (g.page != page)
            continue;
        const int value = shownValue(g, shownData);
        int k = 0;
        for (const Choice &c : g.choices) {
            if (c.value == value && choiceButtons[i][k])
                choiceButtons[i][k]->setChecked(true);
            ++k;
        }
    }
}

void MainWindow::refreshSliders(Page page)
{
    for (const SliderRow &row : kSliderRows) {
        if (row.page != page)
            continue;
        if (QSlider *s = slider(row))
            s->setValue(shownData.get(row.field) + row.offset);
    }
}

// Checks the custom button of a value; a value with no button of its own
// (UMD colour 7, multiview sources 6 and 7) checks nothing.
void MainWindow::checkCustom(int firstId, int count, int value)
{
    if (value >= 0 && value < count)
        customButtons.at(firstId + value)->setChecked(true);
}

void MainWindow::refreshAll()
{
    // Moving sliders here must not send anything back to the monitor.
    const bool wasRefreshing = refreshing;
    refreshing = true;
    // One refresh shows one record: the working copy, which holds the last
    // received record and every edit made since.
    shownData = dataStream->basicData;

    const MachineDevice *d = dataStream->curDevice;
    ui->label_35->setText(d->deviceName);
    ui->label_3->setText(d->inputText[static_cast<std::size_t>(screenOfMask(d->screenMask))]);
    refreshScreenNums();

    refreshSliders(Page::Picture);
    refreshChoices(Page::Picture);
    refreshChoices(Page::Marker);
    refreshSliders(Page::Marker);

    refreshChoices(Page::Umd);
    const Field umdOn[] = {Field::umd1On, Field::umd2On, Field::umd3On, Field::umd4On};
    const Field umdColor[] = {Field::umd1Color, Field::umd2Color, Field::umd3Color, Field::umd4Color};
    for (int k = 0; k < 4; ++k) {
        const int base = k * D_RadioButton::IdsPerUmdSlot;
        checkCustom(base, 2, shownData.get(umdOn[k]));
        checkCustom(base + 2, 7, shownData.get(umdColor[k]));
    }

    refreshChoices(Page::Source);
    ui->enableMV->setChecked(shownData.get(Field::mvMode) == 1);
    const Field mvSource[] = {Field::mvSource1, Field::mvSource2, Field::mvSource3, Field::mvSource4};
    for (int m = 0; m < 4; ++m)
        checkCustom(D_RadioButton::FirstMvId + m * D_RadioButton::IdsPerMvWindow, D_RadioButton::IdsPerMvWindow,
                    shownData.get(mvSource[m]));

    refreshSliders(Page::Audio);
    refreshChoices(Page::Audio);
    refreshChoices(Page::Function);

    typeLayout->placeForType(shownType);
    typeLayout->applyTypeRules(shownType, shownData);
    refreshing = wasRefreshing;
}

// ---------------------------------------------------------------- setting controls

void MainWindow::connectChoices()
{
    choiceButtons.resize(kChoiceGroups.size());
    for (std::size_t i = 0; i < kChoiceGroups.size(); ++i) {
        const ChoiceGroup &g = kChoiceGroups[i];
        for (const Choice &c : g.choices) {
            auto *b = findChild<QRadioButton *>(QLatin1String(c.object));
            choiceButtons[i].push_back(b);
            if (!b)
                continue;
            auto handler = [this, &g, &c] { choiceReleased(g, c); };
            if (g.onClick)
                connect(b, &QAbstractButton::clicked, this, handler);
            else
                connect(b, &QAbstractButton::released, this, handler);
        }
    }
}

void MainWindow::storeAndSend(int group)
{
    dataStream->curDevice->setBasicData(dataStream->basicData);
    dataStream->sendGroup(group);
}

// An edit writes one field into the working record and sends the whole packet
// group that carries it; a screen copy sends the whole record. Until the monitor
// and screen picked last have answered their read, that record is the one picked
// before (or all zeros): the edit is refused and nothing is sent, as "Paste"
// refuses a source not read.
bool MainWindow::refuseUnread()
{
    if (!dataStream->hasCurrentDevice() || dataStream->curDevice->recordReceived)
        return false;
    showMessage(this, QStringLiteral("Err"), QStringLiteral("Device Not Read !"), true);
    return true;
}

// A released option button writes its value into its field and sends the packet
// group that carries the field; then its follow-up runs.
void MainWindow::choiceReleased(const ChoiceGroup &g, const Choice &c)
{
    if (refuseUnread())
        return;
    dataStream->basicData.set(g.field, c.value);
    storeAndSend(fieldInfo(g.field).group);
    if (c.noFollowUp)
        return;
    switch (g.followUp) {
    case FollowUp::None:
        break;
    case FollowUp::TypeRules:
        typeLayout->applyTypeRules(shownType, dataStream->basicData);
        break;
    case FollowUp::SourceLimits:
        typeLayout->applySourceLimits(shownType, dataStream->basicData);
        break;
    case FollowUp::Refresh:
        refreshAll();
        break;
    }
}

void MainWindow::levelPressed()
{
    readDelay = ReadDelayHeld;
    sliderHeld = 1;
}

void MainWindow::levelReleased(int level)
{
    const LevelRow &row = kLevels[level];
    readDelay = 1;
    sliderHeld = 0;
    if (refuseUnread())
        return;
    dataStream->basicData.set(row.field, (ui->*row.slider)->value() & 0xFF);
    storeAndSend(row.group);
}

void MainWindow::levelChanged(int level, int value)
{
    if (sliderHeld || refreshing)
        return;
    const LevelRow &row = kLevels[level];
    if (refuseUnread())
        return;
    dataStream->basicData.set(row.field, value & 0xFF);
    storeAndSend(row.group);
}

void MainWindow::on_horizontalSlider_valueChanged(int v)
{
    if (refreshing || refuseUnread())
        return;
    dataStream->basicData.set(Field::markerThickness, v);
    storeAndSend(fieldInfo(Field::markerThickness).group);
}

void MainWindow::audioOutChanged(Field field, int value)
{
    QLabel *label = field == Field::audioRightOut ? ui->label_33 : ui->label_34;
    label->setText(QStringLiteral("CH%1").arg(value));
    if (sliderHeld || refreshing)
        return;
    audioOutSend(field);
}

void MainWindow::audioOutReleased(Field field)
{
    readDelay = 1;
    sliderHeld = 0;
    audioOutSend(field);
}

// The output channel slider shows 1-16; the record holds the channel minus one.
void MainWindow::audioOutSend(Field field)
{
    if (refuseUnread())
        return;
    const QSlider *s = field == Field::audioRightOut ? ui->horizontalSlider_8 : ui->horizontalSlider_9;
    dataStream->basicData.set(field, s->value() - 1);
    storeAndSend(fieldInfo(field).group);
}

void MainWindow::umdTextChanged(int editor, const QString &text)
{
    if (refuseUnread())
        return;
    QLineEdit *const editors[] = {ui->lineEdit, ui->lineEdit_2, ui->lineEdit_3, ui->lineEdit_4};
    umdEditText = text;
    if (text.size() > kUmdTextLength) {
        umdEditText = text.left(kUmdTextLength);
        editors[editor]->setText(umdEditText); // runs this handler again with the cut text
    } else {
        umdEditText = text.leftJustified(kUmdTextLength, QLatin1Char(' '));
    }
    umdEditor = editor;
    umdShownKey = umdKey(*dataStream->curDevice, dataStream->currentScreen());
    umdTexts.insert(umdShownKey, UmdMemo{text.left(kUmdTextLength), editor});
    rememberUmdText({dataStream->currentScreen()});
    dataStream->basicData.set(Field::umdTextIndex, editor);
    dataStream->curDevice->setBasicData(dataStream->basicData);
    dataStream->umdText = umdEditText;
    umdResendTimer->stop();
    umdResendTimer->start(UmdResendMs);
}

void MainWindow::slotUmdReSend()
{
    umdResendTimer->stop();
    // A settings reply during the wait sets the text index to 15 (no text
    // edited); the text typed goes out with the number of its editor.
    dataStream->basicData.set(Field::umdTextIndex, umdEditor);
    storeAndSend(fieldInfo(Field::umdTextIndex).group);
}

// A text still waiting for its deferred send belongs to the monitor, screen and
// link it was typed for: it goes out now, before another one becomes current.
void MainWindow::sendPendingUmdText()
{
    if (umdResendTimer->isActive())
        slotUmdReSend();
}

// Monitors other than type 2 take the text of every group-6 frame as their label,
// so the panel keeps the text last typed or sent per monitor and screen. The key
// names the link, the monitor's address (serial port and ID on RS-422) and the
// screen: it holds across searches.
QString MainWindow::umdKey(const MachineDevice &device, int screen) const
{
    const QSerialPort *serial = dataStream->port->serial;
    const QString monitor = dataStream->linkMode == DataStream::LinkSerial
        ? QStringLiteral("serial:%1#%2").arg(serial ? serial->portName() : QString()).arg(device.deviceId)
        : QStringLiteral("lan:%1").arg(device.ipAddr);
    return QStringLiteral("%1@%2").arg(monitor).arg(screen);
}

// The text shown is now also that of these screens of the current monitor (of
// every listed monitor under "All"); none known there either when none is shown.
void MainWindow::rememberUmdText(const QVector<int> &screens)
{
    const auto shown = umdTexts.constFind(umdShownKey);
    const bool known = shown != umdTexts.constEnd();
    const UmdMemo memo = known ? *shown : UmdMemo();
    const QList<MachineDevice *> devices = dataStream->sendToAll ? dataStream->deviceList : QList<MachineDevice *>{dataStream->curDevice};
    for (const MachineDevice *d : devices)
        for (int s : screens) {
            const QString key = umdKey(*d, s);
            if (known)
                umdTexts.insert(key, memo);
            else
                umdTexts.remove(key);
        }
}

// Picking a monitor or screen shows the text last typed or sent for it in its
// editor (no text when none is known, as at start) and makes it the text that
// group-6 frames carry.
void MainWindow::showUmdTextOfCurrent()
{
    const QString key = umdKey(*dataStream->curDevice, dataStream->currentScreen());
    if (key == umdShownKey)
        return;
    umdShownKey = key;
    const auto memo = umdTexts.constFind(key);
    const bool known = memo != umdTexts.constEnd();
    QLineEdit *const editors[] = {ui->lineEdit, ui->lineEdit_2, ui->lineEdit_3, ui->lineEdit_4};
    for (int k = 0; k < 4; ++k) {
        const QSignalBlocker quiet(editors[k]);
        editors[k]->setText(known && memo->editor == k ? memo->text : QString());
    }
    umdEditor = known ? memo->editor : 0;
    umdEditText = Frame::umdLabel(known ? memo->text : QString());
    dataStream->umdText = known ? umdEditText : QString();
}

// ---------------------------------------------------------------- copies

void MainWindow::screenMenu(int index)
{
    screenIndexChanged(index, true);
    copyMenu->exec(QCursor::pos());
}

// The copy goes to the device and screens current when it starts, whatever the
// operator picks during its pauses; the read-back at its end reads the screen the
// operator is on then.
void MainWindow::screenCopyTo(int target)
{
    if (dataStream->currentScreen() != target)
        screenCopy({target});
}

void MainWindow::slotScreenCopyToAll()
{
    const int s = dataStream->currentScreen();
    QVector<int> targets;
    for (int i = 0; i < screenNums; ++i)
        if (i != s)
            targets << i;
    screenCopy(targets);
}

void MainWindow::screenCopy(const QVector<int> &targets)
{
    if (!targets.isEmpty() && refuseUnread())
        return;
    readDelay = ReadDelayDuringScreenCopy;
    if (!targets.isEmpty())
        copyTargetScreen = targets.last();
    rememberUmdText(targets);
    const bool done = dataStream->sendAllToScreens(targets);
    readDelay = 0;
    if (done)
        readRoutine();
}

void MainWindow::slotScreenCopyTo1() { screenCopyTo(0); }
void MainWindow::slotScreenCopyTo2() { screenCopyTo(1); }
void MainWindow::slotScreenCopyTo3() { screenCopyTo(2); }
void MainWindow::slotScreenCopyTo4() { screenCopyTo(3); }
void MainWindow::slotScreenCopyTo5() { screenCopyTo(4); }
void MainWindow::slotScreenCopyTo6() { screenCopyTo(5); }
void MainWindow::slotScreenCopyTo7() { screenCopyTo(6); }
void MainWindow::slotScreenCopyTo8() { screenCopyTo(7); }

void MainWindow::on_pushButton_10_clicked()
{
    QListWidgetItem *item = nullptr;
    if (copyArmed == 0) {
        copyArmed = 1;
        ui->pushButton_10->setText(QStringLiteral("Cancel"));
        ui->pushButton_11->setEnabled(true);
        copySrcRow = ui->listWidget->currentRow();
        if ((item = ui->listWidget->item(copySrcRow)))
            item->setBackground(kCopySourceRowColor);
    } else {
        copyArmed = 0;
        ui->pushButton_10->setText(QStringLiteral("Copy"));
        ui->pushButton_11->setEnabled(false);
        if ((item = ui->listWidget->item(copySrcRow)))
            item->setBackground(kRowColor);
    }
}

bool MainWindow::isPanelLocked() const
{
    return !ui->widget->isEnabled();
}

void MainWindow::lockPanel(bool locked)
{
    for (int k = 0; k < PageCount; ++k)
        pageWidget(k)->setEnabled(!locked);
    // Unlocked, the list stays greyed out under "All" and during a search.
    ui->listWidget->setEnabled(!locked && !dataStream->sendToAll && !dataStream->searching);
    for (int s = 0; s < 8; ++s)
        screenButton(s)->setEnabled(!locked);
    for (QWidget *b : {ui->Pic_button, ui->Marker_button, ui->Fun_button, ui->WaveForm_button, ui->Audio_button,
                       ui->System_button})
        b->setEnabled(!locked);
}

void MainWindow::on_pushButton_11_clicked()
{
    const int rows = dataStream->deviceList.size();
    copyDstRow = ui->listWidget->currentRow();
    // The armed source row may be gone after a new search: then there is nothing to copy.
    if (copySrcRow < 0 || copySrcRow >= rows || copyDstRow < 0 || copyDstRow >= rows)
        return;
    // A monitor's record is all zeros until its first settings reply; a source
    // not read since the search has nothing to copy.
    if (!dataStream->deviceList.at(copySrcRow)->recordReceived) {
        showMessage(this, QStringLiteral("Err"), QStringLiteral("Source Device Not Read !"), true);
        return;
    }
    readDelay = ReadDelayAfterDeviceCopy;
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);
    lockPanel(true);
    if (dataStream->copyDeviceSettings(copySrcRow, copyDstRow) == -1)
        showMessage(this, QStringLiteral("Err"), QStringLiteral("Device Type Mismatch !"), true);
    copyArmed = 0;
    ui->pushButton_10->setText(QStringLiteral("Copy"));
    ui->pushButton_11->setEnabled(false);
    ui->pushButton_10->setEnabled(true);
}
