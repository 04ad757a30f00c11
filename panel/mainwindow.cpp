#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QDebug>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QSerialPortInfo>
#include <QStyleFactory>
#include <QTimer>

#include "d_groupbox.h"
#include "d_radiobutton.h"
#include "datastream.h"
#include "resources.h"

int lastPortCount = -1;
int pageScrollY = 0;
int shownType = 0;

namespace {
const QColor kRowColor(235, 235, 235);
const QColor kPickedRowColor(160, 160, 160);
const char *const kScreenPlainStyle = "border-image: url(:/res/7.png);";
const char *const kScreenSelectedStyle = "border-image: url(:/res/8.png);";
} // namespace

void usePanelStyle()
{
    const bool chosen = qEnvironmentVariableIsSet("QT_STYLE_OVERRIDE")
        || QCoreApplication::arguments().contains(QStringLiteral("-style"));
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
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);

    const struct { QWidget *page; int height; } pages[] = {
        {ui->widget, 541}, {ui->widget_2, 541}, {ui->widget_3, 541},
        {ui->widget_4, 841}, {ui->widget_5, 541}, {ui->widget_6, 700}};
    for (const auto &p : pages) {
        p.page->move(0, 0);
        p.page->resize(661, p.height);
    }
    ui->widget_7->resize(661, 541);
    ui->widget->show();
    for (QWidget *w : {ui->widget_2, ui->widget_3, ui->widget_4, ui->widget_5, ui->widget_6})
        w->hide();

    searchProgress = new QProgressBar(this);
    searchProgress->setGeometry(120, 310, 113, 23);
    searchProgress->setValue(0);
    searchProgress->hide();

    refreshPortList();
    refreshScreenNums();
    setWindowIcon(QIcon(QStringLiteral(":/res/window.png")));

    for (const auto &p : pages)
        p.page->setParent(ui->widget_7);
    ui->widget->show();

    buildCustomGroups();
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

void MainWindow::on_radioButton_pressed()
{
    if (dataStream->linkMode != DataStream::LinkNetwork) {
        ui->listWidget->clear();
        readTimer->stop();
    }
    dataStream->linkMode = DataStream::LinkNetwork;
    ui->comboBox->setEnabled(false);
    ui->comboBox_2->setEnabled(false);
}

void MainWindow::on_radioButton_2_pressed()
{
    if (dataStream->linkMode != DataStream::LinkSerial) {
        ui->listWidget->clear();
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
    const auto ports = QSerialPortInfo::availablePorts();
    if (ports.size() == lastPortCount)
        return;
    lastPortCount = ports.size();
    ui->comboBox->clear();
    for (const QSerialPortInfo &p : ports)
        ui->comboBox->addItem(p.portName());
}

void MainWindow::on_comboBox_currentIndexChanged(const QString &)
{
    dataStream->port->setPortName(ui->comboBox->currentText());
}

void MainWindow::on_comboBox_2_currentIndexChanged(const QString &)
{
    dataStream->port->setBaudRate(ui->comboBox_2->currentText().toInt());
}

void MainWindow::on_pushButton_clicked()
{
    if (dataStream->searching) {
        qDebug() << "device is search ing ... ...";
        return;
    }
    ui->listWidget->clear();
    dataStream->port->setSerialPort(ui->comboBox->currentText(), ui->comboBox_2->currentText().toInt());
    ui->pushButton_10->setEnabled(false);
    ui->pushButton_11->setEnabled(false);
    ui->pushButton->hide();
    ui->radioButton->setEnabled(false);
    ui->radioButton_2->setEnabled(false);
    ui->listWidget->setEnabled(false);
    searchProgress->show();
    dataStream->startSearch();
    readTimer->start(ReadIntervalMs);
    ui->checkBox->setChecked(false);
    applyAllCheck();
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
    ui->pushButton->show();
    ui->radioButton->setEnabled(true);
    ui->radioButton_2->setEnabled(true);
    ui->listWidget->setEnabled(true);
    searchProgress->hide();
    on_listWidget_clicked(0);
    applyAllCheck();
}

void MainWindow::on_listWidget_clicked(const QModelIndex &index)
{
    on_listWidget_clicked(index.row());
}

void MainWindow::on_listWidget_clicked(int index)
{
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
                QMessageBox::warning(this, QStringLiteral("Err"), QStringLiteral("Device Type Mismatch !"), QMessageBox::Yes);
            }
            return;
        }
    }
    const bool all = ui->checkBox->isChecked();
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
    if (!ui->widget->isEnabled())
        ui->widget->setEnabled(true);
    dataStream->selectDevice(ui->listWidget->currentRow(), dataStream->currentScreen());
}

void MainWindow::slotWaitTimeOut()
{
    readTimer->stop();
    QMessageBox box(this);
    box.setText(QStringLiteral("Time Out !"));
    box.exec();
    ui->listWidget->clear();
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

// ---------------------------------------------------------------- screens and refresh

void MainWindow::screenIndexChanged(int index, bool bRequestData)
{
    auto mark = [](QWidget *button, const char *style, const QColor &text) {
        button->setStyleSheet(QString::fromLatin1(style));
        QPalette pal = button->palette();
        pal.setColor(QPalette::All, QPalette::ButtonText, text);
        button->setPalette(pal);
    };
    mark(screenButton(curScreen), kScreenPlainStyle, Qt::black);
    curScreen = index;
    mark(screenButton(index), kScreenSelectedStyle, Qt::white);
    if (bRequestData)
        dataStream->selectDevice(ui->listWidget->currentRow(), index);
    copyMenu->clear();
    for (int i = 1; i <= screenNums; ++i)
        if (i != dataStream->currentScreen() + 1 && i <= 8)
            copyMenu->addAction(actCopyTo[i]);
    copyMenu->addAction(actCopyAll);
}

void MainWindow::refreshScreenNums()
{
    for (int s = 1; s < 8; ++s)
        screenButton(s)->setVisible(true);
    if (screenNums >= 1 && screenNums <= 7)
        for (int s = screenNums; s < 8; ++s)
            screenButton(s)->setVisible(false);
    screenIndexChanged(dataStream->currentScreen(), false);
}

void MainWindow::slotUpdateUI(ST_BasicData bsData)
{
    shownData = bsData;
    shownType = qMax(0, dataStream->curDevice->deviceType);
    refreshAll();
}

// The refresh sequence: every control follows the current device's record.
void MainWindow::refreshAll()
{
    const MachineDevice *d = dataStream->curDevice;
    ui->label_35->setText(d->deviceName);
    ui->label_3->setText(d->inputText[static_cast<std::size_t>(screenOfMask(d->screenMask))]);
    refreshScreenNums();
    shownData = dataStream->basicData;
}

// ---------------------------------------------------------------- UMD text and copies

void MainWindow::slotUmdReSend() {}

void MainWindow::screenCopyTo(int screen)
{
    copyTargetScreen = screen;
}

void MainWindow::slotScreenCopyToAll() { screenCopyTo(-1); }
void MainWindow::slotScreenCopyTo1() { screenCopyTo(0); }
void MainWindow::slotScreenCopyTo2() { screenCopyTo(1); }
void MainWindow::slotScreenCopyTo3() { screenCopyTo(2); }
void MainWindow::slotScreenCopyTo4() { screenCopyTo(3); }
void MainWindow::slotScreenCopyTo5() { screenCopyTo(4); }
void MainWindow::slotScreenCopyTo6() { screenCopyTo(5); }
void MainWindow::slotScreenCopyTo7() { screenCopyTo(6); }
void MainWindow::slotScreenCopyTo8() { screenCopyTo(7); }
