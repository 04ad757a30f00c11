#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVector>

#include "basicdata.h"

// Settings as JSON, shared by every program that speaks JSON about monitors
// (scripts, the service): a field by its record name, a value by its caption
// where it has one, presets in one file format.
namespace SettingsJson {

// Why a name or value was refused.
enum class Fault { None, UnknownField, BadValue, OutOfDomain, WrongType, NotPreset };

struct Assignment {
    Field field;
    int value;
};

// A value as JSON: its caption where the value has a name ("red"), else the number.
QJsonValue value(Field f, int v);
// Every field a monitor of this type has, by name (the UMD text index, a command's
// argument rather than a setting, left out when withTextIndex is false).
QJsonObject fields(const ST_BasicData &record, int type, bool withTextIndex = true);
// Reads "name": value (a number, or a value caption); on a fault *why says it in one line.
Fault parse(const QString &name, const QJsonValue &v, Assignment *out, QString *why);
// Record order: the source takes its whole byte, the multiview mode two bits of
// it, so the mode must be written after the source.
void sortInRecordOrder(QVector<Assignment> *list);
// The packet groups, in the order of a whole-record send, whose bytes (as this
// type receives them) differ between the two records.
QVector<int> changedGroups(const ST_BasicData &a, const ST_BasicData &b, int type);

// A preset file: {"format": "telvanor-preset", "version": 1, "deviceType": T,
// "name": "...", "screens": [{"screen": 1, "settings": {...}}, ...]}.
constexpr int PresetVersion = 1;
struct PresetScreen {
    int screen = 0; // 0-7
    QVector<Assignment> fields;
    QJsonObject settings; // as written
};
struct Preset {
    int deviceType = -1;
    QString name;
    QVector<PresetScreen> screens;
};
// A screen of a preset: the settings a program can set again. A preset carries
// settings, not the live tally (nor the UMD text index, a frame's argument), and
// leaves out a value read from a monitor that no program may write (outside its
// field's domain, such as a marker thickness of 0): the field is left as it is.
QJsonObject presetScreen(int screen, const ST_BasicData &record, int type);
// Whether a preset sets the field when recalled: every setting but the tally
// (which the request must ask for) and the UMD text index.
bool inPreset(Field f);
QJsonObject presetJson(int type, const QString &name, const QJsonArray &screens);
// Reads and checks a preset: NotPreset (not JSON, wrong format or version, no or
// bad screens), UnknownField, BadValue or OutOfDomain, with *why.
Fault readPreset(const QByteArray &raw, Preset *out, QString *why);

} // namespace SettingsJson
