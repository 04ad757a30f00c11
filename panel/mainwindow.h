#pragma once

#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QString>

#include "basicdata.h"

class D_GroupBox;
class D_RadioButton;
class QAction;
class QListWidgetItem;
class QMenu;
class QProgressBar;
class QTimer;

namespace Ui {
class MainWindow;
}

// Number of serial ports seen at the last port-list refresh.
extern int lastPortCount;
// Vertical offset of the scrollable page, shared by all pages.
extern int pageScrollY;
// Device type of the last received record (negative types as 0); selects the layout row.
extern int shownType;

// The form is laid out for the classic widget style: its tally buttons draw their
// indicator over a transparent background, which other styles leave blank. An
// explicit choice (-style, QT_STYLE_OVERRIDE) is respected.
void usePanelStyle();

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int FixedWidth = 960;
    static constexpr int FixedHeight = 644;
    static constexpr int ReadIntervalMs = 1000;
    static constexpr int ReadDelayAfterSend = 4;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Picks a device-list row by number: makes it current, colours it and reads it.
    void on_listWidget_clicked(int index);
    void refreshAll();

    Ui::MainWindow *ui;
    ST_BasicData shownData;
    quint8 sliderHeld = 0;
    QString umdEditText;
    QTimer *umdResendTimer = nullptr;
    QProgressBar *searchProgress = nullptr;
    int curScreen = 0;
    int screenNums = 1;
    int curPage = 0;
    int copyTargetScreen = 0;
    QMenu *copyMenu = nullptr;
    QAction *actCopyAll = nullptr;
    QAction *actCopyTo[9] = {}; // entries 1-8 are used
    quint8 copyArmed = 0;
    int copySrcRow = 0;
    int copyDstRow = 0;
    QTimer *readTimer = nullptr;
    int readDelay = 0;
    QList<D_GroupBox *> umdGroups;  // slot 0 "UMD", slot 0 "UMD Color", slot 1 "UMD", ...
    QList<D_GroupBox *> mvGroups;   // "MV1 Source" ... "MV4 Source"
    QList<D_RadioButton *> customButtons; // index = id

public slots:
    void slotFoundDevice(QString str);
    void slotUpdateUI(ST_BasicData bsData);
    void slotSearchCompleted();
    void slotUartSearchProgress(uchar id);
    void slotWaitTimeOut();
    void slotUpdateDevice();
    void slotIDIP_Error();
    void slotReadMachine();
    void slotUmdReSend();
    void slotScreenCopyToAll();
    void slotScreenCopyTo1();
    void slotScreenCopyTo2();
    void slotScreenCopyTo3();
    void slotScreenCopyTo4();
    void slotScreenCopyTo5();
    void slotScreenCopyTo6();
    void slotScreenCopyTo7();
    void slotScreenCopyTo8();
    void screenIndexChanged(int index, bool bRequestData);
    void refreshScreenNums();

private slots:
    void on_radioButton_pressed();
    void on_radioButton_2_pressed();
    void on_comboBox_currentIndexChanged(const QString &text);
    void on_comboBox_2_currentIndexChanged(const QString &text);
    void on_pushButton_clicked();
    void on_listWidget_clicked(const QModelIndex &index);
    void on_checkBox_stateChanged(int state);
    void on_listWidget_itemDoubleClicked(QListWidgetItem *item);
    void on_listWidget_customContextMenuRequested(const QPoint &pos);

private:
    void refreshPortList();
    void applyAllCheck();
    void buildCustomGroups();
    void screenCopyTo(int screen);
    QWidget *screenButton(int index) const;
};
