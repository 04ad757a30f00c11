#pragma once

#include <QString>

#include <cstdint>

#include "basicdata.h"

// What each monitor type offers: the settings and values it has, the values it
// shows but never lets an operator choose, the settings that other settings turn
// off, and the captions a type gives some values. One table for the window (which
// places and enables its controls by it), telvanor-ctl, the service (which refuses
// what a type lacks) and the page (which leaves out or disables the same).
//
// Types share layout rows: 1 -> 0, 2 -> 3, 3 -> 2, 4 -> 5, 5 -> 7, 128 -> 4,
// 129 -> 6, any other type (0 before a monitor has answered) -> 1.
namespace TypeRules {

constexpr int RowCount = 8;
int rowOf(int type);

using Rows = std::uint8_t;    // bit r: layout row r
using Values = std::uint16_t; // bit v: value v of a field (the limited fields hold 0-15); 0: every value

template <class... R>
constexpr Rows rows(R... r) { return static_cast<Rows>(((1u << r) | ...)); }
template <class... V>
constexpr Values values(V... v) { return static_cast<Values>(((1u << v) | ...)); }
constexpr Values from(int low) { return static_cast<Values>(0xFFFFu << low); }
constexpr Values range(int low, int high) { return static_cast<Values>(from(low) & ~from(high + 1)); }

// Values (or the whole field) that a type lacks or never enables.
struct Limit {
    Field field;
    Values values; // 0: the whole field
    Rows rows;
};
// While `when` holds one of `is` (or, with unless, none of them), the field's
// values (0: all) are off on these rows.
struct OffRule {
    Rows rows;
    Field when;
    Values is;
    bool unless;
    Field field;
    Values values;
};
// A value's caption on these rows.
struct TypeCaption {
    Rows rows;
    Field field;
    int value;
    const char *caption;
};

template <class T>
struct Table {
    const T *rows;
    int count;
    const T *begin() const { return rows; }
    const T *end() const { return rows + count; }
};
// No control at all. The window takes the buttons of the values listed out of
// sight, and the group of a field lacked as a whole.
Table<Limit> lacking();
Table<Limit> disabled(); // a control that is never enabled
Table<OffRule> offRules();
Table<TypeCaption> captions();

// Whether a monitor of this type has the field (some value of it to choose).
bool hasField(int type, Field f);
// Whether the type has a control for this value of the field.
bool offers(int type, Field f, int value);
// Whether an operator can ever choose the value on this type: offered and not
// among the controls it never enables.
bool choosable(int type, Field f, int value);
// Why the value cannot be chosen on a screen of this type showing these settings
// (empty when it can): a control the type never enables, or one another setting turns off.
QString whyOff(int type, const ST_BasicData &record, Field f, int value);
// The caption the type gives the value; empty where it keeps the common one.
QString caption(int type, Field f, int value);

} // namespace TypeRules
