#pragma once

#include <array>
#include <initializer_list>

#include "basicdata.h"

// The option groups of the settings pages: one row per group box of radio
// buttons, each button standing for one value of one field of the record.
// The same rows drive sending (a released button writes its value and sends the
// field's packet group) and the refresh (the button whose value the received
// field holds is checked; a value with no button checks nothing).

enum class Page : std::uint8_t { Picture, Marker, Function, Source, Audio, Umd };

// What a button does after sending.
enum class FollowUp : std::uint8_t { None, TypeRules, SourceLimits, Refresh };

// When the refresh shows the field at all.
enum class ShowWhen : std::uint8_t {
    Always,        // values without a button of their own check nothing
    LowNibbleTo7,  // bits 0-3 of the byte hold 0-7 (the input source)
};

struct Choice {
    int value;
    const char *object;
    bool noFollowUp = false; // this button skips the group's follow-up
};

struct ChoiceGroup {
    Page page;
    const char *title;
    Field field;
    bool onClick;       // sent when a full click ends, not on release
    FollowUp followUp;
    ShowWhen when;
    std::initializer_list<Choice> choices;
};

extern const std::array<ChoiceGroup, 30> kChoiceGroups;

// The value the refresh shows for a group, or -1 when it shows nothing.
int shownValue(const ChoiceGroup &g, const ST_BasicData &record);

// Sliders that follow a record field; the audio outputs show channel = field + 1.
struct SliderRow {
    Page page;
    const char *object;
    Field field;
    int offset;
};

extern const std::array<SliderRow, 10> kSliderRows;
