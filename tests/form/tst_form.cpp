// Tests of the main window form on its own: widget tree, names, geometry,
// captions, initial state, styles, the form's own connections and the image
// resources. Also saves a picture of each settings page at its working size
// (to $TELVANOR_SCREENSHOT_DIR, or next to the executable).

#include "ui_mainwindow.h"

#include <QtTest>

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QPixmap>
#include <QRegularExpression>
#include <QSet>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <memory>

namespace {

// The widgets that the form builds are the window's central widget and its
// descendants, except the private children of composite widgets (the line edit
// inside a spin box, a scroll area's viewport, a tab widget's bar and stack).
void collectForm(QWidget *w, QList<QWidget *> &out)
{
    out << w;
    if (auto *tabs = qobject_cast<QTabWidget *>(w)) {
        for (int i = 0; i < tabs->count(); ++i)
            collectForm(tabs->widget(i), out);
        return;
    }
    if (qobject_cast<QAbstractSpinBox *>(w) || qobject_cast<QComboBox *>(w)
        || qobject_cast<QAbstractScrollArea *>(w) || qobject_cast<QAbstractSlider *>(w)
        || qobject_cast<QLineEdit *>(w))
        return;
    for (QObject *c : w->children())
        if (c->isWidgetType())
            collectForm(static_cast<QWidget *>(c), out);
}

QString squeeze(QString s)
{
    return s.remove(QRegularExpression(QStringLiteral("\\s")));
}

QString plainText(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    QTextDocument doc;
    doc.setHtml(text);
    return doc.toPlainText();
}

// The caption a person sees on a widget, or a null string if it has none.
QString captionOf(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *l = qobject_cast<QLabel *>(w))
        return plainText(l->text());
    if (auto *c = qobject_cast<QComboBox *>(w))
        return c->currentText();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    return QString();
}

QString screenshotDir()
{
    const QString dir = qEnvironmentVariable("TELVANOR_SCREENSHOT_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

} // namespace

// A window with handlers named after form widgets, as the panel has them.
class FormHost : public QMainWindow
{
    Q_OBJECT
public:
    Ui::MainWindow ui;
    int refreshClicks = 0;
    int lastBrightness = -1;

public slots:
    void on_pushButton_clicked() { ++refreshClicks; }
    void on_brightnessSlider_valueChanged(int v) { lastBrightness = v; }
};

class TestForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<QMainWindow> window;
    Ui::MainWindow ui;

    std::vector<std::unique_ptr<QWidget>> stubs;

    // The form widget with this name and class. A missing one fails the
    // current test and yields a stand-in, so the run goes on to the next row.
    template <typename T = QWidget>
    T *need(const QString &name)
    {
        T *found = window->findChild<T *>(name);
        if (!found && window->objectName() == name)
            found = qobject_cast<T *>(window.get());
        if (found)
            return found;
        const QString msg = QStringLiteral("no %1 named %2").arg(QLatin1String(T::staticMetaObject.className()), name);
        QTest::qFail(qPrintable(msg), __FILE__, __LINE__);
        stubs.emplace_back(new T);
        return static_cast<T *>(stubs.back().get());
    }

private slots:
    void initTestCase()
    {
        // the images are compiled into the static form library; a static
        // library's resources must be registered by name
        Q_INIT_RESOURCE(telvanor);
        // the offscreen platform's default font is larger than a desktop's;
        // use the usual desktop default so the pictures look as they will
        QApplication::setFont(QFont(QStringLiteral("Sans Serif"), 9));
    }

    void init()
    {
        window = std::make_unique<QMainWindow>();
        ui.setupUi(window.get());
    }
    void cleanup()
    {
        window.reset();
        stubs.clear();
    }

    void windowProperties()
    {
        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->windowTitle(), QStringLiteral("Telvanor (V 1.2.0)"));
        QCOMPARE(window->size(), QSize(3206, 2661));
        QVERIFY(window->centralWidget());
        QCOMPARE(window->centralWidget()->objectName(), QStringLiteral("centralWidget"));
        // no menu bar, tool bar or status bar: the central widget is the only child widget
        QList<QWidget *> direct = window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(direct.size(), 1);
        QCOMPARE(direct.first(), window->centralWidget());
    }

    void census_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<int>("count");
        QTest::newRow("radio buttons") << "QRadioButton" << 146;
        QTest::newRow("group boxes") << "QGroupBox" << 45;
        QTest::newRow("labels") << "QLabel" << 32;
        QTest::newRow("push buttons") << "QPushButton" << 17;
        QTest::newRow("plain widgets") << "QWidget" << 12;
        QTest::newRow("sliders") << "QSlider" << 10;
        QTest::newRow("spin boxes") << "QSpinBox" << 8;
        QTest::newRow("frames") << "QFrame" << 4;
        QTest::newRow("line edits") << "QLineEdit" << 4;
        QTest::newRow("combo boxes") << "QComboBox" << 2;
        QTest::newRow("check boxes") << "QCheckBox" << 2;
        QTest::newRow("scroll bars") << "QScrollBar" << 1;
        QTest::newRow("list widgets") << "QListWidget" << 1;
        QTest::newRow("tab widgets") << "QTabWidget" << 1;
    }
    void census()
    {
        QFETCH(QString, className);
        QFETCH(int, count);
        QList<QWidget *> form;
        collectForm(window->centralWidget(), form);
        QCOMPARE(form.size(), 285);
        int n = 0;
        for (QWidget *x : form)
            n += QLatin1String(x->metaObject()->className()) == className;
        QCOMPARE(n, count);
    }

    // Every widget of the tree carries a name of its own: the panel finds its
    // widgets by name (the panel's own tests check the names it looks up).
    void namesAreUnique()
    {
        QList<QWidget *> form;
        collectForm(window->centralWidget(), form);
        QSet<QString> inTree;
        for (QWidget *x : form) {
            QVERIFY2(!x->objectName().isEmpty(), x->metaObject()->className());
            QVERIFY2(!inTree.contains(x->objectName()), qPrintable(x->objectName()));
            inTree.insert(x->objectName());
        }
    }

    void spotChecks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption"); // null: not compared
        QTest::addColumn<int>("checked");     // -1: not checkable
        auto row = [](const char *name, const char *parent, QRect g, const char *caption = nullptr,
                      int checked = -1) {
            QTest::newRow(name) << name << parent << g
                                << (caption ? QString::fromUtf8(caption) : QString()) << checked;
        };
        // connection panel and device list
        row("groupBox_35", "centralWidget", {10, 0, 231, 51}, "Input");
        row("label_3", "groupBox_35", {10, 20, 211, 20}, "Null");
        row("groupBox_42", "centralWidget", {10, 60, 231, 51}, "Device Name");
        row("label_35", "groupBox_42", {10, 20, 211, 20}, "Null");
        row("groupBox", "centralWidget", {10, 130, 231, 141}, "Port");
        row("radioButton", "groupBox", {8, 31, 91, 20}, "LAN", 1);
        row("radioButton_2", "groupBox", {110, 30, 111, 20}, "RS422", 0);
        row("label", "groupBox", {10, 73, 101, 16}, "Com Name:");
        row("comboBox", "groupBox", {120, 70, 101, 22}, "");
        row("label_2", "groupBox", {10, 103, 101, 16}, "Baud rate:");
        row("comboBox_2", "groupBox", {120, 100, 101, 22}, "38400");
        row("groupBox_3", "centralWidget", {10, 280, 231, 361}, "Device List");
        row("checkBox", "groupBox_3", {10, 30, 71, 20}, "All", 0);
        row("pushButton", "groupBox_3", {120, 28, 101, 22}, "Refresh");
        row("listWidget", "groupBox_3", {10, 60, 211, 261});
        row("pushButton_10", "groupBox_3", {10, 330, 91, 23}, "Copy");
        row("pushButton_11", "groupBox_3", {130, 330, 91, 23}, "Paste");
        // screen bar: numbered by caption, screen 1 is pushButton_9
        row("groupBox_39", "centralWidget", {250, 0, 701, 51}, "Screen");
        row("pushButton_9", "groupBox_39", {110, 10, 41, 31}, "1");
        row("pushButton_2", "groupBox_39", {185, 10, 41, 31}, "2");
        row("pushButton_5", "groupBox_39", {410, 10, 41, 31}, "5");
        row("pushButton_6", "groupBox_39", {485, 10, 41, 31}, "6");
        row("pushButton_7", "groupBox_39", {550, 10, 41, 31}, "7");
        row("pushButton_8", "groupBox_39", {625, 10, 41, 31}, "8");
        // operate area, page bar, viewport
        row("groupBox_2", "centralWidget", {250, 60, 701, 711}, "Operate");
        row("frame", "groupBox_2", {10, 20, 661, 101});
        row("widget_7", "groupBox_2", {10, 130, 661, 571});
        row("verticalScrollBar", "groupBox_2", {675, 10, 25, 571});
        row("Pic_button", "frame", {20, 0, 68, 68}, "");
        row("Marker_button", "frame", {130, 0, 68, 68}, "");
        row("Fun_button", "frame", {240, 0, 68, 68}, "");
        row("WaveForm_button", "frame", {340, 0, 68, 68}, "");
        row("Audio_button", "frame", {450, 0, 68, 68}, "");
        row("System_button", "frame", {560, 0, 68, 68}, "");
        row("label_15", "frame", {25, 70, 101, 21}, "Picture");
        row("label_21", "frame", {20, 70, 101, 21}, "Picture");
        row("label_16", "frame", {140, 70, 91, 21}, "Marker");
        row("label_22", "frame", {140, 70, 81, 21}, "Marker");
        row("label_17", "frame", {250, 70, 91, 21}, "Function");
        row("label_23", "frame", {250, 70, 91, 21}, "Funtion");
        row("label_18", "frame", {350, 70, 91, 21}, "Source");
        row("label_24", "frame", {350, 70, 91, 21}, "Source");
        row("label_19", "frame", {460, 70, 91, 21}, "Audio");
        row("label_25", "frame", {460, 70, 91, 21}, "Audio");
        row("label_20", "frame", {580, 70, 61, 21}, "UMD");
        row("label_26", "frame", {580, 70, 61, 21}, "UMD");
        // pages at their design positions
        row("widget", "centralWidget", {60, 790, 661, 501});
        row("widget_2", "centralWidget", {1330, 10, 661, 621});
        row("widget_4", "centralWidget", {890, 1150, 661, 751});
        row("widget_5", "centralWidget", {2060, 10, 661, 1181});
        row("widget_3", "centralWidget", {890, 1930, 661, 621});
        row("widget_6", "centralWidget", {60, 1300, 661, 461});
        // Picture
        row("label_9", "widget", {20, 45, 161, 21}, "Brightness:");
        row("label_12", "widget", {20, 195, 161, 21}, "Tint:");
        row("label_14", "widget", {20, 295, 161, 21}, "BackLight:");
        // Marker
        row("groupBox_5", "widget_2", {30, 20, 621, 61}, "Center Marker");
        row("radioButton_15", "groupBox_6", {510, 20, 101, 20}, "White", 0);
        row("groupBox_7", "widget_2", {30, 160, 621, 111}, "Aspect Marker");
        // Function
        row("groupBox_17", "widget_4", {10, 10, 301, 51}, "Scan");
        row("radioButton_65", "groupBox_17", {100, 20, 121, 20}, "Pix To Pix", 0);
        row("radioButton_60", "groupBox_15", {100, 20, 51, 20}, "On", 0);
        // Source
        row("groupBox_12", "widget_5", {5, 60, 651, 231}, "Sources");
        row("radioButton_44", "groupBox_12", {60, 30, 121, 16}, "SDI1", 1);
        row("radioButton_153", "groupBox_12", {370, 130, 131, 16}, "VIDEO", 0);
        // Audio
        row("groupBox_11", "widget_3", {20, 20, 631, 61}, "Volume");
        row("horizontalSlider_7", "groupBox_11", {20, 27, 511, 21});
        row("spinBox_13", "groupBox_11", {550, 27, 71, 23});
        // UMD
        row("groupBox_30", "widget_6", {20, 20, 631, 61}, "Tally");
        row("radioButton_109", "groupBox_30", {40, 30, 91, 16}, "Off", 1);
        row("radioButton_110", "groupBox_30", {150, 30, 51, 20}, "        .", 0);
    }
    void spotChecks()
    {
        QFETCH(QString, name);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(int, checked);
        QWidget *x = need(name);
        QCOMPARE(x->parentWidget(), need(parentName));
        QCOMPARE(x->geometry(), geometry);
        if (!caption.isNull())
            QCOMPARE(captionOf(x), caption);
        if (checked >= 0) {
            auto *b = qobject_cast<QAbstractButton *>(x);
            QVERIFY(b && b->isCheckable());
            QCOMPARE(b->isChecked(), checked == 1);
        }
    }

    // Each group box of radio buttons is one choice with exactly one button
    // checked, and choosing another button changes that group only.
    void radioGroups_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QString>("checkedButton");
    QTest::newRow("groupBox") << QStringLiteral("groupBox") << 2 << QStringLiteral("radioButton");
    QTest::newRow("groupBox_4") << QStringLiteral("groupBox_4") << 6 << QStringLiteral("radioButton_3");
    QTest::newRow("groupBox_5") << QStringLiteral("groupBox_5") << 2 << QStringLiteral("radioButton_9");
    QTest::newRow("groupBox_6") << QStringLiteral("groupBox_6") << 5 << QStringLiteral("radioButton_11");
    QTest::newRow("groupBox_7") << QStringLiteral("groupBox_7") << 10 << QStringLiteral("radioButton_16");
    QTest::newRow("groupBox_8") << QStringLiteral("groupBox_8") << 7 << QStringLiteral("radioButton_22");
    QTest::newRow("groupBox_9") << QStringLiteral("groupBox_9") << 8 << QStringLiteral("radioButton_29");
    QTest::newRow("groupBox_10") << QStringLiteral("groupBox_10") << 7 << QStringLiteral("radioButton_37");
    QTest::newRow("groupBox_22") << QStringLiteral("groupBox_22") << 5 << QStringLiteral("radioButton_82");
    QTest::newRow("groupBox_24") << QStringLiteral("groupBox_24") << 4 << QStringLiteral("radioButton_90");
    QTest::newRow("groupBox_21") << QStringLiteral("groupBox_21") << 4 << QStringLiteral("radioButton_78");
    QTest::newRow("groupBox_19") << QStringLiteral("groupBox_19") << 2 << QStringLiteral("radioButton_74");
    QTest::newRow("groupBox_25") << QStringLiteral("groupBox_25") << 5 << QStringLiteral("radioButton_94");
    QTest::newRow("groupBox_26") << QStringLiteral("groupBox_26") << 4 << QStringLiteral("radioButton_99");
    QTest::newRow("groupBox_23") << QStringLiteral("groupBox_23") << 3 << QStringLiteral("radioButton_87");
    QTest::newRow("groupBox_18") << QStringLiteral("groupBox_18") << 10 << QStringLiteral("radioButton_67");
    QTest::newRow("groupBox_17") << QStringLiteral("groupBox_17") << 3 << QStringLiteral("radioButton_64");
    QTest::newRow("groupBox_15") << QStringLiteral("groupBox_15") << 2 << QStringLiteral("radioButton_61");
    QTest::newRow("groupBox_16") << QStringLiteral("groupBox_16") << 2 << QStringLiteral("radioButton_63");
    QTest::newRow("groupBox_28") << QStringLiteral("groupBox_28") << 5 << QStringLiteral("radioButton_105");
    QTest::newRow("groupBox_29") << QStringLiteral("groupBox_29") << 2 << QStringLiteral("radioButton_106");
    QTest::newRow("groupBox_27") << QStringLiteral("groupBox_27") << 2 << QStringLiteral("radioButton_104");
    QTest::newRow("groupBox_20") << QStringLiteral("groupBox_20") << 3 << QStringLiteral("radioButton_75");
    QTest::newRow("groupBox_41") << QStringLiteral("groupBox_41") << 7 << QStringLiteral("radioButton_143");
    QTest::newRow("groupBox_44") << QStringLiteral("groupBox_44") << 3 << QStringLiteral("radioButton_150");
    QTest::newRow("groupBox_12") << QStringLiteral("groupBox_12") << 9 << QStringLiteral("radioButton_44");
    QTest::newRow("groupBox_13") << QStringLiteral("groupBox_13") << 2 << QStringLiteral("radioButton_50");
    QTest::newRow("groupBox_14") << QStringLiteral("groupBox_14") << 8 << QStringLiteral("radioButton_52");
    QTest::newRow("groupBox_36") << QStringLiteral("groupBox_36") << 2 << QStringLiteral("radioButton_125");
    QTest::newRow("groupBox_40") << QStringLiteral("groupBox_40") << 8 << QStringLiteral("radioButton_135");
    QTest::newRow("groupBox_30") << QStringLiteral("groupBox_30") << 4 << QStringLiteral("radioButton_109");
    }
    void radioGroups()
    {
        QFETCH(QString, group);
        QFETCH(int, buttons);
        QFETCH(QString, checkedButton);
        QWidget *box = need(group);
        const QList<QRadioButton *> members = box->findChildren<QRadioButton *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(members.size(), buttons);
        QStringList checked;
        for (QRadioButton *b : members)
            if (b->isChecked())
                checked << b->objectName();
        QCOMPARE(checked, QStringList{checkedButton});

        // snapshot of every other radio button in the form
        QHash<QRadioButton *, bool> others;
        for (QRadioButton *b : window->findChildren<QRadioButton *>())
            if (b->parentWidget() != box)
                others.insert(b, b->isChecked());

        QRadioButton *pick = nullptr;
        for (QRadioButton *b : members)
            if (!b->isChecked())
                pick = b;
        QVERIFY(pick);
        pick->click();
        QVERIFY(pick->isChecked());
        QVERIFY(!need<QRadioButton>(checkedButton)->isChecked());
        int nChecked = 0;
        for (QRadioButton *b : members)
            nChecked += b->isChecked();
        QCOMPARE(nChecked, 1);
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            QVERIFY2(it.key()->isChecked() == it.value(), qPrintable(it.key()->objectName()));
    }

    // No radio button lies outside the groups above.
    void radioButtonsOnlyInGroups()
    {
        QSet<QString> parents;
        for (QRadioButton *b : window->findChildren<QRadioButton *>())
            parents.insert(b->parentWidget()->objectName());
        QCOMPARE(parents.size(), 31);
        int inGroups = 0;
        for (const QString &p : parents)
            inGroups += need(p)->findChildren<QRadioButton *>(QString(), Qt::FindDirectChildrenOnly).size();
        QCOMPARE(inGroups, 146);
    }

    void sliders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::newRow("brightness") << "brightnessSlider" << 0 << 100 << 50;
        QTest::newRow("contrast") << "contrastSlider" << 0 << 100 << 50;
        QTest::newRow("saturation") << "saturationSlider" << 0 << 100 << 50;
        QTest::newRow("tint") << "tintSlider" << 0 << 100 << 50;
        QTest::newRow("sharpness") << "sharpnessSlider" << 0 << 100 << 50;
        QTest::newRow("backlight") << "backLightSlider" << 0 << 100 << 50;
        QTest::newRow("thickness") << "horizontalSlider" << 1 << 15 << 1;
        QTest::newRow("volume") << "horizontalSlider_7" << 0 << 100 << 50;
        QTest::newRow("right out") << "horizontalSlider_8" << 1 << 16 << 1;
        QTest::newRow("left out") << "horizontalSlider_9" << 1 << 16 << 1;
    }
    void sliders()
    {
        QFETCH(QString, name);
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, value);
        auto *s = need<QSlider>(name);
        QCOMPARE(s->minimum(), minimum);
        QCOMPARE(s->maximum(), maximum);
        QCOMPARE(s->value(), value);
        QCOMPARE(s->singleStep(), 1);
        QCOMPARE(s->pageStep(), 1);
        QCOMPARE(s->orientation(), Qt::Horizontal);
        QVERIFY(s->hasTracking());
    }

    void sliderSpinCoupling_data()
    {
        QTest::addColumn<QString>("sliderName");
        QTest::addColumn<QString>("spinName");
        QTest::newRow("brightness") << "brightnessSlider" << "spinBox";
        QTest::newRow("contrast") << "contrastSlider" << "spinBox_2";
        QTest::newRow("saturation") << "saturationSlider" << "spinBox_3";
        QTest::newRow("tint") << "tintSlider" << "spinBox_4";
        QTest::newRow("sharpness") << "sharpnessSlider" << "spinBox_5";
        QTest::newRow("backlight") << "backLightSlider" << "spinBox_6";
        QTest::newRow("volume") << "horizontalSlider_7" << "spinBox_13";
        QTest::newRow("thickness") << "horizontalSlider" << "spinBox_7";
    }
    void sliderSpinCoupling()
    {
        QFETCH(QString, sliderName);
        QFETCH(QString, spinName);
        auto *slider = need<QSlider>(sliderName);
        auto *spin = need<QSpinBox>(spinName);
        QCOMPARE(spin->minimum(), slider->minimum());
        QCOMPARE(spin->maximum(), slider->maximum());
        QCOMPARE(spin->value(), slider->value());

        QSignalSpy sliderMoves(slider, &QSlider::valueChanged);
        QSignalSpy spinMoves(spin, QOverload<int>::of(&QSpinBox::valueChanged));
        slider->setValue(slider->maximum());
        QCOMPARE(spin->value(), slider->maximum());
        spin->setValue(spin->minimum());
        QCOMPARE(slider->value(), spin->minimum());
        // each change is announced once per control: the pair does not echo
        QCOMPARE(sliderMoves.count(), 2);
        QCOMPARE(spinMoves.count(), 2);

        // while the handle is dragged the spin box follows
        slider->setSliderDown(true);
        slider->setSliderPosition(slider->minimum() + 3);
        QCOMPARE(spin->value(), slider->minimum() + 3);
        slider->setSliderDown(false);
    }

    void connectionPanel()
    {
        auto *rates = need<QComboBox>(QStringLiteral("comboBox_2"));
        QCOMPARE(rates->count(), 3);
        QCOMPARE(rates->itemText(0), QStringLiteral("38400"));
        QCOMPARE(rates->itemText(1), QStringLiteral("19200"));
        QCOMPARE(rates->itemText(2), QStringLiteral("57600"));
        QCOMPARE(rates->currentIndex(), 0);
        QVERIFY(!rates->isEditable());
        QVERIFY(rates->hasFrame());
        QCOMPARE(need<QComboBox>(QStringLiteral("comboBox"))->count(), 0);
        QCOMPARE(need<QListWidget>(QStringLiteral("listWidget"))->count(), 0);
        QVERIFY(!need<QCheckBox>(QStringLiteral("checkBox"))->isChecked());
        QVERIFY(!need<QCheckBox>(QStringLiteral("enableMV"))->isChecked());
    }

    void scrollBar()
    {
        auto *bar = need<QScrollBar>(QStringLiteral("verticalScrollBar"));
        QCOMPARE(bar->orientation(), Qt::Vertical);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 0);
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->singleStep(), 1);
        QCOMPARE(bar->pageStep(), 1);
        QVERIFY(bar->hasTracking());
        QVERIFY(!bar->invertedAppearance());
        QVERIFY(need(QStringLiteral("widget_7"))->children().isEmpty());
    }

    void umdTabs()
    {
        auto *tabs = need<QTabWidget>(QStringLiteral("tabWidget"));
        QCOMPARE(tabs->count(), 4);
        const QStringList titles{"UMD 1", "UMD 2", "UMD 3", "UMD4"};
        const QStringList pages{"tab", "tab_2", "tab_3", "tab_4"};
        const QStringList edits{"lineEdit", "lineEdit_2", "lineEdit_3", "lineEdit_4"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(tabs->tabText(i), titles[i]);
            QCOMPARE(tabs->widget(i)->objectName(), pages[i]);
            auto *edit = need<QLineEdit>(edits[i]);
            QVERIFY(tabs->widget(i)->isAncestorOf(edit));
            QCOMPARE(edit->maxLength(), 32767); // no limit: the handler cuts to 16
            QVERIFY(edit->text().isEmpty());
        }
        QCOMPARE(tabs->currentIndex(), 3);
        QCOMPARE(tabs->currentWidget(), need(QStringLiteral("tab_4")));
    }

    void frames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("shape");
        QTest::addColumn<int>("shadow");
        QTest::addColumn<int>("lineWidth");
        QTest::newRow("page bar") << "frame" << int(QFrame::NoFrame) << int(QFrame::Raised) << 0;
        QTest::newRow("line") << "line" << int(QFrame::HLine) << int(QFrame::Sunken) << 1;
        QTest::newRow("line_2") << "line_2" << int(QFrame::HLine) << int(QFrame::Sunken) << 1;
        QTest::newRow("line_3") << "line_3" << int(QFrame::HLine) << int(QFrame::Sunken) << 1;
        QTest::newRow("grey caption") << "label_15" << int(QFrame::NoFrame) << int(QFrame::Plain) << 1;
        QTest::newRow("bold caption") << "label_26" << int(QFrame::NoFrame) << int(QFrame::Plain) << 1;
    }
    void frames()
    {
        QFETCH(QString, name);
        QFETCH(int, shape);
        QFETCH(int, shadow);
        QFETCH(int, lineWidth);
        auto *f = need<QFrame>(name);
        QCOMPARE(int(f->frameShape()), shape);
        QCOMPARE(int(f->frameShadow()), shadow);
        QCOMPARE(f->lineWidth(), lineWidth);
    }

    // The page-bar captions are rich text: grey while a page is not shown,
    // bold black while it is.
    void pageBarCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("heavy");
        QTest::addColumn<int>("pointSize"); // -1: not set by the text
        const QColor grey(0xb6, 0xb6, 0xb6), black(0, 0, 0);
        QTest::newRow("label_15") << "label_15" << "Picture" << grey << false << 9;
        QTest::newRow("label_16") << "label_16" << "Marker" << grey << true << 9;
        QTest::newRow("label_17") << "label_17" << "Function" << grey << true << 9;
        QTest::newRow("label_18") << "label_18" << "Source" << grey << true << 9;
        QTest::newRow("label_19") << "label_19" << "Audio" << grey << true << 9;
        QTest::newRow("label_20") << "label_20" << "UMD" << grey << true << 9;
        QTest::newRow("label_21") << "label_21" << "Picture" << black << true << 10;
        QTest::newRow("label_22") << "label_22" << "Marker" << black << true << -1;
        QTest::newRow("label_23") << "label_23" << "Funtion" << black << true << -1;
        QTest::newRow("label_24") << "label_24" << "Source" << black << true << -1;
        QTest::newRow("label_25") << "label_25" << "Audio" << black << true << -1;
        QTest::newRow("label_26") << "label_26" << "UMD" << black << true << -1;
    }
    void pageBarCaptions()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QColor, colour);
        QFETCH(bool, heavy);
        QFETCH(int, pointSize);
        auto *label = need<QLabel>(name);
        QVERIFY(!label->hasScaledContents());
        QVERIFY(Qt::mightBeRichText(label->text()));
        QTextDocument doc;
        doc.setHtml(label->text());
        QCOMPARE(doc.blockCount(), 1);
        QTextBlock block = doc.firstBlock();
        QTextBlock::iterator it = block.begin();
        QVERIFY(!it.atEnd());
        const QTextFragment frag = it.fragment();
        QCOMPARE(frag.text(), text);
        const QTextCharFormat fmt = frag.charFormat();
        QCOMPARE(fmt.foreground().color(), colour);
        if (heavy)
            QVERIFY(fmt.fontWeight() > QFont::Normal);
        else
            QVERIFY(!fmt.hasProperty(QTextFormat::FontWeight) || fmt.fontWeight() <= QFont::Normal);
        if (pointSize > 0)
            QCOMPARE(fmt.fontPointSize(), qreal(pointSize));
    }

    void styleSheets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sheet");
        const QString light = QStringLiteral("background-color: rgb(235, 235, 235);");
        const QString sans = QStringLiteral("font: 10pt \"Sans Serif\";");
        const QString clear = QStringLiteral("background-color: rgba(255, 255, 255, 0);");
        QTest::newRow("window") << "MainWindow" << "background-color: rgb(245, 245, 245);";
        QTest::newRow("port") << "groupBox" << light;
        QTest::newRow("device list") << "groupBox_3" << light;
        for (const char *page : {"widget", "widget_2", "widget_3", "widget_4", "widget_5", "widget_6"})
            QTest::newRow(page) << page << light;
        QTest::newRow("Pic_button selected")
            << "Pic_button" << "border-image: url(:/res/2.png);background-color: rgba(120,120,120,100);";
        QTest::newRow("Marker_button") << "Marker_button" << "border-image: url(:/res/3.png);";
        QTest::newRow("Fun_button") << "Fun_button" << "border-image: url(:/res/5.png);";
        QTest::newRow("WaveForm_button") << "WaveForm_button" << "border-image: url(:/res/1.png);";
        QTest::newRow("Audio_button") << "Audio_button" << "border-image: url(:/res/4.png);";
        QTest::newRow("System_button") << "System_button" << "border-image: url(:/res/6.png);";
        QTest::newRow("screen 1 selected") << "pushButton_9" << "border-image: url(:/res/8.png);";
        for (const char *b : {"pushButton_2", "pushButton_3", "pushButton_4", "pushButton_5", "pushButton_6",
                              "pushButton_7", "pushButton_8"})
            QTest::newRow(b) << b << "border-image: url(:/res/7.png);";
        for (const char *l : {"label_16", "label_17", "label_18", "label_19", "label_20", "label_22",
                              "label_23", "label_24", "label_25", "label_26"})
            QTest::newRow(l) << l << sans;
        QTest::newRow("label_15") << "label_15" << "";
        QTest::newRow("label_21") << "label_21" << "";
        QTest::newRow("tally red") << "radioButton_110" << clear;
        QTest::newRow("tally green") << "radioButton_111" << clear;
        QTest::newRow("tally yellow") << "radioButton_112" << clear;
        QTest::newRow("red square") << "label_4" << "background-color: rgb(255, 0, 0);";
        QTest::newRow("green square") << "label_5" << "background-color: rgb(0,255, 0);";
        QTest::newRow("yellow square") << "label_6" << "background-color: rgb(255, 255, 0);";
    }
    void styleSheets()
    {
        QFETCH(QString, name);
        QFETCH(QString, sheet);
        QCOMPARE(squeeze(need(name)->styleSheet()), squeeze(sheet));
    }

    // Style sheets are set only where listed above.
    void otherStyleSheetsEmpty()
    {
        QSet<QString> styled;
        for (const char *n : {"groupBox", "groupBox_3", "widget", "widget_2", "widget_3", "widget_4", "widget_5",
                              "widget_6", "Pic_button", "Marker_button", "Fun_button", "WaveForm_button",
                              "Audio_button", "System_button", "pushButton_2", "pushButton_3", "pushButton_4",
                              "pushButton_5", "pushButton_6", "pushButton_7", "pushButton_8", "pushButton_9",
                              "label_16", "label_17", "label_18", "label_19", "label_20", "label_22", "label_23",
                              "label_24", "label_25", "label_26", "radioButton_110", "radioButton_111",
                              "radioButton_112", "label_4", "label_5", "label_6"})
            styled.insert(QString::fromLatin1(n));
        QList<QWidget *> form;
        collectForm(window->centralWidget(), form);
        for (QWidget *x : form)
            if (!styled.contains(x->objectName()))
                QVERIFY2(x->styleSheet().isEmpty(), qPrintable(x->objectName()));
    }

    void tallySquaresUnderButtons_data()
    {
        QTest::addColumn<QString>("square");
        QTest::addColumn<QString>("button");
        QTest::newRow("red") << "label_4" << "radioButton_110";
        QTest::newRow("green") << "label_5" << "radioButton_111";
        QTest::newRow("yellow") << "label_6" << "radioButton_112";
    }
    void tallySquaresUnderButtons()
    {
        QFETCH(QString, square);
        QFETCH(QString, button);
        QWidget *box = need(QStringLiteral("groupBox_30"));
        QWidget *sq = need(square);
        QVERIFY(need(button)->geometry().intersects(sq->geometry()));
        QCOMPARE(box->childAt(sq->geometry().center()), need(button));
    }

    // Straight after building, nothing is hidden (start-up hides what it must);
    // only the tab pages that are not current are hidden by their tab widget.
    void everythingShown()
    {
        QList<QWidget *> form;
        collectForm(window->centralWidget(), form);
        const QSet<QString> hiddenTabs{"tab", "tab_2", "tab_3"};
        for (QWidget *x : form)
            QVERIFY2(x->isHidden() == hiddenTabs.contains(x->objectName()), qPrintable(x->objectName()));
        for (QWidget *x : form)
            QVERIFY2(x->isEnabled(), qPrintable(x->objectName()));
    }

    // Pages wait outside the area that the fixed-size window shows, apart from
    // one another, and every widget fits inside its parent.
    void geometryBounds()
    {
        const QStringList pages{"widget", "widget_2", "widget_3", "widget_4", "widget_5", "widget_6"};
        for (int i = 0; i < pages.size(); ++i) {
            const QRect r = need(pages[i])->geometry();
            QVERIFY2(!r.intersects(QRect(0, 0, 960, 644)), qPrintable(pages[i]));
            for (int j = i + 1; j < pages.size(); ++j)
                QVERIFY2(!r.intersects(need(pages[j])->geometry()), qPrintable(pages[i] + " " + pages[j]));
        }
        QList<QWidget *> form;
        collectForm(window->centralWidget(), form);
        for (QWidget *x : form) {
            QWidget *p = x->parentWidget();
            if (x == window->centralWidget() || p == window->centralWidget() || p->inherits("QStackedWidget")
                || p->parentWidget()->inherits("QStackedWidget"))
                continue; // the central area and the tab pages are sized by their owners
            QVERIFY2(QRect(QPoint(0, 0), p->size()).contains(x->geometry()),
                     qPrintable(x->objectName() + " in " + p->objectName()));
        }
    }

    void resources_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        for (int i = 1; i <= 6; ++i)
            QTest::newRow(qPrintable(QString::number(i))) << QStringLiteral(":/res/%1.png").arg(i) << QSize(64, 64);
        QTest::newRow("7") << ":/res/7.png" << QSize(158, 162);
        QTest::newRow("8") << ":/res/8.png" << QSize(157, 161);
        QTest::newRow("window") << ":/res/window.png" << QSize(135, 135);
    }
    void resources()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QPixmap pm(path);
        QVERIFY(!pm.isNull());
        QCOMPARE(pm.size(), size);
        QVERIFY(pm.hasAlphaChannel());
    }

    // Every image named in a style sheet of the form is in the resources.
    void styleSheetImagesExist()
    {
        const QRegularExpression url(QStringLiteral("url\\(([^)]*)\\)"));
        int urls = 0;
        for (QWidget *x : window->findChildren<QWidget *>()) {
            auto it = url.globalMatch(x->styleSheet());
            while (it.hasNext()) {
                const QString path = it.next().captured(1);
                QVERIFY2(QFile::exists(path), qPrintable(x->objectName() + ": " + path));
                ++urls;
            }
        }
        QCOMPARE(urls, 14);
    }

    // setupUi connects handlers named on_<objectName>_<signal>.
    void handlersConnectByName()
    {
        FormHost host;
        host.ui.setupUi(&host);
        host.ui.pushButton->click();
        QCOMPARE(host.refreshClicks, 1);
        host.ui.spinBox->setValue(77); // reaches the slider through the coupling
        QCOMPARE(host.lastBrightness, 77);
    }

    void screenshots_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("file");
        QTest::newRow("Picture") << "widget" << QSize(661, 541) << "form-picture.png";
        QTest::newRow("Marker") << "widget_2" << QSize(661, 541) << "form-marker.png";
        QTest::newRow("Function") << "widget_4" << QSize(661, 841) << "form-function.png";
        QTest::newRow("Source") << "widget_5" << QSize(661, 541) << "form-source.png";
        QTest::newRow("Audio") << "widget_3" << QSize(661, 541) << "form-audio.png";
        QTest::newRow("UMD") << "widget_6" << QSize(661, 700) << "form-umd.png";
    }
    void screenshots()
    {
        QFETCH(QString, page);
        QFETCH(QSize, size);
        QFETCH(QString, file);
        // as at start-up: the page sits in the viewport (and so takes the
        // Operate group's font) at its working size
        QWidget *p = need(page);
        p->setParent(need(QStringLiteral("widget_7")));
        p->move(0, 0);
        p->resize(size);
        const QPixmap shot = p->grab();
        QCOMPARE(shot.size() / shot.devicePixelRatio(), size);
        const QString path = QDir(screenshotDir()).filePath(file);
        QVERIFY2(shot.save(path), qPrintable(path));
    }

    void windowScreenshot()
    {
        window->resize(960, 644);
        const QPixmap shot = window->grab();
        const QString path = QDir(screenshotDir()).filePath(QStringLiteral("form-window.png"));
        QVERIFY2(shot.save(path), qPrintable(path));
    }
};

QTEST_MAIN(TestForm)
#include "tst_form.moc"
