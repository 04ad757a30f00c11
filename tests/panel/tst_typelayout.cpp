// Layout rows and enable rules by device type, on the real window: every control
// is found, each row puts the controls where the rows say, placing is absolute,
// and the enable rules follow the type and the choices they depend on.
#include <QtTest>

#include <QAbstractButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include "basicdata.h"
#include "mainwindow.h"
#include "typelayout.h"
#include "ui_mainwindow.h"

namespace {
const QPoint Away = TypeLayout::OutOfSight;

// One device type per layout row, in row order.
constexpr int kTypeOfRow[TypeLayout::RowCount] = {1, 0, 3, 2, 128, 4, 129, 5};

// The enabled flag of the widget itself, whatever its parents are.
bool ownEnabled(const QWidget *w)
{
    return !w->testAttribute(Qt::WA_ForceDisabled);
}

ST_BasicData recordWithInput(int byte7)
{
    ST_BasicData d;
    d.setByte(7, static_cast<std::uint8_t>(byte7));
    return d;
}

QString screenshotDir()
{
    const QString dir = qEnvironmentVariable("TELVANOR_SCREENSHOT_DIR",
                                             QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"))
        + QStringLiteral("/typelayout");
    QDir().mkpath(dir);
    return dir;
}
} // namespace

class TestTypeLayout : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { usePanelStyle(); }
    void init();
    void cleanup();

    void everyNameIsFound();
    void missingNamesAreReportedAndSkipped();
    void rowForType_data();
    void rowForType();
    void placement_data();
    void placement();
    void placementIsAbsolute_data();
    void placementIsAbsolute();
    void rowsFitTheirPages_data();
    void rowsFitTheirPages();

    void commonRules_data();
    void commonRules();
    void multiviewSwapsSourcesOnType2();
    void type5CaptionsStay();
    void type5AudioChannels_data();
    void type5AudioChannels();
    void type128Rules_data();
    void type128Rules();
    void type129Peaking_data();
    void type129Peaking();
    void otherTypesKeepTypeSpecificRulesOff_data();
    void otherTypesKeepTypeSpecificRulesOff();
    void sourceLimits_data();
    void sourceLimits();
    void switchingTypesUndoesTheLastTypesLocks_data();
    void switchingTypesUndoesTheLastTypesLocks();

    void pagesForReview();

private:
    template <class T = QWidget>
    T *find(const QString &name) const
    {
        T *widget = w->findChild<T *>(name);
        if (!widget)
            qFatal("no widget %s", qPrintable(name));
        return widget;
    }
    QVector<QPoint> positions() const;

    MainWindow *w = nullptr;
    TypeLayout *layout = nullptr;
};

void TestTypeLayout::init()
{
    w = new MainWindow;
    layout = new TypeLayout(w);
}

void TestTypeLayout::cleanup()
{
    delete layout;
    layout = nullptr;
    delete w;
    w = nullptr;
}

QVector<QPoint> TestTypeLayout::positions() const
{
    QVector<QPoint> all;
    for (const QWidget *c : layout->controls())
        all << c->pos();
    return all;
}

void TestTypeLayout::everyNameIsFound()
{
    QVERIFY2(layout->missingNames().isEmpty(), qPrintable(layout->missingNames().join(' ')));
    // 6 + 9 + 2 + 7 + 44 + 83 controls, each once.
    const QList<QWidget *> all = layout->controls();
    QCOMPARE(all.size(), 151);
    QCOMPARE(QSet<QWidget *>(all.cbegin(), all.cend()).size(), 151);
}

void TestTypeLayout::missingNamesAreReportedAndSkipped()
{
    QWidget bare;
    auto *stray = new QWidget(&bare);
    stray->setObjectName(QStringLiteral("radioButton_95")); // right name, wrong class for a rule
    TypeLayout partial(&bare);
    const QStringList missing = partial.missingNames();
    for (const char *name : {"radioButton_3", "radioButton_153", "tabWidget", "groupBox_44", "radioButton_95",
                             "enableMV", "Marker_button", "horizontalSlider_9", "spinBox_6"})
        QVERIFY2(missing.contains(QLatin1String(name)), name);
    QCOMPARE(missing.count(QStringLiteral("groupBox_40")), 1); // named by several rules, reported once
    // As a placed control any widget will do; the rules need a button.
    QCOMPARE(partial.controls(), QList<QWidget *>{stray});
    for (int type : {0, 2, 4, 5, 128, 129}) {
        partial.placeForType(type);
        partial.applySourceLimits(type, recordWithInput(7));
    }
    QCOMPARE(stray->pos(), QPoint(130, 20));
    QVERIFY(ownEnabled(stray));
}

void TestTypeLayout::rowForType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("row");
    QTest::newRow("1") << 1 << 0;
    QTest::newRow("2") << 2 << 3;
    QTest::newRow("3") << 3 << 2;
    QTest::newRow("4") << 4 << 5;
    QTest::newRow("5") << 5 << 7;
    QTest::newRow("128") << 128 << 4;
    QTest::newRow("129") << 129 << 6;
    QTest::newRow("0, before any record") << 0 << 1;
    QTest::newRow("6") << 6 << 1;
    QTest::newRow("127") << 127 << 1;
    QTest::newRow("130") << 130 << 1;
    QTest::newRow("255") << 255 << 1;
    QTest::newRow("-1") << -1 << 1;
}

void TestTypeLayout::rowForType()
{
    QFETCH(int, type);
    QFETCH(int, row);
    QCOMPARE(TypeLayout::rowForType(type), row);
}

void TestTypeLayout::placement_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("pos");
    struct Spot {
        const char *name;
        QPoint pos;
    };
    const auto add = [](int type, std::initializer_list<Spot> spots) {
        for (const Spot &s : spots)
            QTest::addRow("type %d: %s", type, s.name) << type << QString::fromLatin1(s.name) << s.pos;
    };

    // Row 1: every type without a row of its own.
    for (int type : {0, 6})
        add(type, {{"radioButton_3", {10, 30}},     {"radioButton_8", {510, 30}},     {"radioButton_48", {60, 70}},
                   {"radioButton_130", {60, 130}},  {"radioButton_49", {60, 190}},    {"radioButton_153", Away},
                   {"tabWidget", {20, 90}},         {"groupBox_37", {20, 420}},       {"groupBox_40", Away},
                   {"radioButton_129", {490, 84}},  {"radioButton_43", {470, 20}},    {"groupBox_43", {30, 430}},
                   {"groupBox_15", {490, 10}},      {"radioButton_154", Away},        {"radioButton_155", Away},
                   {"radioButton_76", {200, 20}},   {"radioButton_107", {80, 20}},    {"groupBox_28", {280, 480}},
                   {"groupBox_41", Away},           {"radioButton_143", {10, 20}},    {"radioButton_149", {380, 60}},
                   {"groupBox_44", Away},           {"radioButton_152", {380, 20}}});
    // Row 0.
    add(1, {{"radioButton_44", {60, 30}}, {"radioButton_45", Away},       {"radioButton_46", Away},
            {"radioButton_47", Away},     {"radioButton_48", {60, 130}},  {"radioButton_130", Away},
            {"radioButton_131", Away},    {"radioButton_49", {60, 190}},  {"radioButton_153", Away},
            {"groupBox_40", Away},        {"radioButton_129", {490, 84}}, {"radioButton_154", Away},
            {"groupBox_41", Away},        {"groupBox_44", Away}});
    // Row 2.
    add(3, {{"radioButton_48", {60, 130}}, {"radioButton_131", Away}, {"radioButton_129", Away},
            {"radioButton_124", {370, 84}}, {"groupBox_36", {20, 170}}, {"groupBox_41", Away}});
    // Row 3.
    add(2, {{"radioButton_45", {210, 30}}, {"radioButton_130", {60, 130}}, {"radioButton_153", Away},
            {"radioButton_129", Away},     {"groupBox_40", Away},          {"groupBox_18", {10, 70}}});
    // Row 4.
    add(128, {{"radioButton_3", Away},        {"radioButton_4", Away},         {"radioButton_5", {10, 30}},
              {"radioButton_8", {310, 30}},   {"radioButton_48", Away},        {"radioButton_131", Away},
              {"radioButton_153", {60, 130}}, {"radioButton_49", {60, 190}},   {"tabWidget", Away},
              {"groupBox_30", {20, 20}},      {"groupBox_13", {20, 100}},      {"groupBox_36", Away},
              {"groupBox_37", Away},          {"groupBox_40", {20, 180}},      {"radioButton_120", Away},
              {"radioButton_129", Away},      {"radioButton_124", {120, 84}},  {"groupBox_16", Away},
              {"radioButton_63", {10, 20}},   {"radioButton_127", Away},       {"radioButton_68", {140, 20}},
              {"groupBox_25", Away},          {"radioButton_101", Away},       {"radioButton_100", {80, 20}},
              {"radioButton_134", Away},      {"groupBox_41", Away},           {"groupBox_44", {10, 80}},
              {"groupBox_15", {490, 230}},    {"groupBox_18", {10, 430}},      {"groupBox_21", {330, 160}},
              {"groupBox_22", {10, 360}},     {"groupBox_27", {10, 230}},      {"groupBox_29", {230, 230}},
              {"groupBox_26", {10, 160}},     {"groupBox_28", {10, 290}}});
    // Row 5.
    add(4, {{"radioButton_3", {10, 30}},  {"radioButton_45", Away},       {"radioButton_48", Away},
            {"radioButton_153", Away},    {"radioButton_49", {60, 190}},  {"tabWidget", {20, 90}},
            {"groupBox_14", {20, 240}},   {"groupBox_38", Away},          {"groupBox_37", Away},
            {"groupBox_40", {20, 350}},   {"radioButton_129", Away},      {"radioButton_120", {120, 84}},
            {"radioButton_154", Away},    {"groupBox_44", Away},          {"groupBox_41", {10, 540}}});
    // Row 6.
    add(129, {{"radioButton_4", Away},       {"radioButton_6", {110, 30}},  {"radioButton_44", {60, 30}},
              {"radioButton_49", {60, 130}}, {"radioButton_153", Away},     {"tabWidget", Away},
              {"groupBox_14", Away},         {"groupBox_40", {20, 180}},    {"radioButton_123", Away},
              {"radioButton_124", {120, 84}}, {"groupBox_16", Away},        {"groupBox_15", {10, 290}},
              {"groupBox_18", {10, 430}},    {"radioButton_67", {30, 20}},  {"radioButton_68", Away},
              {"radioButton_69", {140, 20}}, {"radioButton_72", {440, 20}}, {"radioButton_127", Away},
              {"groupBox_21", {10, 160}},    {"groupBox_22", {10, 360}},    {"groupBox_27", {10, 230}},
              {"groupBox_29", Away},         {"groupBox_26", Away},         {"groupBox_28", Away},
              {"groupBox_44", {10, 80}},     {"groupBox_41", Away}});
    // Row 7.
    add(5, {{"radioButton_3", Away},         {"radioButton_7", {210, 30}},   {"radioButton_45", Away},
            {"radioButton_153", Away},       {"radioButton_49", {60, 190}},  {"tabWidget", Away},
            {"groupBox_14", Away},           {"groupBox_36", {20, 170}},     {"groupBox_40", {20, 240}},
            {"radioButton_120", {120, 84}},  {"radioButton_129", {490, 84}}, {"radioButton_154", {240, 50}},
            {"radioButton_155", {340, 50}},  {"groupBox_41", {10, 540}},     {"groupBox_44", Away},
            {"groupBox_15", {490, 10}},      {"groupBox_18", {10, 70}},      {"radioButton_69", {240, 20}}});
    // The thickness choices give way to the slider in every row.
    for (int type : kTypeOfRow)
        add(type, {{"groupBox_10", Away}, {"groupBox_43", {30, 430}}});
}

void TestTypeLayout::placement()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(QPoint, pos);
    // Whatever was placed before must not matter.
    for (int before : kTypeOfRow)
        layout->placeForType(before);
    layout->placeForType(type);
    QCOMPARE(find(name)->pos(), pos);
}

void TestTypeLayout::placementIsAbsolute_data()
{
    QTest::addColumn<int>("type");
    for (int row = 0; row < TypeLayout::RowCount; ++row)
        QTest::addRow("row %d", row) << kTypeOfRow[row];
}

void TestTypeLayout::placementIsAbsolute()
{
    QFETCH(int, type);
    layout->placeForType(type);
    const QVector<QPoint> alone = positions();
    for (int before : kTypeOfRow) {
        layout->placeForType(before);
        layout->placeForType(type);
        QCOMPARE(positions(), alone);
    }
}

void TestTypeLayout::rowsFitTheirPages_data()
{
    placementIsAbsolute_data();
}

// A mistyped position shows as a control outside its box or two groups on top of
// each other.
void TestTypeLayout::rowsFitTheirPages()
{
    QFETCH(int, type);
    layout->placeForType(type);
    const auto inSight = [](const QWidget *c) { return c->pos() != Away; };
    QList<QWidget *> boxes;
    for (QWidget *c : layout->controls()) {
        const QWidget *parent = c->parentWidget();
        if (!inSight(c) || !inSight(parent))
            continue;
        QVERIFY2(parent->rect().contains(c->geometry()),
                 qPrintable(c->objectName() + " lies outside " + parent->objectName()));
        if (qobject_cast<QGroupBox *>(c))
            boxes << c;
    }
    for (int i = 0; i < boxes.size(); ++i)
        for (int j = i + 1; j < boxes.size(); ++j)
            if (boxes[i]->parentWidget() == boxes[j]->parentWidget())
                QVERIFY2(!boxes[i]->geometry().intersects(boxes[j]->geometry()),
                         qPrintable(boxes[i]->objectName() + " overlaps " + boxes[j]->objectName()));
}

void TestTypeLayout::commonRules_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("firstSource");
    QTest::addColumn<QString>("falseColorDef");
    QTest::addColumn<int>("thicknessMax");
    QTest::addColumn<bool>("imageFlip");
    QTest::addColumn<bool>("waveMulti");
    QTest::addColumn<bool>("multiviewSwitch");
    QTest::newRow("0, before any record") << 0 << "SDI1" << "Def" << 7 << true << true << false;
    QTest::newRow("1") << 1 << "SDI" << "Def" << 7 << true << true << false;
    QTest::newRow("2") << 2 << "SDI1" << "Def" << 15 << false << true << true;
    QTest::newRow("3") << 3 << "SDI" << "Def" << 15 << false << true << false;
    QTest::newRow("4") << 4 << "SDI" << "Def" << 7 << true << false << false;
    QTest::newRow("5") << 5 << "SDI1" << "Def" << 7 << true << true << false;
    QTest::newRow("6, no row of its own") << 6 << "SDI1" << "Def" << 7 << true << true << false;
    QTest::newRow("128") << 128 << "SDI" << "On" << 7 << true << false << false;
    QTest::newRow("129") << 129 << "SDI" << "Def" << 7 << true << true << false;
    QTest::newRow("130") << 130 << "SDI1" << "Def" << 7 << true << true << false;
}

void TestTypeLayout::commonRules()
{
    QFETCH(int, type);
    QFETCH(QString, firstSource);
    QFETCH(QString, falseColorDef);
    QFETCH(int, thicknessMax);
    QFETCH(bool, imageFlip);
    QFETCH(bool, waveMulti);
    QFETCH(bool, multiviewSwitch);
    const ST_BasicData working;
    // The types that change these controls run first, so that each row also shows
    // what is set back.
    for (int before : {2, 3, 4, 128}) {
        layout->placeForType(before);
        layout->applyTypeRules(before, working);
    }
    layout->placeForType(type);
    layout->applyTypeRules(type, working);

    QCOMPARE(w->ui->radioButton_44->text(), firstSource);
    QCOMPARE(w->ui->radioButton_107->text(), falseColorDef);
    QCOMPARE(w->ui->horizontalSlider->maximum(), thicknessMax);
    QCOMPARE(w->ui->spinBox_7->maximum(), thicknessMax);
    QCOMPARE(ownEnabled(w->ui->groupBox_21), imageFlip);
    QCOMPARE(ownEnabled(w->ui->radioButton_95), waveMulti);

    // Multiview is off here: only type 2 offers the switch, and the sources show.
    QCOMPARE(w->ui->enableMV->isHidden(), !multiviewSwitch);
    QCOMPARE(w->ui->label_7->isHidden(), !multiviewSwitch);
    QVERIFY(w->ui->multiVideo->isHidden());
    QVERIFY(!w->ui->groupBox_12->isHidden());
    QCOMPARE(w->ui->groupBox_12->pos(), multiviewSwitch ? QPoint(5, 60) : QPoint(5, 10));
    QVERIFY(w->ui->tabWidget->isTabEnabled(0));
    for (int tab = 1; tab <= 3; ++tab)
        QVERIFY(!w->ui->tabWidget->isTabEnabled(tab));
    QVERIFY(ownEnabled(w->ui->Marker_button));
}

void TestTypeLayout::multiviewSwapsSourcesOnType2()
{
    const ST_BasicData working;
    QWidget *const audioGroups[] = {w->ui->groupBox_36, w->ui->groupBox_14, w->ui->groupBox_37,
                                    w->ui->groupBox_38, w->ui->groupBox_40};
    QWidget *const locked[] = {w->ui->Marker_button, w->ui->groupBox_15, w->ui->groupBox_16, w->ui->groupBox_17,
                               w->ui->groupBox_18,   w->ui->groupBox_20, w->ui->groupBox_24, w->ui->groupBox_19,
                               w->ui->groupBox_25,   w->ui->groupBox_26};
    const auto expectMultiview = [&](bool on) {
        QVERIFY(!w->ui->enableMV->isHidden());
        QVERIFY(!w->ui->label_7->isHidden());
        QCOMPARE(w->ui->groupBox_12->isHidden(), on);
        QCOMPARE(w->ui->multiVideo->isHidden(), !on);
        // Whichever group shows takes the same place.
        QCOMPARE((on ? w->ui->multiVideo : w->ui->groupBox_12)->pos(), QPoint(5, 60));
        QVERIFY(w->ui->tabWidget->isTabEnabled(0));
        for (int tab = 1; tab <= 3; ++tab)
            QCOMPARE(w->ui->tabWidget->isTabEnabled(tab), on);
        for (QWidget *g : audioGroups)
            QVERIFY2(g->isHidden() == on, qPrintable(g->objectName()));
        for (QWidget *c : locked)
            QVERIFY2(ownEnabled(c) == !on, qPrintable(c->objectName()));
        // Neighbours of those stay as they are.
        QVERIFY(!w->ui->groupBox_11->isHidden());
        QVERIFY(!w->ui->groupBox_13->isHidden());
        QVERIFY(ownEnabled(w->ui->groupBox_22));
        QVERIFY(ownEnabled(w->ui->Fun_button));
        QVERIFY(!ownEnabled(w->ui->groupBox_21)); // type 2 has no image flip either way
    };

    layout->placeForType(2);
    w->ui->enableMV->setChecked(false);
    layout->applyTypeRules(2, working);
    expectMultiview(false);

    w->ui->enableMV->setChecked(true);
    layout->applyTypeRules(2, working);
    expectMultiview(true);

    w->ui->enableMV->setChecked(false);
    layout->applyTypeRules(2, working);
    expectMultiview(false);
}

void TestTypeLayout::type5CaptionsStay()
{
    QAbstractButton *const captioned[] = {w->ui->radioButton_120, w->ui->radioButton_123, w->ui->radioButton_124,
                                          w->ui->radioButton_129, w->ui->radioButton_127, w->ui->radioButton_128,
                                          w->ui->radioButton_154, w->ui->radioButton_155};
    const QStringList form = {"2.0X", "2.0X MAG", "Grid", "User", "2.0X", "2.0X MAG", "1.3X", "1.5X"};
    const QStringList type5 = {"1.3X", "1.5X", "2.0X", "2.0X MAG", "1.3X", "1.5X", "2.0X", "2.0X MAG"};
    const auto captions = [&] {
        QStringList texts;
        for (QAbstractButton *b : captioned)
            texts << b->text();
        return texts;
    };
    const ST_BasicData working;
    layout->applyTypeRules(1, working);
    QCOMPARE(captions(), form);
    layout->applyTypeRules(5, working);
    QCOMPARE(captions(), type5);
    // A later device of another type keeps them; the first source is relabelled.
    layout->placeForType(1);
    layout->applyTypeRules(1, working);
    QCOMPARE(captions(), type5);
    QCOMPARE(w->ui->radioButton_44->text(), QStringLiteral("SDI"));
}

void TestTypeLayout::type5AudioChannels_data()
{
    // "Audio Ch" buttons CH3 CH4 (radioButton_136) to CH15 CH16 (radioButton_142),
    // '+' enabled, '-' disabled.
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("byte7");
    QTest::addColumn<bool>("hdmiLimit"); // "HDMI" was the last source button released
    QTest::addColumn<QString>("after");
    QTest::newRow("type 5 on HDMI") << 5 << 7 << false << "+++----";
    QTest::newRow("type 5 on HDMI, limited to eight channels") << 5 << 7 << true << "+++----";
    QTest::newRow("type 5 on SDI1") << 5 << 0 << false << "-------";
    QTest::newRow("type 5 on SFP") << 5 << 4 << false << "-------";
    QTest::newRow("type 5 on VIDEO") << 5 << 12 << false << "-------";
    QTest::newRow("type 4 after type 5: pairs usable again") << 4 << 0 << false << "+++++++";
    QTest::newRow("type 4 on HDMI keeps the limit") << 4 << 7 << true << "+++----";
}

void TestTypeLayout::type5AudioChannels()
{
    QFETCH(int, type);
    QFETCH(int, byte7);
    QFETCH(bool, hdmiLimit);
    QFETCH(QString, after);
    QAbstractButton *const pairs[] = {w->ui->radioButton_136, w->ui->radioButton_137, w->ui->radioButton_138,
                                      w->ui->radioButton_139, w->ui->radioButton_140, w->ui->radioButton_141,
                                      w->ui->radioButton_142};
    if (hdmiLimit)
        layout->applySourceLimits(type, recordWithInput(7));
    // A type-5 monitor on SDI left every pair off.
    layout->applyTypeRules(5, recordWithInput(0));
    layout->applyTypeRules(type, recordWithInput(byte7));
    QString seen;
    for (QAbstractButton *b : pairs)
        seen += ownEnabled(b) ? QLatin1Char('+') : QLatin1Char('-');
    QCOMPARE(seen, after);
    QVERIFY(ownEnabled(w->ui->radioButton_135)); // CH1 CH2 is always there
}

void TestTypeLayout::type128Rules_data()
{
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<QStringList>("disabled");
    // radioButton_95 ("Wave" Multi) is always disabled on type 128.
    QTest::newRow("SDI, marker off, scan aspect") << QStringList{} << QStringList{"radioButton_95"};
    QTest::newRow("SFP") << QStringList{"radioButton_48"} << QStringList{"radioButton_95"};
    QTest::newRow("HDMI") << QStringList{"radioButton_49"} << QStringList{"radioButton_95", "groupBox_40"};
    QTest::newRow("VIDEO") << QStringList{"radioButton_153"}
                           << QStringList{"radioButton_95", "groupBox_40", "groupBox_17", "groupBox_13", "groupBox_44"};
    QTest::newRow("Grid") << QStringList{"radioButton_124"}
                          << QStringList{"radioButton_95", "groupBox_5", "groupBox_8", "groupBox_9"};
    QTest::newRow("other aspect marker") << QStringList{"radioButton_129"} << QStringList{"radioButton_95"};
    QTest::newRow("Pix To Pix") << QStringList{"radioButton_65"}
                                << QStringList{"radioButton_95", "widget_2", "groupBox_44", "groupBox_18"};
    QTest::newRow("Zoom") << QStringList{"radioButton_66"}
                          << QStringList{"radioButton_95", "widget_2", "groupBox_44", "groupBox_18"};
    QTest::newRow("HDMI, Grid, Zoom") << QStringList{"radioButton_49", "radioButton_124", "radioButton_66"}
                                      << QStringList{"radioButton_95", "groupBox_40", "groupBox_5", "groupBox_8",
                                                     "groupBox_9", "widget_2", "groupBox_44", "groupBox_18"};
    QTest::newRow("VIDEO, Pix To Pix") << QStringList{"radioButton_153", "radioButton_65"}
                                       << QStringList{"radioButton_95", "groupBox_40", "groupBox_17", "groupBox_13",
                                                      "groupBox_44", "widget_2", "groupBox_18"};
}

void TestTypeLayout::type128Rules()
{
    QFETCH(QStringList, chosen);
    QFETCH(QStringList, disabled);
    const ST_BasicData working;
    // First everything the rules can disable is disabled: each row also shows
    // what is enabled again.
    w->ui->radioButton_153->setChecked(true);
    w->ui->radioButton_124->setChecked(true);
    w->ui->radioButton_66->setChecked(true);
    layout->applyTypeRules(128, working);

    w->ui->radioButton_44->setChecked(true);
    w->ui->radioButton_16->setChecked(true);
    w->ui->radioButton_64->setChecked(true);
    for (const QString &name : chosen)
        find<QAbstractButton>(name)->setChecked(true);
    layout->applyTypeRules(128, working);

    for (const char *name : {"groupBox_5", "groupBox_8", "groupBox_9", "groupBox_40", "groupBox_17", "groupBox_18",
                             "groupBox_13", "groupBox_44", "widget_2", "radioButton_95"}) {
        const QString n = QLatin1String(name);
        QVERIFY2(ownEnabled(find(n)) == !disabled.contains(n), name);
    }
    QCOMPARE(w->ui->radioButton_107->text(), QStringLiteral("On"));
    QCOMPARE(w->ui->radioButton_100->text(), QStringLiteral("On"));
    QCOMPARE(w->ui->radioButton_44->text(), QStringLiteral("SDI"));
    QVERIFY(ownEnabled(w->ui->Marker_button));
}

void TestTypeLayout::type129Peaking_data()
{
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("peaking");
    QTest::newRow("on") << false << true;
    QTest::newRow("off after on") << true << false;
    QTest::newRow("off") << false << false;
}

void TestTypeLayout::type129Peaking()
{
    QFETCH(bool, before);
    QFETCH(bool, peaking);
    QWidget *const levels[] = {w->ui->brightnessSlider, w->ui->contrastSlider, w->ui->saturationSlider,
                               w->ui->tintSlider,       w->ui->sharpnessSlider, w->ui->spinBox,
                               w->ui->spinBox_2,        w->ui->spinBox_3,      w->ui->spinBox_4,
                               w->ui->spinBox_5,        w->ui->spinBox_6,      w->ui->groupBox_4};
    const ST_BasicData working;
    (before ? w->ui->radioButton_103 : w->ui->radioButton_104)->setChecked(true);
    layout->applyTypeRules(129, working);
    (peaking ? w->ui->radioButton_103 : w->ui->radioButton_104)->setChecked(true);
    layout->applyTypeRules(129, working);
    for (QWidget *c : levels)
        QVERIFY2(ownEnabled(c) == !peaking, qPrintable(c->objectName()));
    QVERIFY(ownEnabled(w->ui->backLightSlider));
    QVERIFY(ownEnabled(w->ui->widget));
}

void TestTypeLayout::otherTypesKeepTypeSpecificRulesOff_data()
{
    QTest::addColumn<int>("type");
    for (int type : {0, 1, 3, 5, 6, 130})
        QTest::addRow("%d", type) << type;
}

// With every choice set that a type-specific rule reacts to, the other types
// leave those controls alone.
void TestTypeLayout::otherTypesKeepTypeSpecificRulesOff()
{
    QFETCH(int, type);
    w->ui->radioButton_153->setChecked(true);
    w->ui->radioButton_124->setChecked(true);
    w->ui->radioButton_65->setChecked(true);
    w->ui->radioButton_103->setChecked(true);
    w->ui->enableMV->setChecked(true);
    layout->placeForType(type);
    layout->applyTypeRules(type, ST_BasicData());

    for (QWidget *c : std::initializer_list<QWidget *>{
             w->ui->groupBox_5, w->ui->groupBox_8, w->ui->groupBox_9, w->ui->groupBox_40, w->ui->groupBox_17,
             w->ui->groupBox_18, w->ui->groupBox_13, w->ui->groupBox_44, w->ui->widget_2, w->ui->radioButton_95,
             w->ui->brightnessSlider, w->ui->spinBox_6, w->ui->groupBox_4, w->ui->Marker_button,
             w->ui->groupBox_15, w->ui->groupBox_26})
        QVERIFY2(ownEnabled(c), qPrintable(c->objectName()));
    for (QWidget *g : {w->ui->groupBox_36, w->ui->groupBox_14, w->ui->groupBox_37, w->ui->groupBox_38,
                       w->ui->groupBox_40, w->ui->groupBox_12})
        QVERIFY2(!g->isHidden(), qPrintable(g->objectName()));
    QVERIFY(w->ui->multiVideo->isHidden());
    QCOMPARE(w->ui->radioButton_107->text(), QStringLiteral("Def"));
    QCOMPARE(w->ui->radioButton_100->text(), QStringLiteral("Y"));
}

void TestTypeLayout::sourceLimits_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("byte7");
    QTest::addColumn<bool>("limited");
    // "Audio Ch" CH3 CH4 ... CH15 CH16 afterwards, '+' enabled, '-' disabled.
    QTest::addColumn<QString>("audioCh");
    QTest::newRow("HDMI") << 0 << 7 << true << "+++----";
    QTest::newRow("SDI1") << 0 << 0 << false << "+++++++";
    QTest::newRow("SDI4") << 0 << 3 << false << "+++++++";
    QTest::newRow("SFP") << 0 << 4 << false << "+++++++";
    QTest::newRow("type 4, HDMI") << 4 << 7 << true << "+++----";
    // The type rules run last: on type 5 they have the final word on the channel pairs.
    QTest::newRow("type 5, HDMI") << 5 << 7 << true << "+++----";
    QTest::newRow("type 5, SDI2") << 5 << 1 << false << "-------";
}

void TestTypeLayout::sourceLimits()
{
    QFETCH(int, type);
    QFETCH(int, byte7);
    QFETCH(bool, limited);
    QFETCH(QString, audioCh);
    QAbstractButton *const upperVector[] = {w->ui->radioButton_56, w->ui->radioButton_57, w->ui->radioButton_58,
                                            w->ui->radioButton_59};
    QAbstractButton *const pairs[] = {w->ui->radioButton_136, w->ui->radioButton_137, w->ui->radioButton_138,
                                      w->ui->radioButton_139, w->ui->radioButton_140, w->ui->radioButton_141,
                                      w->ui->radioButton_142};
    // Start from the opposite limits; the first source label marks the type rules' run.
    layout->applySourceLimits(0, recordWithInput(limited ? 0 : 7));
    for (QAbstractButton *b : pairs)
        b->setEnabled(true);
    w->ui->radioButton_44->setText(QStringLiteral("?"));

    layout->applySourceLimits(type, recordWithInput(byte7));
    for (QAbstractButton *b : upperVector)
        QVERIFY2(ownEnabled(b) == !limited, qPrintable(b->objectName()));
    QString seen;
    for (QAbstractButton *b : pairs)
        seen += ownEnabled(b) ? QLatin1Char('+') : QLatin1Char('-');
    QCOMPARE(seen, audioCh);
    QCOMPARE(w->ui->horizontalSlider_8->maximum(), limited ? 8 : 16);
    QCOMPARE(w->ui->horizontalSlider_9->maximum(), limited ? 8 : 16);
    QCOMPARE(w->ui->horizontalSlider_8->minimum(), 1);
    QVERIFY(ownEnabled(w->ui->radioButton_55));
    QVERIFY(w->ui->radioButton_44->text().startsWith(QLatin1String("SDI")));
}

// Pictures of the Function, Marker, Audio, Source and UMD pages in every row.
void TestTypeLayout::switchingTypesUndoesTheLastTypesLocks_data()
{
    QTest::addColumn<int>("to");
    for (int t : {1, 3, 4, 5, 128, 129, 6})
        QTest::addRow("type 2 with multiview, then %d", t) << t;
}

void TestTypeLayout::switchingTypesUndoesTheLastTypesLocks()
{
    // A type-2 monitor with multiview on, then a type-129 monitor with peaking
    // on, then a type-128 monitor in zoom: each leaves controls hidden or locked.
    QFETCH(int, to);
    w->ui->enableMV->setChecked(true);
    layout->applyTypeRules(2, recordWithInput(0));
    QVERIFY(w->ui->groupBox_12->isHidden());
    QVERIFY(!w->ui->Marker_button->isEnabled());
    w->ui->enableMV->setChecked(false);
    w->ui->radioButton_103->setChecked(true);
    layout->applyTypeRules(129, recordWithInput(0));
    QVERIFY(!w->ui->brightnessSlider->isEnabled());
    w->ui->radioButton_104->setChecked(true);
    w->ui->radioButton_66->setChecked(true);
    layout->applyTypeRules(128, recordWithInput(0));
    QVERIFY(!w->ui->widget_2->isEnabled());
    w->ui->radioButton_64->setChecked(true);

    // The next monitor is shown with its own type's controls usable.
    layout->applyTypeRules(to, recordWithInput(0));
    QVERIFY(!w->ui->groupBox_12->isHidden());
    for (QWidget *g : {w->ui->groupBox_36, w->ui->groupBox_14, w->ui->groupBox_37, w->ui->groupBox_38, w->ui->groupBox_40})
        QVERIFY2(!g->isHidden(), qPrintable(g->objectName()));
    for (QWidget *c : {static_cast<QWidget *>(w->ui->Marker_button), static_cast<QWidget *>(w->ui->groupBox_15),
                       static_cast<QWidget *>(w->ui->groupBox_26), static_cast<QWidget *>(w->ui->brightnessSlider),
                       static_cast<QWidget *>(w->ui->groupBox_4), static_cast<QWidget *>(w->ui->widget_2),
                       static_cast<QWidget *>(w->ui->groupBox_18)})
        QVERIFY2(ownEnabled(c), qPrintable(c->objectName()));
}

void TestTypeLayout::pagesForReview()
{
    struct Page {
        QWidget *widget;
        const char *name;
    };
    const Page pages[] = {{w->ui->widget_4, "function"}, {w->ui->widget_2, "marker"}, {w->ui->widget_3, "audio"},
                          {w->ui->widget_5, "source"},   {w->ui->widget_6, "umd"}};
    const QString dir = screenshotDir();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    for (int row = 0; row < TypeLayout::RowCount; ++row) {
        const int type = kTypeOfRow[row];
        layout->placeForType(type);
        layout->applyTypeRules(type, ST_BasicData());
        for (const Page &p : pages) {
            w->ui->widget->hide();
            for (const Page &q : pages)
                q.widget->setVisible(q.widget == p.widget);
            const QString file = dir + QStringLiteral("/row%1-type%2-%3.png").arg(row).arg(type).arg(p.name);
            QVERIFY(p.widget->grab().save(file));
        }
    }
    // Type 2 with multiview on: the multiview group in place of "Sources".
    layout->placeForType(2);
    w->ui->enableMV->setChecked(true);
    layout->applyTypeRules(2, ST_BasicData());
    for (const Page &p : pages) {
        for (const Page &q : pages)
            q.widget->setVisible(q.widget == p.widget);
        QVERIFY(p.widget->grab().save(dir + QStringLiteral("/row3-type2-multiview-%1.png").arg(p.name)));
    }
}

QTEST_MAIN(TestTypeLayout)
#include "tst_typelayout.moc"
