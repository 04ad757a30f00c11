#include "typerules.h"

#include <QStringList>

#include <iterator>

#include "captions.h"

namespace TypeRules {
namespace {

using F = Field;
constexpr Values All = 0;
constexpr Rows Type1 = rows(0), Other = rows(1), Type3 = rows(2), Type2 = rows(3), Type128 = rows(4), Type4 = rows(5),
               Type129 = rows(6), Type5 = rows(7);
constexpr Rows Every = 0xFF;
constexpr Values Hdmi = values(7);

// clang-format off
constexpr Limit kLacking[] = {
    {F::colorTemp, values(0, 1), Type128 | Type129 | Type5},
    // Inputs: one SDI on most types.
    {F::source, values(1, 2, 3, 5, 6, 12), Type1 | Type3},
    {F::source, values(12), Other | Type2},
    {F::source, values(1, 2, 3, 4, 5, 6), Type128},
    {F::source, values(1, 2, 3, 4, 5, 6, 12), Type4 | Type129 | Type5},
    // Marker page.
    {F::aspectMarker, values(9), Type3 | Type2 | Type128 | Type4 | Type129},
    {F::aspectMarker, values(6, 7), Type128 | Type129},
    {F::markerThickness, from(8), static_cast<Rows>(Every & ~(Type2 | Type3))},
    // Function page.
    {F::aspect, values(8, 9), static_cast<Rows>(Every & ~Type5)},
    {F::aspect, values(6, 7), Type128 | Type129},
    {F::aspect, values(1), Type129},
    {F::fullMode, All, static_cast<Rows>(Every & ~(Type4 | Type5))},
    {F::displayScan, All, static_cast<Rows>(Every & ~(Type128 | Type129))},
    {F::overscan, All, Type128 | Type129},
    {F::hvDelay, All, Type128 | Type129},
    {F::timecode, All, Type128 | Type129},
    {F::colorBar, All, Type128 | Type129},
    {F::vector, All, Type128 | Type129},
    {F::wave, All, Type128 | Type129},
    // Type 129 lacks the whole of both (below); its window takes these buttons
    // out of sight with their groups, as on type 128.
    {F::histogram, values(2, 3), Type128 | Type129},
    {F::falseColor, values(2, 3, 4), Type128 | Type129},
    {F::exposure, All, Type129},
    {F::histogram, All, Type129},
    {F::falseColor, All, Type129},
    // Audio page: the channel buttons (channels 0-7) or the two output levels.
    {F::audioLeftOut, from(8), Type128 | Type4 | Type129 | Type5},
    {F::audioRightOut, All, Type128 | Type4 | Type129 | Type5},
    {F::audioVector, All, Type128 | Type129},
    {F::vectorCh, All, Type128 | Type129 | Type5},
    // UMD page: the tally alone.
    {F::umd1Color, All, Type128 | Type129 | Type5},
    {F::umd1On, All, Type128 | Type129 | Type5},
};

constexpr Limit kDisabled[] = {
    {F::wave, values(1), Type4 | Type128},
    {F::imageFlip, All, Type2 | Type3},
};

constexpr F kMarkerPage[] = {F::centerMarker, F::markerColor, F::aspectMarker, F::safetyMarker, F::aspectMat, F::markerThickness};

constexpr OffRule kOffRules[] = {
    // Over HDMI only eight audio channels arrive.
    {Every, F::source, Hdmi, false, F::vectorCh, range(4, 7)},
    {Every, F::source, Hdmi, false, F::audioLeftOut, from(4)},
    {Every, F::source, Hdmi, false, F::audioRightOut, from(8)},
    // Type 5: channel pairs beyond the first only on HDMI.
    {Type5, F::source, Hdmi, true, F::audioLeftOut, from(1)},
    // Type 128: no channel pair on HDMI; on VIDEO neither scan, level meter nor display scan.
    {Type128, F::source, Hdmi | values(12), false, F::audioLeftOut, All},
    {Type128, F::source, values(12), false, F::scan, All},
    {Type128, F::source, values(12), false, F::levelMeter, All},
    {Type128, F::source, values(12), false, F::displayScan, All},
    // The grid excludes the other markers; pixel to pixel and zoom have no markers, display scan or aspect.
    {Type128, F::aspectMarker, values(8), false, F::centerMarker, All},
    {Type128, F::aspectMarker, values(8), false, F::safetyMarker, All},
    {Type128, F::aspectMarker, values(8), false, F::aspectMat, All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[0], All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[1], All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[2], All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[3], All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[4], All},
    {Type128, F::scan, values(1, 2), false, kMarkerPage[5], All},
    {Type128, F::scan, values(1, 2), false, F::displayScan, All},
    {Type128, F::scan, values(1, 2), false, F::aspect, All},
    // Type 129: peaking takes over the picture levels and the colour temperature.
    {Type129, F::peaking, values(1), false, F::brightness, All},
    {Type129, F::peaking, values(1), false, F::contrast, All},
    {Type129, F::peaking, values(1), false, F::saturation, All},
    {Type129, F::peaking, values(1), false, F::tint, All},
    {Type129, F::peaking, values(1), false, F::sharpness, All},
    {Type129, F::peaking, values(1), false, F::colorTemp, All},
    // Type 2: multiview has its own sources and UMDs 2-4, and no markers, most
    // functions or audio displays.
    {Type2, F::mvMode, values(1), true, F::mvSource1, All},
    {Type2, F::mvMode, values(1), true, F::mvSource2, All},
    {Type2, F::mvMode, values(1), true, F::mvSource3, All},
    {Type2, F::mvMode, values(1), true, F::mvSource4, All},
    {Type2, F::mvMode, values(1), true, F::umd2Color, All},
    {Type2, F::mvMode, values(1), true, F::umd2On, All},
    {Type2, F::mvMode, values(1), true, F::umd3Color, All},
    {Type2, F::mvMode, values(1), true, F::umd3On, All},
    {Type2, F::mvMode, values(1), true, F::umd4Color, All},
    {Type2, F::mvMode, values(1), true, F::umd4On, All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[0], All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[1], All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[2], All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[3], All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[4], All},
    {Type2, F::mvMode, values(1), false, kMarkerPage[5], All},
    {Type2, F::mvMode, values(1), false, F::freeze, All},
    {Type2, F::mvMode, values(1), false, F::overscan, All},
    {Type2, F::mvMode, values(1), false, F::scan, All},
    {Type2, F::mvMode, values(1), false, F::aspect, All},
    {Type2, F::mvMode, values(1), false, F::colorBar, All},
    {Type2, F::mvMode, values(1), false, F::hvDelay, All},
    {Type2, F::mvMode, values(1), false, F::vector, All},
    {Type2, F::mvMode, values(1), false, F::wave, All},
    {Type2, F::mvMode, values(1), false, F::histogram, All},
    {Type2, F::mvMode, values(1), false, F::audioVector, All},
    {Type2, F::mvMode, values(1), false, F::vectorCh, All},
    {Type2, F::mvMode, values(1), false, F::audioLeftOut, All},
    {Type2, F::mvMode, values(1), false, F::audioRightOut, All},
};

constexpr TypeCaption kCaptions[] = {
    {Type1 | Type3 | Type4 | Type128 | Type129, F::source, 0, "SDI"},
    {Type5, F::aspectMarker, 6, "1.3X"}, {Type5, F::aspectMarker, 7, "1.5X"},
    {Type5, F::aspectMarker, 8, "2.0X"}, {Type5, F::aspectMarker, 9, "2.0X MAG"},
    {Type5, F::aspect, 6, "1.3X"}, {Type5, F::aspect, 7, "1.5X"},
    {Type5, F::aspect, 8, "2.0X"}, {Type5, F::aspect, 9, "2.0X MAG"},
    {Type128, F::falseColor, 1, "On"},
    {Type128, F::histogram, 1, "On"},
};
// clang-format on

template <class T, std::size_t N>
constexpr Table<T> table(const T (&t)[N]) { return {t, static_cast<int>(N)}; }

bool onRow(Rows r, int type) { return r & (1u << rowOf(type)); }
bool covers(Values v, int value) { return v == All || (value >= 0 && value < 16 && (v & (1u << value))); }

bool limited(Table<Limit> t, int type, Field f, int value)
{
    for (const Limit &l : t)
        if (l.field == f && onRow(l.rows, type) && covers(l.values, value))
            return true;
    return false;
}

QString valuesText(Field f, Values v)
{
    QStringList names;
    for (int value = 0; value < 16; ++value)
        if (v & (1u << value))
            names << Captions::valueCaption(f, value);
    return names.join(QLatin1String(", "));
}

} // namespace

int rowOf(int type)
{
    switch (type) {
    case 1: return 0;
    case 2: return 3;
    case 3: return 2;
    case 4: return 5;
    case 5: return 7;
    case 128: return 4;
    case 129: return 6;
    default: return 1;
    }
}

Table<Limit> lacking() { return table(kLacking); }
Table<Limit> disabled() { return table(kDisabled); }
Table<OffRule> offRules() { return table(kOffRules); }
Table<TypeCaption> captions() { return table(kCaptions); }

bool hasField(int type, Field f)
{
    return typeHasField(type, f);
}

bool offers(int type, Field f, int value)
{
    return typeHasField(type, f) && !limited(lacking(), type, f, value);
}

bool choosable(int type, Field f, int value)
{
    return offers(type, f, value) && !limited(disabled(), type, f, value);
}

QString whyOff(int type, const ST_BasicData &record, Field f, int value)
{
    if (limited(disabled(), type, f, value))
        return QStringLiteral("a type %1 monitor never enables it").arg(type);
    for (const OffRule &r : kOffRules) {
        if (r.field != f || !onRow(r.rows, type) || !covers(r.values, value))
            continue;
        const int now = record.get(r.when);
        if (covers(r.is, now) != r.unless)
            return QStringLiteral("off on a type %1 monitor while %2 is %3%4")
                .arg(type)
                .arg(QLatin1String(fieldInfo(r.when).name), r.unless ? QStringLiteral("not ") : QString(), valuesText(r.when, r.is));
    }
    return QString();
}

QString caption(int type, Field f, int value)
{
    for (const TypeCaption &c : kCaptions)
        if (c.field == f && c.value == value && onRow(c.rows, type))
            return QLatin1String(c.caption);
    return QString();
}

} // namespace TypeRules

bool typeHasField(int deviceType, Field f)
{
    if (f == Field::mvMode && deviceType != 2)
        return false;
    if (!typeCarriesByte(deviceType, fieldInfo(f).byte))
        return false;
    for (const TypeRules::Limit &l : TypeRules::lacking())
        if (l.field == f && l.values == 0 && TypeRules::onRow(l.rows, deviceType))
            return false;
    return true;
}
