#include "typelayout.h"

#include <QHash>
#include <QVector>

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QGroupBox>
#include <QSpinBox>
#include <QTabWidget>
#include <QWidget>


#include "basicdata.h"
#include "controltable.h"
#include "typerules.h"

namespace {

// ---------------------------------------------------------------- layout tables
//
// Each group is one table: its controls in entry order with their positions in
// row 1 (the row of every type without a row of its own); a control that row 1
// lacks stands where the rows that have it put it. The other rows are given as
// changes against row 1: "those move there". A row may combine several change
// lists; they are applied in order, so a later change of the same control wins.
//
// Which controls a type lacks is not told here: the state table of what each
// type offers (state/typerules.h) decides it, and after placing, the option
// buttons, option groups and slider groups it says a type lacks go out of sight.
// The tables hide only what the window leaves out by its own choice, where two
// controls serve one field: the thickness as choices (the slider serves it) and
// the audio output as a channel pair or as two levels.
//
// A group box that goes out of sight takes its buttons with it; the buttons keep
// their in-box positions and are listed in row 1 all the same.

struct Pos {
    int x;
    int y;
};

constexpr Pos Hidden{-2000, -2000};
static_assert(Hidden.x == TypeLayout::OutOfSight.x() && Hidden.y == TypeLayout::OutOfSight.y(),
              "one out-of-sight position");

struct Entry {
    const char *name;
    Pos pos;
};

// A view on a constant array of entries.
struct Span {
    const Entry *first = nullptr;
    int count = 0;
    constexpr Span() = default;
    template <std::size_t N>
    constexpr Span(const Entry (&entries)[N]) : first(entries), count(static_cast<int>(N)) {}
};

// The change lists of one row, applied in order; unused slots stay empty.
struct RowChanges {
    Span lists[2];
};

struct Table {
    Span controls; // entry order, row-1 positions
    RowChanges rows[TypeLayout::RowCount];
};

// --- Colour temperature ("Color Temp:" on the Picture page)

constexpr Entry kColourTemp[] = {
    {"radioButton_3", {10, 30}},  {"radioButton_4", {110, 30}}, {"radioButton_5", {210, 30}},
    {"radioButton_6", {310, 30}}, {"radioButton_7", {410, 30}}, {"radioButton_8", {510, 30}},
};

// Without 3200k and 5500k the other presets close up to the left.
constexpr Entry kColourTempNoWarm[] = {
    {"radioButton_5", {10, 30}},  {"radioButton_6", {110, 30}},
    {"radioButton_7", {210, 30}}, {"radioButton_8", {310, 30}},
};

constexpr Table kColourTempTable{kColourTemp,
                                 {
                                     {},                    // row 0
                                     {},                    // row 1
                                     {},                    // row 2
                                     {},                    // row 3
                                     {{kColourTempNoWarm}}, // row 4
                                     {},                    // row 5
                                     {{kColourTempNoWarm}}, // row 6
                                     {{kColourTempNoWarm}}, // row 7
                                 }};

// --- Sources ("Sources" on the Source page)

constexpr Entry kSources[] = {
    {"radioButton_44", {60, 30}},   // SDI1
    {"radioButton_45", {210, 30}},  // SDI2
    {"radioButton_46", {370, 30}},  // SDI3
    {"radioButton_47", {510, 30}},  // SDI4
    {"radioButton_48", {60, 70}},   // SFP
    {"radioButton_130", {60, 130}}, // 2SI
    {"radioButton_131", {210, 130}}, // SQUARE
    {"radioButton_49", {60, 190}},  // HDMI
    {"radioButton_153", {60, 130}}, // VIDEO, in the place of 2SI
};

// With one SDI input and SFP, SFP takes the place of 2SI.
constexpr Entry kSourcesSfpUp[] = {
    {"radioButton_48", {60, 130}},
};

constexpr Entry kSourcesHdmiUp[] = {
    {"radioButton_49", {60, 130}},
};

constexpr Table kSourcesTable{kSources,
                              {
                                  {{kSourcesSfpUp}},  // row 0
                                  {},                 // row 1
                                  {{kSourcesSfpUp}},  // row 2
                                  {},                 // row 3
                                  {},                 // row 4
                                  {},                 // row 5
                                  {{kSourcesHdmiUp}}, // row 6
                                  {},                 // row 7
                              }};

// --- UMD page

constexpr Entry kUmdPage[] = {
    {"groupBox_30", {20, 20}}, // Tally
    {"tabWidget", {20, 90}},   // UMD texts, on/off and colours
};

constexpr Table kUmdPageTable{kUmdPage, {}};

// --- Audio page

constexpr Entry kAudioPage[] = {
    {"groupBox_11", {20, 20}},  // Volume
    {"groupBox_13", {20, 100}}, // Level Meter
    {"groupBox_36", {20, 170}}, // Audio Vector
    {"groupBox_14", {20, 240}}, // Vector Ch
    {"groupBox_38", {20, 350}}, // Audio Left Out
    {"groupBox_37", {20, 420}}, // Audio Right Out
    {"groupBox_40", Hidden},    // Audio Ch: the slider of "Audio Left Out" serves its field
};

// Types without the right output level take the left output as a channel pair
// instead of as a level, under the last group they keep.
constexpr Entry kAudioPairUnderLevelMeter[] = {
    {"groupBox_38", Hidden},
    {"groupBox_40", {20, 180}},
};
constexpr Entry kAudioPairUnderAudioVector[] = {
    {"groupBox_38", Hidden},
    {"groupBox_40", {20, 240}},
};
constexpr Entry kAudioPairUnderVectorCh[] = {
    {"groupBox_38", Hidden},
    {"groupBox_40", {20, 350}},
};

constexpr Table kAudioPageTable{kAudioPage,
                                {
                                    {},                             // row 0
                                    {},                             // row 1
                                    {},                             // row 2
                                    {},                             // row 3
                                    {{kAudioPairUnderLevelMeter}},  // row 4
                                    {{kAudioPairUnderVectorCh}},    // row 5
                                    {{kAudioPairUnderLevelMeter}},  // row 6
                                    {{kAudioPairUnderAudioVector}}, // row 7
                                }};

// --- Marker page
//
// The thickness choices "1" to "7" (groupBox_10) are out of sight in every row;
// the thickness slider (groupBox_43) is used instead.

constexpr Entry kMarkerPage[] = {
    {"groupBox_5", {30, 20}}, // Center Marker
    {"groupBox_6", {30, 90}}, // Marker Color
    {"radioButton_11", {20, 20}},
    {"radioButton_12", {150, 20}},
    {"radioButton_13", {270, 20}},
    {"radioButton_14", {390, 20}},
    {"radioButton_15", {510, 20}},
    {"groupBox_7", {30, 160}}, // Aspect Marker
    {"radioButton_16", {20, 40}},
    {"radioButton_17", {120, 40}},
    {"radioButton_18", {220, 40}},
    {"radioButton_19", {370, 40}},
    {"radioButton_20", {490, 40}},
    {"radioButton_21", {20, 84}},
    {"radioButton_120", {120, 84}},
    {"radioButton_123", {220, 84}},
    {"radioButton_124", {370, 84}},
    {"radioButton_129", {490, 84}},
    {"groupBox_8", {30, 290}}, // Safety Marker
    {"radioButton_22", {20, 20}},
    {"radioButton_23", {120, 20}},
    {"radioButton_24", {210, 20}},
    {"radioButton_25", {290, 20}},
    {"radioButton_26", {380, 20}},
    {"radioButton_27", {470, 20}},
    {"radioButton_28", {550, 20}},
    {"groupBox_9", {30, 360}}, // Aspect Mat
    {"radioButton_29", {20, 20}},
    {"radioButton_30", {100, 20}},
    {"radioButton_31", {170, 20}},
    {"radioButton_32", {240, 20}},
    {"radioButton_33", {310, 20}},
    {"radioButton_34", {390, 20}},
    {"radioButton_35", {470, 20}},
    {"radioButton_36", {550, 20}},
    {"groupBox_10", Hidden}, // Thickness, as choices
    {"radioButton_37", {20, 20}},
    {"radioButton_38", {100, 20}},
    {"radioButton_39", {170, 20}},
    {"radioButton_40", {240, 20}},
    {"radioButton_41", {310, 20}},
    {"radioButton_42", {390, 20}},
    {"radioButton_43", {470, 20}},
    {"groupBox_43", {30, 430}}, // Thickness, as slider
};

// Without the aspect markers "2.0X" and "2.0X MAG", "Grid" closes up.
constexpr Entry kMarkerGridMoved[] = {
    {"radioButton_124", {120, 84}},
};

constexpr Table kMarkerPageTable{kMarkerPage,
                                 {
                                     {},                   // row 0
                                     {},                   // row 1
                                     {},                   // row 2
                                     {},                   // row 3
                                     {{kMarkerGridMoved}}, // row 4
                                     {},                   // row 5
                                     {{kMarkerGridMoved}}, // row 6
                                     {},                   // row 7
                                 }};

// --- Function page

constexpr Entry kFunctionPage[] = {
    {"groupBox_17", {10, 10}}, // Scan
    {"radioButton_64", {10, 20}},
    {"radioButton_65", {100, 20}},
    {"radioButton_66", {220, 20}},
    {"groupBox_16", {320, 10}}, // Overscan
    {"radioButton_63", {10, 20}},
    {"radioButton_62", {100, 20}},
    {"groupBox_15", {490, 10}}, // Freeze
    {"radioButton_61", {10, 20}},
    {"radioButton_60", {100, 20}},
    {"groupBox_18", {10, 70}}, // Aspect
    {"radioButton_67", {30, 20}},
    {"radioButton_68", {140, 20}},
    {"radioButton_69", {240, 20}},
    {"radioButton_70", {340, 20}},
    {"radioButton_71", {440, 20}},
    {"radioButton_72", {540, 20}},
    {"radioButton_127", {30, 50}},
    {"radioButton_128", {140, 50}},
    {"radioButton_154", {240, 50}}, // "1.3X" and "1.5X" (so captioned on type 5)
    {"radioButton_155", {340, 50}}, // beside "2.0X" and "2.0X MAG"
    {"groupBox_24", {10, 160}}, // H/V Delay
    {"radioButton_90", {20, 20}},
    {"radioButton_91", {110, 20}},
    {"radioButton_92", {170, 20}},
    {"radioButton_93", {230, 20}},
    {"groupBox_21", {330, 160}}, // Image Flip
    {"radioButton_78", {20, 20}},
    {"radioButton_79", {100, 20}},
    {"radioButton_80", {160, 20}},
    {"radioButton_81", {220, 20}},
    {"groupBox_22", {10, 220}}, // Check Field
    {"radioButton_82", {50, 20}},
    {"radioButton_83", {160, 20}},
    {"radioButton_84", {260, 20}},
    {"radioButton_85", {380, 20}},
    {"radioButton_86", {490, 20}},
    {"groupBox_23", {10, 280}}, // Timecode
    {"radioButton_87", {10, 20}},
    {"radioButton_88", {110, 20}},
    {"radioButton_89", {200, 20}},
    {"groupBox_20", {330, 280}}, // ColorBar
    {"radioButton_75", {10, 20}},
    {"radioButton_77", {110, 20}},
    {"radioButton_76", {200, 20}},
    {"groupBox_19", {10, 360}}, // Vector
    {"radioButton_74", {10, 20}},
    {"radioButton_73", {120, 20}},
    {"groupBox_27", {220, 360}}, // Peaking
    {"radioButton_104", {10, 20}},
    {"radioButton_103", {110, 20}},
    {"groupBox_29", {440, 360}}, // Exposure
    {"radioButton_106", {10, 20}},
    {"radioButton_108", {110, 20}},
    {"groupBox_25", {10, 420}}, // Wave
    {"radioButton_94", {10, 20}},
    {"radioButton_95", {130, 20}},
    {"radioButton_96", {250, 20}},
    {"radioButton_97", {370, 20}},
    {"radioButton_98", {500, 20}},
    {"groupBox_26", {10, 480}}, // Histogram
    {"radioButton_99", {10, 20}},
    {"radioButton_100", {80, 20}},
    {"radioButton_101", {120, 20}},
    {"radioButton_102", {180, 20}},
    {"groupBox_28", {280, 480}}, // False Color
    {"radioButton_105", {10, 20}},
    {"radioButton_107", {80, 20}},
    {"radioButton_132", {140, 20}},
    {"radioButton_133", {240, 20}},
    {"radioButton_134", {310, 20}},
    {"groupBox_41", {10, 540}}, // Full Mode
    {"radioButton_143", {10, 20}},
    {"radioButton_144", {210, 20}},
    {"radioButton_145", {380, 20}},
    {"radioButton_146", {520, 20}},
    {"radioButton_147", {10, 60}},
    {"radioButton_148", {210, 60}},
    {"radioButton_149", {380, 60}},
    {"groupBox_44", {10, 80}}, // Display Scan, under "Scan"
    {"radioButton_150", {10, 20}},
    {"radioButton_151", {210, 20}},
    {"radioButton_152", {380, 20}},
    // The table was laid out for 100 entries per row; entries 83-99 were never
    // given a control and are left out.
};

// Row 4: what type 128 keeps, packed from the top.
constexpr Entry kFunctionRow4Moves[] = {
    {"groupBox_15", {490, 230}}, {"groupBox_18", {10, 430}}, {"groupBox_22", {10, 360}}, {"groupBox_27", {10, 230}},
    {"groupBox_29", {230, 230}}, {"groupBox_26", {10, 160}}, {"groupBox_28", {10, 290}},
};

// Row 6: the aspects close up over "16:9"; the groups packed from the top.
constexpr Entry kFunctionRow6Moves[] = {
    {"groupBox_15", {10, 290}},     {"groupBox_18", {10, 430}},    {"radioButton_69", {140, 20}},
    {"radioButton_70", {240, 20}},  {"radioButton_71", {340, 20}}, {"radioButton_72", {440, 20}},
    {"groupBox_21", {10, 160}},     {"groupBox_22", {10, 360}},    {"groupBox_27", {10, 230}},
};

constexpr Table kFunctionPageTable{kFunctionPage,
                                   {
                                       {},                       // row 0
                                       {},                       // row 1
                                       {},                       // row 2
                                       {},                       // row 3
                                       {{kFunctionRow4Moves}},   // row 4
                                       {},                       // row 5
                                       {{kFunctionRow6Moves}},   // row 6
                                       {},                       // row 7
                                   }};

// In placing order.
constexpr const Table *kTables[] = {&kColourTempTable, &kSourcesTable,    &kUmdPageTable,
                                    &kAudioPageTable,  &kMarkerPageTable, &kFunctionPageTable};

// --- checks of the tables, at compile time

constexpr bool sameName(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr int entryOf(Span table, const char *name)
{
    for (int i = 0; i < table.count; ++i)
        if (sameName(table.first[i].name, name))
            return i;
    return -1;
}

constexpr bool namesUnique(Span table)
{
    for (int i = 0; i < table.count; ++i)
        if (entryOf(table, table.first[i].name) != i)
            return false;
    return true;
}

// Every change names a control of its own table.
constexpr bool changesResolve(const Table &t)
{
    for (const RowChanges &row : t.rows)
        for (const Span &list : row.lists)
            for (int i = 0; i < list.count; ++i)
                if (entryOf(t.controls, list.first[i].name) < 0)
                    return false;
    return true;
}

constexpr bool tablesConsistent()
{
    for (const Table *t : kTables)
        if (!namesUnique(t->controls) || !changesResolve(*t))
            return false;
    return true;
}

static_assert(kColourTempTable.controls.count == 6, "colour temperature: 6 entries");
static_assert(kSourcesTable.controls.count == 9, "sources: 9 entries");
static_assert(kUmdPageTable.controls.count == 2, "UMD page: 2 entries");
static_assert(kAudioPageTable.controls.count == 7, "audio page: 7 entries");
static_assert(kMarkerPageTable.controls.count == 44, "Marker page: 44 entries");
static_assert(kFunctionPageTable.controls.count == 83, "Function page: 83 used entries");
static_assert(tablesConsistent(), "a layout table repeats a control or changes one it does not hold");

// ---------------------------------------------------------------- controls of the rules

// While the rules run, changes are collected and applied once at the end: a
// rule that resets a control and a later rule that sets it again must not make
// the control flicker (and repaint) at every once-a-second refresh.
struct Staged {
    QHash<QWidget *, bool> enabled;
    QHash<QWidget *, bool> hidden;
    QHash<QAbstractButton *, QString> text;
    QVector<QWidget *> order; // first touch, so the result does not depend on hashing

    void touch(QWidget *w)
    {
        if (!order.contains(w))
            order.append(w);
    }
    void commit()
    {
        for (QWidget *w : qAsConst(order)) {
            if (enabled.contains(w) && w->testAttribute(Qt::WA_ForceDisabled) == enabled.value(w))
                w->setEnabled(enabled.value(w));
            if (hidden.contains(w) && w->isHidden() != hidden.value(w))
                w->setHidden(hidden.value(w));
            if (auto b = qobject_cast<QAbstractButton *>(w); b && text.contains(b))
                b->setText(text.value(b));
        }
    }
};
Staged *staged = nullptr;

// Applies a change at once, or stages it while the rules run.
template <class W, class V>
void change(W *w, QHash<W *, V> Staged::*slot, const V &value, void (*apply)(W *, const V &))
{
    if (!w)
        return;
    if (!staged) {
        apply(w, value);
        return;
    }
    staged->touch(w);
    (staged->*slot)[w] = value;
}

void setEnabled(QWidget *w, bool enabled)
{
    change<QWidget, bool>(w, &Staged::enabled, enabled, [](QWidget *x, const bool &v) { x->setEnabled(v); });
}

template <class Container>
void setAllEnabled(const Container &widgets, bool enabled)
{
    for (auto *w : widgets)
        setEnabled(w, enabled);
}

void setHidden(QWidget *w, bool hidden)
{
    change<QWidget, bool>(w, &Staged::hidden, hidden, [](QWidget *x, const bool &v) { x->setHidden(v); });
}

template <class Container>
void setAllHidden(const Container &widgets, bool hidden)
{
    for (QWidget *w : widgets)
        setHidden(w, hidden);
}

void setText(QAbstractButton *b, const char *text)
{
    change<QAbstractButton, QString>(b, &Staged::text, QString::fromLatin1(text),
                                     [](QAbstractButton *x, const QString &v) { x->setText(v); });
}

bool isChecked(const QAbstractButton *b)
{
    return b && b->isChecked();
}

constexpr int InputHdmi = 7; // record byte 7 with the HDMI input chosen

int choiceKey(Field f, int value)
{
    return static_cast<int>(f) << 8 | (value & 0xFF);
}

bool onTypeRow(TypeRules::Rows rows, int type)
{
    return rows & (1u << TypeRules::rowOf(type));
}

// Calls apply with each value a limit lists, or with -1 when it takes the whole field.
template <class F>
void forLimit(const TypeRules::Limit &l, F &&apply)
{
    if (l.values == 0)
        apply(-1);
    else
        for (int value = 0; value < 16; ++value)
            if (l.values & (1u << value))
                apply(value);
}

} // namespace

TypeLayout::TypeLayout(QWidget *root)
{
    for (std::size_t k = 0; k < placements_.size(); ++k) {
        const Table &t = *kTables[k];
        Placement &p = placements_[k];
        p.controls.reserve(t.controls.count);
        QVector<QPoint> rowOne;
        rowOne.reserve(t.controls.count);
        for (int i = 0; i < t.controls.count; ++i) {
            p.controls.append(resolve<QWidget>(root, t.controls.first[i].name));
            rowOne.append(QPoint(t.controls.first[i].pos.x, t.controls.first[i].pos.y));
        }
        for (int r = 0; r < RowCount; ++r) {
            QVector<QPoint> row = rowOne;
            for (const Span &list : t.rows[r].lists)
                for (int i = 0; i < list.count; ++i)
                    row[entryOf(t.controls, list.first[i].name)] = QPoint(list.first[i].pos.x, list.first[i].pos.y);
            p.rows[static_cast<std::size_t>(r)] = row;
        }
    }

    for (const ChoiceGroup &g : kChoiceGroups) {
        QWidget *box = nullptr;
        for (const Choice &c : g.choices)
            if (QAbstractButton *b = resolve<QAbstractButton>(root, c.object)) {
                choiceControls_.insert(choiceKey(g.field, c.value), b);
                box = b->parentWidget();
            }
        if (box) {
            choiceControls_.insert(choiceKey(g.field, -1), box);
            fieldControls_.append({box, g.field});
        }
    }
    for (const SliderRow &row : kSliderRows)
        if (QAbstractSlider *s = resolve<QAbstractSlider>(root, row.object))
            if (auto *box = qobject_cast<QGroupBox *>(s->parentWidget()))
                fieldControls_.append({box, row.field});

    falseColorDef_ = resolve<QAbstractButton>(root, "radioButton_107");
    firstSource_ = resolve<QAbstractButton>(root, "radioButton_44");
    hdmiSource_ = resolve<QAbstractButton>(root, "radioButton_49");
    videoSource_ = resolve<QAbstractButton>(root, "radioButton_153");
    gridMarker_ = resolve<QAbstractButton>(root, "radioButton_124");
    pixToPix_ = resolve<QAbstractButton>(root, "radioButton_65");
    zoom_ = resolve<QAbstractButton>(root, "radioButton_66");
    peakingOn_ = resolve<QAbstractButton>(root, "radioButton_103");
    enableMv_ = resolve<QAbstractButton>(root, "enableMV");
    thicknessSlider_ = resolve<QAbstractSlider>(root, "horizontalSlider");
    thicknessSpin_ = resolve<QSpinBox>(root, "spinBox_7");
    sourcesBox_ = resolve<QWidget>(root, "groupBox_12");
    multiVideo_ = resolve<QWidget>(root, "multiVideo");
    mvLabel_ = resolve<QWidget>(root, "label_7");
    umdTabs_ = resolve<QTabWidget>(root, "tabWidget");
    // The tabs hold UMD 1 (and, on type 2, UMDs 2-4 with multiview).
    if (umdTabs_)
        fieldControls_.append({umdTabs_, Field::umd1On});

    const QList<QWidget *> placed = controls();
    for (QWidget *c : qAsConst(choiceControls_))
        if (!placed.contains(c))
            formPlaces_.append({c, c->pos()});
    resolveAll(root, audioChannels_,
               {"radioButton_136", "radioButton_137", "radioButton_138", "radioButton_139", "radioButton_140",
                "radioButton_141", "radioButton_142"});
    resolveAll(root, upperVectorChannels_, {"radioButton_56", "radioButton_57", "radioButton_58", "radioButton_59"});
    resolveAll(root, audioOutSliders_, {"horizontalSlider_8", "horizontalSlider_9"});
    resolveAll(root, type128Enabled_,
               {"groupBox_5", "groupBox_8", "groupBox_9", "groupBox_40", "groupBox_17", "groupBox_18", "groupBox_13",
                "groupBox_44", "widget_2"});
    resolveAll(root, peakingLocked_,
               {"brightnessSlider", "contrastSlider", "saturationSlider", "tintSlider", "sharpnessSlider", "spinBox",
                "spinBox_2", "spinBox_3", "spinBox_4", "spinBox_5", "spinBox_6", "groupBox_4"});
    resolveAll(root, mvAudioGroups_, {"groupBox_36", "groupBox_14", "groupBox_37", "groupBox_38", "groupBox_40"});
    resolveAll(root, mvLocked_,
               {"Marker_button", "groupBox_15", "groupBox_16", "groupBox_17", "groupBox_18", "groupBox_20",
                "groupBox_24", "groupBox_19", "groupBox_25", "groupBox_26"});
    missing_.removeDuplicates();
}

template <class T>
T *TypeLayout::resolve(QWidget *root, const char *name)
{
    const QString objectName = QString::fromLatin1(name);
    T *w = root ? qobject_cast<T *>(root->findChild<QWidget *>(objectName)) : nullptr;
    if (!w)
        missing_.append(objectName);
    return w;
}

template <class T, std::size_t N>
void TypeLayout::resolveAll(QWidget *root, std::array<T *, N> &out, const char *const (&names)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        out[i] = resolve<T>(root, names[i]);
}

int TypeLayout::rowForType(int type)
{
    return TypeRules::rowOf(type);
}

QWidget *TypeLayout::controlOf(Field f, int value) const
{
    return choiceControls_.value(choiceKey(f, value));
}

void TypeLayout::placeForType(int type)
{
    for (const auto &home : qAsConst(formPlaces_))
        if (home.first->pos() == OutOfSight)
            home.first->move(home.second);
    const auto row = static_cast<std::size_t>(rowForType(type));
    for (const Placement &p : placements_) {
        const QVector<QPoint> &positions = p.rows[row];
        for (int i = 0; i < p.controls.size(); ++i)
            if (QWidget *w = p.controls.at(i))
                w->move(positions.at(i));
    }
    // What the type lacks: the buttons of the values the state table lists, and
    // the group boxes of the fields it lacks as a whole, which take their buttons
    // with them.
    for (const TypeRules::Limit &l : TypeRules::lacking())
        if (l.values != 0 && onTypeRow(l.rows, type))
            forLimit(l, [&](int value) {
                if (QWidget *b = controlOf(l.field, value))
                    b->move(OutOfSight);
            });
    for (const FieldControl &c : qAsConst(fieldControls_))
        if (!TypeRules::hasField(type, c.field))
            c.control->move(OutOfSight);
}

void TypeLayout::setThicknessMaximum(int maximum)
{
    if (thicknessSlider_)
        thicknessSlider_->setMaximum(maximum);
    if (thicknessSpin_)
        thicknessSpin_->setMaximum(maximum);
}

void TypeLayout::applyTypeRules(int type, const ST_BasicData &working)
{
    Staged changes;
    staged = &changes;
    applyRules(type, working);
    staged = nullptr;
    changes.commit();
}

void TypeLayout::applyRules(int type, const ST_BasicData &working)
{
    // 1. What the type rules below may change, back to the common state. The
    //    captions of types 5 and 128 are not among it: they stay until set again.
    for (const TypeRules::Limit &l : TypeRules::disabled())
        forLimit(l, [&](int value) { setEnabled(controlOf(l.field, value), true); });
    // What the rules of another type left behind when the panel switches
    // devices: multiview's hidden and locked controls, the type-128 and
    // type-129 locks, and type 5's channel pairs (within the HDMI limit).
    setAllEnabled(type128Enabled_, true);
    setAllEnabled(peakingLocked_, true);
    setHidden(sourcesBox_, false);
    setAllHidden(mvAudioGroups_, false);
    setAllEnabled(mvLocked_, true);
    // Type 5's own rule below leaves the upper pairs as they were on HDMI.
    if (type != 5)
        for (std::size_t i = 0; i < audioChannels_.size(); ++i)
            setEnabled(audioChannels_[i], i < 3 || !hdmiLimited_);
    setText(falseColorDef_, "Def");
    setText(firstSource_, "SDI1");
    // 2. What a type shows but never enables.
    for (const TypeRules::Limit &l : TypeRules::disabled())
        if (onTypeRow(l.rows, type))
            forLimit(l, [&](int value) { setEnabled(controlOf(l.field, value), false); });

    // 3. Types whose controls depend on other settings.
    if (type == 128)
        rulesForType128();
    if (type == 129)
        rulesForType129();

    // 4. The type's own captions: "SDI" for the one SDI input of most types, the
    //    anamorphic factors of type 5, "On" for type 128's false colour and histogram.
    for (const TypeRules::TypeCaption &c : TypeRules::captions())
        if (onTypeRow(c.rows, type))
            setText(qobject_cast<QAbstractButton *>(controlOf(c.field, c.value)), c.caption);

    // 5. Thicknesses up to the highest the type offers.
    int thickest = (1 << fieldInfo(Field::markerThickness).width) - 1;
    while (thickest > 0 && !TypeRules::offers(type, Field::markerThickness, thickest))
        --thickest;
    setThicknessMaximum(thickest);

    // 6. Type 5: on HDMI only channel pairs up to CH7 CH8.
    if (type == 5) {
        if (working.byte(7) == InputHdmi)
            setAllEnabled(std::array<QAbstractButton *, 3>{audioChannels_[0], audioChannels_[1], audioChannels_[2]}, true);
        else
            setAllEnabled(audioChannels_, false);
    }

    // 7. Multiview.
    multiviewRules(type);
}

void TypeLayout::rulesForType128()
{
    setAllEnabled(type128Enabled_, true);
    QWidget *const centerMarker = type128Enabled_[0];
    QWidget *const safetyMarker = type128Enabled_[1];
    QWidget *const aspectMat = type128Enabled_[2];
    QWidget *const audioCh = type128Enabled_[3];
    QWidget *const scan = type128Enabled_[4];
    QWidget *const aspect = type128Enabled_[5];
    QWidget *const levelMeter = type128Enabled_[6];
    QWidget *const displayScan = type128Enabled_[7];
    QWidget *const markerPage = type128Enabled_[8];

    // No channel pair on HDMI; on VIDEO neither scan, level meter nor display scan.
    if (isChecked(hdmiSource_))
        setEnabled(audioCh, false);
    else if (isChecked(videoSource_))
        setAllEnabled(std::array<QWidget *, 4>{audioCh, scan, levelMeter, displayScan}, false);

    // The grid excludes the other markers.
    if (isChecked(gridMarker_))
        setAllEnabled(std::array<QWidget *, 3>{centerMarker, safetyMarker, aspectMat}, false);

    // Pixel-to-pixel and zoom have no markers, display scan or aspect.
    if (isChecked(pixToPix_) || isChecked(zoom_))
        setAllEnabled(std::array<QWidget *, 3>{markerPage, displayScan, aspect}, false);
}

void TypeLayout::rulesForType129()
{
    // Peaking takes over the picture levels and the colour temperature.
    setAllEnabled(peakingLocked_, !isChecked(peakingOn_));
}

void TypeLayout::multiviewRules(int type)
{
    const auto setUpperTabsEnabled = [this](bool enabled) {
        if (umdTabs_)
            for (int tab = 1; tab <= 3; ++tab)
                if (umdTabs_->isTabEnabled(tab) != enabled)
                    umdTabs_->setTabEnabled(tab, enabled);
    };

    if (type != 2) {
        if (sourcesBox_)
            sourcesBox_->move(5, 10);
        setAllHidden(std::array<QWidget *, 3>{multiVideo_, mvLabel_, enableMv_}, true);
        setUpperTabsEnabled(false);
        return;
    }

    setAllHidden(std::array<QWidget *, 2>{mvLabel_, enableMv_}, false);
    const bool multiview = isChecked(enableMv_);
    // The multiview group takes the place of "Sources".
    QWidget *const shown = multiview ? multiVideo_ : sourcesBox_;
    QWidget *const hidden = multiview ? sourcesBox_ : multiVideo_;
    setHidden(hidden, true);
    setHidden(shown, false);
    if (shown)
        shown->move(5, 60);
    setUpperTabsEnabled(multiview);
    setAllHidden(mvAudioGroups_, multiview);
    setAllEnabled(mvLocked_, !multiview);
}

void TypeLayout::applySourceLimits(int type, const ST_BasicData &working)
{
    // Over HDMI only eight audio channels arrive.
    const bool hdmi = working.byte(7) == InputHdmi;
    hdmiLimited_ = hdmi;
    setAllEnabled(upperVectorChannels_, !hdmi);
    setAllEnabled(std::array<QAbstractButton *, 4>{audioChannels_[3], audioChannels_[4], audioChannels_[5],
                                                audioChannels_[6]},
               !hdmi);
    for (QAbstractSlider *s : audioOutSliders_)
        if (s)
            s->setMaximum(hdmi ? 8 : 16);
    applyTypeRules(type, working);
}

QStringList TypeLayout::missingNames() const
{
    return missing_;
}

QList<QWidget *> TypeLayout::controls() const
{
    QList<QWidget *> all;
    for (const Placement &p : placements_)
        for (QWidget *w : p.controls)
            if (w)
                all.append(w);
    return all;
}
