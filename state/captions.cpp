#include "captions.h"

#include <array>
#include <cstddef>

namespace Captions {
namespace {

struct FieldCaption {
    Field field;
    const char *caption;
    const char *const *values; // value captions by value; nullptr entries have none
    int valueCount;
};

template <std::size_t N>
constexpr FieldCaption named(Field f, const char *caption, const char *const (&values)[N])
{
    return {f, caption, values, static_cast<int>(N)};
}
constexpr FieldCaption plain(Field f, const char *caption) { return {f, caption, nullptr, 0}; }

constexpr const char *kOffOn[] = {"off", "on"};
constexpr const char *kColorTemp[] = {"3200k", "5500k", "6500k", "7500k", "9300k", "User"};
constexpr const char *kSource[] = {"SDI1", "SDI2", "SDI3", "SDI4", "SFP", "2SI", "SQUARE", "HDMI",
                                   nullptr, nullptr, nullptr, nullptr, "VIDEO"};
constexpr const char *kMvSource[] = {"SDI 1", "SDI 2", "SDI 3", "SDI 4", "SFP", "HDMI"};
constexpr const char *kMarkerColor[] = {"black", "red", "green", "blue", "white"};
constexpr const char *kSafety[] = {"off", "95%", "93%", "90%", "88%", "85%", "80%"};
constexpr const char *kAspectMarker[] = {"off", "16:9", "1.85:1", "2.35:1", "4:3", "3:2", "2.0X", "2.0X MAG", "Grid", "User"};
constexpr const char *kVectorCh[] = {"CH1 CH2", "CH3 CH4", "CH5 CH6", "CH7 CH8", "CH9 CH10", "CH11 CH12", "CH13 CH14", "CH15 CH16"};
constexpr const char *kAspect[] = {"Full", "16:9", "1.85:1", "2.35:1", "4:3", "3:2", "2.0X", "2.0X MAG", "1.3X", "1.5X"};
constexpr const char *kScan[] = {"Aspect", "Pix To Pix", "Zoom"};
constexpr const char *kFlip[] = {"off", "H", "V", "H/V"};
constexpr const char *kCheckField[] = {"off", "red", "green", "blue", "mono"};
constexpr const char *kColorBar[] = {"off", "100%", "75%"};
constexpr const char *kTimecode[] = {"off", "LTC", "VITC"};
constexpr const char *kFalseColor[] = {"off", "Def", "Spectrum", "Arri", "RED"};
constexpr const char *kHistogram[] = {"off", "Y", "RGB", "COLOR"};
constexpr const char *kWave[] = {"off", "Multi", "Y", "YCbCr", "RGB"};
constexpr const char *kFullMode[] = {"off", "Y", "YCbCr", "RGB", "Vector", "Histogram", "Audio"};
constexpr const char *kDisplayScan[] = {"Full Scan", "Over Scan", "UnderScan"};
constexpr const char *kUmdColor[] = {"white", "red", "green", "blue", "yellow", "cyan", "magenta"};
constexpr const char *kTally[] = {"off", "red", "green", "yellow"};

// Indexed by Field; checked against the enum below.
constexpr std::array<FieldCaption, static_cast<std::size_t>(Field::Count)> kCaptions{{
    plain(Field::brightness, "Brightness"),
    plain(Field::contrast, "Contrast"),
    plain(Field::saturation, "Saturation"),
    plain(Field::tint, "Tint"),
    plain(Field::sharpness, "Sharpness"),
    plain(Field::backLight, "Backlight"),
    named(Field::colorTemp, "Color Temp", kColorTemp),
    named(Field::source, "Source", kSource),
    named(Field::mvMode, "Multiview", kOffOn),
    named(Field::mvSource1, "MV1 Source", kMvSource),
    named(Field::mvSource2, "MV2 Source", kMvSource),
    named(Field::mvSource3, "MV3 Source", kMvSource),
    named(Field::mvSource4, "MV4 Source", kMvSource),
    named(Field::markerColor, "Marker Color", kMarkerColor),
    named(Field::centerMarker, "Center Marker", kOffOn),
    named(Field::safetyMarker, "Safety Marker", kSafety),
    named(Field::aspectMarker, "Aspect Marker", kAspectMarker),
    plain(Field::markerThickness, "Marker Thickness"),
    plain(Field::aspectMat, "Aspect Mat"),
    plain(Field::volume, "Volume"),
    named(Field::vectorCh, "Vector Ch", kVectorCh),
    named(Field::levelMeter, "Level Meter", kOffOn),
    named(Field::audioVector, "Audio Vector", kOffOn),
    plain(Field::audioLeftOut, "Audio Left Out"),
    plain(Field::audioRightOut, "Audio Right Out"),
    named(Field::aspect, "Aspect", kAspect),
    named(Field::scan, "Scan", kScan),
    named(Field::freeze, "Freeze", kOffOn),
    named(Field::imageFlip, "Image Flip", kFlip),
    named(Field::checkField, "Check Field", kCheckField),
    named(Field::colorBar, "Color Bar", kColorBar),
    named(Field::vector, "Vector", kOffOn),
    named(Field::hvDelay, "H/V Delay", kFlip),
    named(Field::timecode, "Timecode", kTimecode),
    named(Field::falseColor, "False Color", kFalseColor),
    named(Field::exposure, "Exposure", kOffOn),
    named(Field::peaking, "Peaking", kOffOn),
    named(Field::histogram, "Histogram", kHistogram),
    named(Field::wave, "Wave", kWave),
    named(Field::fullMode, "Full Mode", kFullMode),
    named(Field::displayScan, "Display Scan", kDisplayScan),
    named(Field::overscan, "Overscan", kOffOn),
    named(Field::umd1Color, "UMD 1 color", kUmdColor),
    named(Field::umd1On, "UMD 1", kOffOn),
    named(Field::tally, "Tally", kTally),
    named(Field::umd2Color, "UMD 2 color", kUmdColor),
    named(Field::umd2On, "UMD 2", kOffOn),
    named(Field::umd3Color, "UMD 3 color", kUmdColor),
    named(Field::umd3On, "UMD 3", kOffOn),
    named(Field::umd4Color, "UMD 4 color", kUmdColor),
    named(Field::umd4On, "UMD 4", kOffOn),
    plain(Field::umdTextIndex, "UMD text index"),
}};

constexpr bool captionsInFieldOrder()
{
    for (std::size_t i = 0; i < kCaptions.size(); ++i)
        if (static_cast<std::size_t>(kCaptions[i].field) != i)
            return false;
    return true;
}
static_assert(captionsInFieldOrder(), "kCaptions must list the fields in enum order");

const FieldCaption &captionOf(Field f) { return kCaptions[static_cast<std::size_t>(f)]; }

// The multiview bits live inside the source byte; the source itself is the rest.
constexpr int kMvBits = 0x30;
int shownValue(Field f, int value) { return f == Field::source ? (value & ~kMvBits) : value; }

QString squeezed(const QString &s)
{
    QString out;
    for (QChar c : s)
        if (!c.isSpace() && c != QLatin1Char('/') && c != QLatin1Char('_'))
            out.append(c.toLower());
    return out;
}
} // namespace

QString fieldCaption(Field f)
{
    return QString::fromLatin1(captionOf(f).caption);
}

QString valueCaption(Field f, int value)
{
    const FieldCaption &c = captionOf(f);
    const int v = shownValue(f, value);
    if (v >= 0 && v < c.valueCount && c.values[v])
        return QString::fromLatin1(c.values[v]);
    return QString::number(v);
}

bool findField(const QString &text, Field *out)
{
    const QString key = squeezed(text);
    if (key.isEmpty())
        return false;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        if (squeezed(QString::fromLatin1(kFields[i].name)) == key
            || squeezed(QString::fromLatin1(kCaptions[i].caption)) == key) {
            *out = kFields[i].field;
            return true;
        }
    }
    return false;
}

int fieldMax(Field f)
{
    return (1 << fieldInfo(f).width) - 1;
}

bool parseValue(Field f, const QString &text, int *out)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 0);
    if (ok) {
        if (v < 0 || v > fieldMax(f))
            return false;
        *out = v;
        return true;
    }
    const FieldCaption &c = captionOf(f);
    const QString key = squeezed(text);
    for (int i = 0; i < c.valueCount; ++i) {
        if (c.values[i] && squeezed(QString::fromLatin1(c.values[i])) == key) {
            *out = i;
            return true;
        }
    }
    return false;
}

QStringList describeChanges(const ST_BasicData &before, const ST_BasicData &after)
{
    QStringList lines;
    for (int b = 0; b < ST_BasicData::Size; ++b) {
        const int x = before.byte(b), y = after.byte(b);
        if (x == y)
            continue;
        unsigned covered = 0;
        for (const FieldInfo &fi : kFields) {
            if (fi.byte != b)
                continue;
            covered |= ((1u << fi.width) - 1u) << fi.shift;
            const int from = before.get(fi.field), to = after.get(fi.field);
            if (shownValue(fi.field, from) == shownValue(fi.field, to))
                continue;
            lines.append(QStringLiteral("%1 %2 -> %3")
                             .arg(fieldCaption(fi.field), valueCaption(fi.field, from), valueCaption(fi.field, to)));
        }
        if (((static_cast<unsigned>(x) ^ static_cast<unsigned>(y)) & ~covered & 0xFFu) != 0)
            lines.append(QStringLiteral("byte %1 0x%2 -> 0x%3")
                             .arg(b)
                             .arg(x, 2, 16, QLatin1Char('0'))
                             .arg(y, 2, 16, QLatin1Char('0')));
    }
    return lines;
}

QString groupCaption(int group)
{
    switch (group) {
    case 1: return QStringLiteral("Picture");
    case 2: return QStringLiteral("Marker");
    case 3: return QStringLiteral("Function");
    case 4: return QStringLiteral("Audio");
    case 5: return QStringLiteral("Source");
    case 6: return QStringLiteral("UMD");
    default: return QStringLiteral("group %1").arg(group);
    }
}

} // namespace Captions
