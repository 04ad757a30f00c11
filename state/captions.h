#pragma once

#include <QString>
#include <QStringList>

#include "basicdata.h"

// Settings in the operator's own words: a caption for every field of the record
// and, where the values have names, a caption for each value.
namespace Captions {

// "Brightness", "Tally", "UMD 2 color" ...
QString fieldCaption(Field f);
// "red" for tally 1, "6500k" for colour temperature 2; the number where a value has no name.
QString valueCaption(Field f, int value);
// Finds a field by its record name or its caption, ignoring case, blanks and '/'.
bool findField(const QString &text, Field *out);
// Reads a value for a field: a number (decimal or 0x..) or one of its value captions.
bool parseValue(Field f, const QString &text, int *out);
// Largest value the field holds.
int fieldMax(Field f);

// One line per changed setting between two records, e.g. "Brightness 50 -> 80".
// Bits that belong to no field show as raw bytes ("byte 6 0x02 -> 0x0a").
QStringList describeChanges(const ST_BasicData &before, const ST_BasicData &after);

// Name of the settings page a packet group belongs to ("Picture" for group 1).
QString groupCaption(int group);

// The settings pages in the order they are shown, by the packet group each sends:
// Picture, Marker, Function, Source, Audio, UMD.
inline constexpr int kPageGroups[6] = {1, 2, 3, 5, 4, 6};

} // namespace Captions
