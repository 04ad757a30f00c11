#include "domains.h"

#include <array>
#include <cstddef>

namespace Domains {
namespace {

// A range and, for the few fields that have one, a value apart from it.
struct Domain {
    Field field;
    int low, high;
    int also; // -1: none
};

constexpr Domain level(Field f) { return {f, 0, 100, -1}; }
constexpr Domain upTo(Field f, int high) { return {f, 0, high, -1}; }

// Indexed by Field; checked against the enum below.
constexpr std::array<Domain, static_cast<std::size_t>(Field::Count)> kDomains{{
    level(Field::brightness),
    level(Field::contrast),
    level(Field::saturation),
    level(Field::tint),
    level(Field::sharpness),
    level(Field::backLight),
    upTo(Field::colorTemp, 5),
    {Field::source, 0, 7, 12},          // 12: VIDEO
    upTo(Field::mvMode, 1),
    upTo(Field::mvSource1, 5),
    upTo(Field::mvSource2, 5),
    upTo(Field::mvSource3, 5),
    upTo(Field::mvSource4, 5),
    upTo(Field::markerColor, 4),
    upTo(Field::centerMarker, 1),
    upTo(Field::safetyMarker, 6),
    upTo(Field::aspectMarker, 9),
    {Field::markerThickness, 1, 15, -1},
    upTo(Field::aspectMat, 7),
    level(Field::volume),
    upTo(Field::vectorCh, 7),
    upTo(Field::levelMeter, 1),
    upTo(Field::audioVector, 1),
    upTo(Field::audioLeftOut, 15),
    upTo(Field::audioRightOut, 15),
    upTo(Field::aspect, 9),
    upTo(Field::scan, 2),
    upTo(Field::freeze, 1),
    upTo(Field::imageFlip, 3),
    upTo(Field::checkField, 4),
    upTo(Field::colorBar, 2),
    upTo(Field::vector, 1),
    upTo(Field::hvDelay, 3),
    upTo(Field::timecode, 2),
    upTo(Field::falseColor, 4),
    upTo(Field::exposure, 1),
    upTo(Field::peaking, 1),
    upTo(Field::histogram, 3),
    upTo(Field::wave, 4),
    upTo(Field::fullMode, 6),
    upTo(Field::displayScan, 2),
    upTo(Field::overscan, 1),
    upTo(Field::umd1Color, 6),
    upTo(Field::umd1On, 1),
    upTo(Field::tally, 3),
    upTo(Field::umd2Color, 6),
    upTo(Field::umd2On, 1),
    upTo(Field::umd3Color, 6),
    upTo(Field::umd3On, 1),
    upTo(Field::umd4Color, 6),
    upTo(Field::umd4On, 1),
    {Field::umdTextIndex, 0, 3, 15},    // 15: the frame files no text (type 2)
}};

constexpr bool domainsInFieldOrder()
{
    for (std::size_t i = 0; i < kDomains.size(); ++i)
        if (static_cast<std::size_t>(kDomains[i].field) != i)
            return false;
    return true;
}
static_assert(domainsInFieldOrder(), "kDomains must list the fields in enum order");

const Domain &domainOf(Field f) { return kDomains[static_cast<std::size_t>(f)]; }
} // namespace

bool allows(Field f, int value)
{
    const Domain &d = domainOf(f);
    return (value >= d.low && value <= d.high) || (d.also >= 0 && value == d.also);
}

QString text(Field f)
{
    const Domain &d = domainOf(f);
    const QString range = QStringLiteral("%1-%2").arg(d.low).arg(d.high);
    return d.also >= 0 ? QStringLiteral("%1, %2").arg(range).arg(d.also) : range;
}

} // namespace Domains
