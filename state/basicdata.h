#pragma once

#include <QMetaType>

#include <array>
#include <cstdint>

// The settings record of one screen of a monitor: 59 bytes. Bytes 0-23 hold the
// settings as unsigned bit fields inside single bytes (the levels and the source
// take a whole byte); bytes 24-58 are reserved and only carried along.

// Every field of the record, in record order. The enum indexes kFields.
enum class Field : std::uint8_t {
    brightness, contrast, saturation, tint, sharpness, backLight, colorTemp,
    source, mvMode,
    mvSource1, mvSource2, mvSource3, mvSource4,
    markerColor, centerMarker,
    safetyMarker, aspectMarker,
    markerThickness, aspectMat,
    volume,
    vectorCh, levelMeter, audioVector,
    audioLeftOut, audioRightOut,
    aspect, scan, freeze,
    imageFlip, checkField, colorBar, vector,
    hvDelay, timecode, falseColor,
    exposure, peaking, histogram, wave,
    fullMode, displayScan, overscan,
    umd1Color, umd1On, tally,
    umd2Color, umd2On, umd3Color, umd3On,
    umd4Color, umd4On, umdTextIndex,
    Count
};

struct FieldInfo {
    Field field;
    const char *name;
    std::uint8_t byte;   // record byte 0-23
    std::uint8_t shift;  // lowest bit of the field within the byte
    std::uint8_t width;  // number of bits
    std::uint8_t group;  // packet group that carries the byte to a monitor
};

// The one table of the record's fields. The panel's control tables refer to it.
inline constexpr std::array<FieldInfo, static_cast<std::size_t>(Field::Count)> kFields{{
    {Field::brightness, "brightness", 0, 0, 8, 1},
    {Field::contrast, "contrast", 1, 0, 8, 1},
    {Field::saturation, "saturation", 2, 0, 8, 1},
    {Field::tint, "tint", 3, 0, 8, 1},
    {Field::sharpness, "sharpness", 4, 0, 8, 1},
    {Field::backLight, "backLight", 5, 0, 8, 1},
    {Field::colorTemp, "colorTemp", 6, 0, 3, 1},
    {Field::source, "source", 7, 0, 8, 5},
    {Field::mvMode, "mvMode", 7, 4, 2, 5},
    {Field::mvSource1, "mvSource1", 8, 0, 3, 5},
    {Field::mvSource2, "mvSource2", 8, 4, 3, 5},
    {Field::mvSource3, "mvSource3", 9, 0, 3, 5},
    {Field::mvSource4, "mvSource4", 9, 4, 3, 5},
    {Field::markerColor, "markerColor", 10, 0, 3, 2},
    {Field::centerMarker, "centerMarker", 10, 3, 1, 2},
    {Field::safetyMarker, "safetyMarker", 11, 0, 3, 2},
    {Field::aspectMarker, "aspectMarker", 11, 4, 4, 2},
    {Field::markerThickness, "markerThickness", 12, 0, 4, 2},
    {Field::aspectMat, "aspectMat", 12, 4, 3, 2},
    {Field::volume, "volume", 13, 0, 8, 4},
    {Field::vectorCh, "vectorCh", 14, 0, 4, 4},
    {Field::levelMeter, "levelMeter", 14, 4, 1, 4},
    {Field::audioVector, "audioVector", 14, 5, 1, 4},
    {Field::audioLeftOut, "audioLeftOut", 15, 0, 4, 4},
    {Field::audioRightOut, "audioRightOut", 15, 4, 4, 4},
    {Field::aspect, "aspect", 16, 0, 4, 3},
    {Field::scan, "scan", 16, 4, 2, 3},
    {Field::freeze, "freeze", 16, 7, 1, 3},
    {Field::imageFlip, "imageFlip", 17, 0, 2, 3},
    {Field::checkField, "checkField", 17, 2, 3, 3},
    {Field::colorBar, "colorBar", 17, 5, 2, 3},
    {Field::vector, "vector", 17, 7, 1, 3},
    {Field::hvDelay, "hvDelay", 18, 0, 2, 3},
    {Field::timecode, "timecode", 18, 2, 2, 3},
    {Field::falseColor, "falseColor", 18, 4, 3, 3},
    {Field::exposure, "exposure", 19, 0, 1, 3},
    {Field::peaking, "peaking", 19, 2, 1, 3},
    {Field::histogram, "histogram", 19, 3, 2, 3},
    {Field::wave, "wave", 19, 5, 3, 3},
    {Field::fullMode, "fullMode", 20, 0, 3, 3},
    {Field::displayScan, "displayScan", 20, 3, 2, 3},
    {Field::overscan, "overscan", 20, 5, 1, 3},
    {Field::umd1Color, "umd1Color", 21, 0, 3, 6},
    {Field::umd1On, "umd1On", 21, 3, 1, 6},
    {Field::tally, "tally", 21, 4, 2, 6},
    {Field::umd2Color, "umd2Color", 22, 0, 3, 6},
    {Field::umd2On, "umd2On", 22, 3, 1, 6},
    {Field::umd3Color, "umd3Color", 22, 4, 3, 6},
    {Field::umd3On, "umd3On", 22, 7, 1, 6},
    {Field::umd4Color, "umd4Color", 23, 0, 3, 6},
    {Field::umd4On, "umd4On", 23, 3, 1, 6},
    {Field::umdTextIndex, "umdTextIndex", 23, 4, 4, 6},
}};

constexpr const FieldInfo &fieldInfo(Field f) { return kFields[static_cast<std::size_t>(f)]; }

// Looks a field up by its name; false when there is no such field.
bool fieldByName(const char *name, Field *out);

// Which record bytes a packet group carries. Groups 5 and 6 carry two more
// bytes each for device type 2 (multiview sources; UMD slots 1-3 and the text index).
struct GroupBytes {
    int group;
    std::uint8_t command;          // command code of the setting command on the wire
    std::array<std::int8_t, 7> bytes;      // record bytes in frame order, -1 ends the list
    bool carriesUmdText;           // the 16-byte UMD text follows the record bytes
    std::array<std::int8_t, 2> type2Bytes; // appended for device type 2, -1 = none
};

inline constexpr std::array<GroupBytes, 6> kGroups{{
    {1, 0x01, {0, 1, 2, 3, 4, 5, 6}, false, {-1, -1}},
    {2, 0x02, {10, 11, 12, -1, -1, -1, -1}, false, {-1, -1}},
    {3, 0x04, {16, 17, 18, 19, 20, -1, -1}, false, {-1, -1}},
    {4, 0x03, {13, 14, 15, -1, -1, -1, -1}, false, {-1, -1}},
    {5, 0x00, {7, -1, -1, -1, -1, -1, -1}, false, {8, 9}},
    {6, 0x05, {21, -1, -1, -1, -1, -1, -1}, true, {22, 23}},
}};

// nullptr for a group number outside 1-6 (which means "every group" to the sender).
const GroupBytes *groupBytes(int group);
// nullptr for a code that is no setting command.
const GroupBytes *groupForCommand(std::uint8_t command);

// Whether frames to a monitor of this device type carry record byte b (0-23):
// bytes 8, 9, 22 and 23 travel to type 2 only.
bool typeCarriesByte(int deviceType, int b);
// Whether a monitor of this type has the field: its byte travels to the type,
// multiview (source byte bits 4-5) is type 2's alone, and the type has a control
// for it (typerules.h).
bool typeHasField(int deviceType, Field f);

constexpr int kUmdTextLength = 16;
// The UMD fields of slots 1-4.
inline constexpr Field kUmdOnFields[4] = {Field::umd1On, Field::umd2On, Field::umd3On, Field::umd4On};
inline constexpr Field kUmdColorFields[4] = {Field::umd1Color, Field::umd2Color, Field::umd3Color, Field::umd4Color};

struct ST_BasicData {
    static constexpr int Size = 59;
    static constexpr int SettingBytes = 24;  // bytes 24-58 are reserved

    std::array<std::uint8_t, Size> bytes{};

    std::uint8_t byte(int index) const { return bytes[static_cast<std::size_t>(index)]; }
    void setByte(int index, std::uint8_t value) { bytes[static_cast<std::size_t>(index)] = value; }

    // Read: shift and mask. Write: clear the field's bits and OR the value in;
    // the value is masked to the field's width, the other bits are kept.
    int get(Field f) const;
    void set(Field f, int value);

    bool operator==(const ST_BasicData &o) const { return bytes == o.bytes; }
    bool operator!=(const ST_BasicData &o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(ST_BasicData)
Q_DECLARE_METATYPE(Field)
