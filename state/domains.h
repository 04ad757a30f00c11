#pragma once

#include <QString>

#include "basicdata.h"

// The values a monitor defines for each field of the record: the levels 0-100,
// the marker thickness 1-15, an enumerated field only its listed numbers. A
// field's bit width may hold more; such values are carried in a record read
// from a monitor but never written by a program.
namespace Domains {

// Whether value is one the field defines.
bool allows(Field f, int value);
// The field's values as a reader sees them: "0-100", "1-15", "0-7, 12".
QString text(Field f);

} // namespace Domains
