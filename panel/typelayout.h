#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QPoint>
#include <QStringList>
#include <QVector>

#include <array>

#include "basicdata.h"

class QAbstractButton;
class QAbstractSlider;
class QSpinBox;
class QTabWidget;
class QWidget;

// Places the controls of the settings pages for a device type and applies the
// enable rules that depend on the type and on other settings.
//
// The form holds the controls of the richest monitor type. Each device type maps
// to one of eight layout rows; a row gives every control of six groups (colour
// temperature, sources, UMD page, audio page, Marker page, Function page) one
// position relative to its parent. What a type lacks, what it never enables and
// the captions it gives some values come from the table of what each type offers
// (state/typerules.h), which telvanor-ctl, the service and the page share. A
// control a type lacks is moved out of sight, never deleted or hidden, so that
// hiding stays free for the enable rules.
//
// Every control is looked up by object name once, at construction; names that
// cannot be found (or whose widget has the wrong class) are listed by
// missingNames() and skipped by every operation.
class TypeLayout
{
public:
    static constexpr QPoint OutOfSight{-2000, -2000};
    static constexpr int RowCount = 8;

    // root: the main window, built and with its pages in place.
    explicit TypeLayout(QWidget *root);

    // The layout row of a device type.
    static int rowForType(int type);

    // Moves every control of the six groups to its position in the type's row,
    // then out of sight what the type lacks. Positions are absolute: the result
    // does not depend on earlier calls.
    void placeForType(int type);

    // The enable rules for a type. Reads the current choices of "Sources",
    // "Aspect Marker", "Scan", "Peaking" and "Enable MV" from their widgets and
    // the input source from record byte 7 of the working copy. Captions set for
    // types 5 and 128 stay until something sets them again.
    void applyTypeRules(int type, const ST_BasicData &working);

    // After the input source changed: the channel limits of the HDMI input, then
    // applyTypeRules().
    void applySourceLimits(int type, const ST_BasicData &working);

    // Object names that could not be resolved; empty on the real window.
    QStringList missingNames() const;

    // Every control of the six groups that was found, in placing order.
    QList<QWidget *> controls() const;

private:
    void applyRules(int type, const ST_BasicData &working);
    // One group resolved: its controls and, per row, their positions.
    struct Placement {
        QVector<QWidget *> controls;                // nullptr where a name is missing
        std::array<QVector<QPoint>, RowCount> rows; // same order as controls
    };

    template <class T>
    T *resolve(QWidget *root, const char *name);
    template <class T, std::size_t N>
    void resolveAll(QWidget *root, std::array<T *, N> &out, const char *const (&names)[N]);

    void rulesForType128();
    void rulesForType129();
    void multiviewRules(int type);
    void setThicknessMaximum(int maximum);
    // The option button of a value, or the option group box of a field (value -1);
    // nullptr where there is none.
    QWidget *controlOf(Field f, int value) const;

    QStringList missing_;
    bool hdmiLimited_ = false; // the last source chosen was HDMI: channel pairs 5-8 stay off
    std::array<Placement, 6> placements_;

    // What goes out of sight when the type lacks the whole field: the option group
    // boxes, the groups of the sliders and the UMD tabs.
    struct FieldControl {
        QWidget *control;
        Field field;
    };
    QVector<FieldControl> fieldControls_;
    QHash<int, QWidget *> choiceControls_; // controlOf(), by field and value
    // The option buttons and boxes that no layout table places, with their places
    // on the form, to come back from out of sight.
    QVector<QPair<QWidget *, QPoint>> formPlaces_;

    // Controls the rules change or read.
    QAbstractButton *falseColorDef_ = nullptr; // radioButton_107
    QAbstractButton *firstSource_ = nullptr; // radioButton_44
    QAbstractButton *hdmiSource_ = nullptr; // radioButton_49
    QAbstractButton *videoSource_ = nullptr; // radioButton_153
    QAbstractButton *gridMarker_ = nullptr; // radioButton_124
    QAbstractButton *pixToPix_ = nullptr;   // radioButton_65
    QAbstractButton *zoom_ = nullptr;       // radioButton_66
    QAbstractButton *peakingOn_ = nullptr;  // radioButton_103
    QAbstractButton *enableMv_ = nullptr;   // enableMV
    QAbstractSlider *thicknessSlider_ = nullptr; // horizontalSlider
    QSpinBox *thicknessSpin_ = nullptr;     // spinBox_7
    QWidget *sourcesBox_ = nullptr;         // groupBox_12
    QWidget *multiVideo_ = nullptr;
    QWidget *mvLabel_ = nullptr;            // label_7
    QTabWidget *umdTabs_ = nullptr;         // tabWidget
    std::array<QAbstractButton *, 7> audioChannels_{}; // "Audio Ch" CH3 CH4 ... CH15 CH16
    std::array<QAbstractButton *, 4> upperVectorChannels_{}; // "Vector Ch" CH9 CH10 ... CH15 CH16
    std::array<QAbstractSlider *, 2> audioOutSliders_{};     // Audio Right Out, Audio Left Out
    std::array<QWidget *, 9> type128Enabled_{};  // re-enabled by every run for type 128
    std::array<QWidget *, 12> peakingLocked_{};  // picture levels locked while peaking is on
    std::array<QWidget *, 5> mvAudioGroups_{};   // audio groups hidden while multiview is on
    std::array<QWidget *, 10> mvLocked_{};       // controls disabled while multiview is on
};
