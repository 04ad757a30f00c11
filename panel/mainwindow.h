#pragma once

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QString>
#include <QVector>

#include <memory>
#include <vector>

#include "basicdata.h"
#include "controltable.h"

class D_GroupBox;
class D_RadioButton;
class MachineDevice;
class QAbstractSlider;
class QAction;
class QListWidgetItem;
class QMenu;
class QProgressBar;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimer;
class TypeLayout;

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
// explicit choice (-style on the command line, QT_STYLE_OVERRIDE) is respected.
// The application object strips -style from its arguments: main() looks first.
bool styleOnCommandLine(int argc, char *argv[]);
void usePanelStyle(bool chosenOnCommandLine = false);

// Before the application object exists: the panel paints with the raster engine
// only, so the X11 platform is kept from loading an OpenGL stack it would not
// use (tens of megabytes). An explicit QT_XCB_GL_INTEGRATION is respected.
// High-density screens scale the window the same way under Qt 5 and Qt 6.
void preparePanelPlatform();

// Shows a message box and waits for it; tests replace it so nothing blocks.
using MessageSeam = void (*)(QWidget *parent, const QString &title, const QString &text, bool warning);
extern MessageSeam showMessage;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int FixedWidth = 960;
    static constexpr int FixedHeight = 644;
    static constexpr int ReadIntervalMs = 1000;
    static constexpr int ReadDelayAfterSend = 4;
    static constexpr int ReadDelayHeld = 9999;
    static constexpr int ReadDelayAfterDeviceCopy = 3;
    static constexpr int ReadDelayDuringScreenCopy = 999;
    static constexpr int UmdResendMs = 300;
    static constexpr int PageCount = 6;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Picks a device-list row by number: makes it current, colours it and reads it.
    void on_listWidget_clicked(int index);
    // The refresh sequence: every control follows the current device's record.
    void refreshAll();
    void showPage(int page);
    void scrollPage(int direction);
    QWidget *pageWidget(int page) const;
    QWidget *screenButton(int index) const;
    bool isPanelLocked() const;

    Ui::MainWindow *ui;
    ST_BasicData shownData;
    quint8 sliderHeld = 0;
    QString umdEditText;
    int umdEditor = 0; // the UMD editor typed into last
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
    std::unique_ptr<TypeLayout> typeLayout;

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
    void resetUI();

protected:
    void wheelEvent(QWheelEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    // Connection panel and device list
    void on_radioButton_pressed();
    void on_radioButton_2_pressed();
    void on_comboBox_currentIndexChanged(int index);
    void on_comboBox_2_currentIndexChanged(int index);
    void on_pushButton_clicked();
    void on_listWidget_clicked(const QModelIndex &index);
    void on_checkBox_stateChanged(int state);
    void on_listWidget_itemDoubleClicked(QListWidgetItem *item);
    void on_listWidget_customContextMenuRequested(const QPoint &pos);

    // Screen bar
    void on_pushButton_9_pressed() { screenIndexChanged(0, true); }
    void on_pushButton_2_pressed() { screenIndexChanged(1, true); }
    void on_pushButton_3_pressed() { screenIndexChanged(2, true); }
    void on_pushButton_4_pressed() { screenIndexChanged(3, true); }
    void on_pushButton_5_pressed() { screenIndexChanged(4, true); }
    void on_pushButton_6_pressed() { screenIndexChanged(5, true); }
    void on_pushButton_7_pressed() { screenIndexChanged(6, true); }
    void on_pushButton_8_pressed() { screenIndexChanged(7, true); }
    void on_pushButton_9_customContextMenuRequested(const QPoint &) { screenMenu(0); }
    void on_pushButton_2_customContextMenuRequested(const QPoint &) { screenMenu(1); }
    void on_pushButton_3_customContextMenuRequested(const QPoint &) { screenMenu(2); }
    void on_pushButton_4_customContextMenuRequested(const QPoint &) { screenMenu(3); }
    void on_pushButton_5_customContextMenuRequested(const QPoint &) { screenMenu(4); }
    void on_pushButton_6_customContextMenuRequested(const QPoint &) { screenMenu(5); }
    void on_pushButton_7_customContextMenuRequested(const QPoint &) { screenMenu(6); }
    void on_pushButton_8_customContextMenuRequested(const QPoint &) { screenMenu(7); }

    // Page bar, scrolling, UMD tabs, multiview
    void on_Pic_button_pressed() { showPage(0); }
    void on_Marker_button_pressed() { showPage(1); }
    void on_Fun_button_pressed() { showPage(2); }
    void on_WaveForm_button_pressed() { showPage(3); }
    void on_Audio_button_pressed() { showPage(4); }
    void on_System_button_pressed() { showPage(5); }
    void on_verticalScrollBar_valueChanged(int value);
    void on_tabWidget_currentChanged(int index);
    void on_enableMV_clicked();

    // Device copy
    void on_pushButton_10_clicked();
    void on_pushButton_11_clicked();

    // Levels: held handles hold off the periodic read and send on release.
    void on_brightnessSlider_sliderPressed() { levelPressed(); }
    void on_contrastSlider_sliderPressed() { levelPressed(); }
    void on_saturationSlider_sliderPressed() { levelPressed(); }
    void on_tintSlider_sliderPressed() { levelPressed(); }
    void on_sharpnessSlider_sliderPressed() { levelPressed(); }
    void on_backLightSlider_sliderPressed() { levelPressed(); }
    void on_horizontalSlider_7_sliderPressed() { levelPressed(); }
    void on_horizontalSlider_8_sliderPressed() { levelPressed(); }
    void on_horizontalSlider_9_sliderPressed() { levelPressed(); }
    void on_horizontalSlider_sliderPressed() { readDelay = ReadDelayHeld; }
    void on_brightnessSlider_sliderReleased() { levelReleased(0); }
    void on_contrastSlider_sliderReleased() { levelReleased(1); }
    void on_saturationSlider_sliderReleased() { levelReleased(2); }
    void on_tintSlider_sliderReleased() { levelReleased(3); }
    void on_sharpnessSlider_sliderReleased() { levelReleased(4); }
    void on_backLightSlider_sliderReleased() { levelReleased(5); }
    void on_horizontalSlider_7_sliderReleased() { levelReleased(6); }
    void on_horizontalSlider_8_sliderReleased() { audioOutReleased(Field::audioRightOut); }
    void on_horizontalSlider_9_sliderReleased() { audioOutReleased(Field::audioLeftOut); }
    void on_horizontalSlider_sliderReleased() { readDelay = 1; }
    void on_spinBox_valueChanged(int v) { levelChanged(0, v); }
    void on_spinBox_2_valueChanged(int v) { levelChanged(1, v); }
    void on_spinBox_3_valueChanged(int v) { levelChanged(2, v); }
    void on_spinBox_4_valueChanged(int v) { levelChanged(3, v); }
    void on_spinBox_5_valueChanged(int v) { levelChanged(4, v); }
    void on_spinBox_6_valueChanged(int v) { levelChanged(5, v); }
    void on_spinBox_13_valueChanged(int v) { levelChanged(6, v); }
    void on_horizontalSlider_valueChanged(int v);
    void on_horizontalSlider_8_valueChanged(int v) { audioOutChanged(Field::audioRightOut, v); }
    void on_horizontalSlider_9_valueChanged(int v) { audioOutChanged(Field::audioLeftOut, v); }

    // UMD texts: one frame 300 ms after the last change.
    void on_lineEdit_textChanged(const QString &t) { umdTextChanged(0, t); }
    void on_lineEdit_2_textChanged(const QString &t) { umdTextChanged(1, t); }
    void on_lineEdit_3_textChanged(const QString &t) { umdTextChanged(2, t); }
    void on_lineEdit_4_textChanged(const QString &t) { umdTextChanged(3, t); }

private:
    void refreshPortList();
    void lockForSearch(bool locked);
    void applyAllCheck();
    void buildCustomGroups();
    void connectChoices();
    void choiceReleased(const ChoiceGroup &g, const Choice &c);
    void refreshChoices(Page page);
    void refreshSliders(Page page);
    void checkCustom(int firstId, int count, int value);
    void clearDeviceList();
    void screenMenu(int index);
    void screenCopyTo(int screen);
    void screenCopy(const QVector<int> &targets);
    void readRoutine();
    void lockPanel(bool locked);
    void storeAndSend(int group);
    bool refuseUnread();
    void levelPressed();
    void levelReleased(int level);
    void levelChanged(int level, int value);
    void audioOutChanged(Field field, int value);
    void audioOutReleased(Field field);
    void audioOutSend(Field field);
    void umdTextChanged(int editor, const QString &text);
    void sendPendingUmdText();
    QString umdKey(const MachineDevice &device, int screen) const;
    void rememberUmdText(const QVector<int> &screens);
    void showUmdTextOfCurrent();
    QSlider *slider(const SliderRow &row) const;

    std::vector<std::vector<QRadioButton *>> choiceButtons; // per group of kChoiceGroups, per choice
    bool refreshing = false; // set while a received record is pushed into the controls
    // The UMD text last typed or sent per monitor and screen (see umdKey), and the
    // editor it was typed in; the key of the monitor and screen whose text is shown.
    struct UmdMemo {
        QString text;
        int editor = 0;
    };
    QHash<QString, UmdMemo> umdTexts;
    QString umdShownKey;
};
