#include "settingsjson.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

#include "captions.h"
#include "datastream.h"
#include "domains.h"
#include "machinedevice.h"
#include "typerules.h"

namespace SettingsJson {

QJsonValue value(Field f, int v)
{
    const QString caption = Captions::valueCaption(f, v);
    bool isNumber = false;
    const int n = caption.toInt(&isNumber);
    return isNumber ? QJsonValue(n) : QJsonValue(caption);
}

QJsonObject fields(const ST_BasicData &record, int type, bool withTextIndex)
{
    QJsonObject o;
    for (const FieldInfo &fi : kFields)
        if (typeHasField(type, fi.field) && (withTextIndex || fi.field != Field::umdTextIndex))
            o.insert(QLatin1String(fi.name), value(fi.field, record.get(fi.field)));
    return o;
}

Fault parse(const QString &name, const QJsonValue &v, Assignment *out, QString *why)
{
    // The name as a whole: a NUL inside must not end it early.
    if (name.contains(QChar(u'\0')) || !fieldByName(name.toLatin1().constData(), &out->field)) {
        *why = QStringLiteral("unknown field '%1'").arg(name);
        return Fault::UnknownField;
    }
    // A well-formed number outside the field's values is out of its domain (422);
    // anything else that is no value of the field is a bad value (400).
    const double d = v.toDouble();
    const bool whole = v.isDouble() && std::isfinite(d) && d == std::floor(d);
    if (!whole && !v.isString()) {
        *why = QStringLiteral("%1: takes a whole number or a value name").arg(name);
        return Fault::BadValue;
    }
    const QString text = whole ? QString::number(d, 'f', 0) : v.toString();
    bool number = whole;
    if (!whole)
        text.trimmed().toLongLong(&number, 0);
    if (!Captions::parseValue(out->field, text, &out->value)) {
        *why = number ? QStringLiteral("%1=%2: %1 takes %3").arg(name, text, Domains::text(out->field))
                      : QStringLiteral("%1: bad value '%2'").arg(name, text);
        return number ? Fault::OutOfDomain : Fault::BadValue;
    }
    if (!Domains::allows(out->field, out->value)) {
        *why = QStringLiteral("%1=%2: %1 takes %3").arg(name, text, Domains::text(out->field));
        return Fault::OutOfDomain;
    }
    return Fault::None;
}

void sortInRecordOrder(QVector<Assignment> *list)
{
    std::stable_sort(list->begin(), list->end(), [](const Assignment &a, const Assignment &b) { return a.field < b.field; });
}

QVector<int> changedGroups(const ST_BasicData &a, const ST_BasicData &b, int type)
{
    QVector<int> groups;
    for (int g : DataStream::FullSendGroups)
        for (const FieldInfo &fi : kFields)
            if (fi.group == g && typeCarriesByte(type, fi.byte) && a.byte(fi.byte) != b.byte(fi.byte)
                && !groups.contains(g))
                groups.append(g);
    return groups;
}

QJsonObject presetScreen(int screen, const ST_BasicData &record, int type)
{
    QJsonObject settings;
    for (const FieldInfo &fi : kFields)
        if (inPreset(fi.field) && TypeRules::offers(type, fi.field, record.get(fi.field)) && Domains::allows(fi.field, record.get(fi.field)))
            settings.insert(QLatin1String(fi.name), value(fi.field, record.get(fi.field)));
    return QJsonObject{{"screen", screen + 1}, {"settings", settings}};
}

bool inPreset(Field f)
{
    return f != Field::tally && f != Field::umdTextIndex;
}

QJsonObject presetJson(int type, const QString &name, const QJsonArray &screens)
{
    return QJsonObject{{"format", "telvanor-preset"}, {"version", PresetVersion}, {"deviceType", type},
                       {"name", name}, {"screens", screens}};
}

Fault readPreset(const QByteArray &raw, Preset *out, QString *why)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(raw, &pe);
    const QJsonObject preset = doc.object();
    if (pe.error != QJsonParseError::NoError || preset.value("format").toString() != QLatin1String("telvanor-preset")) {
        *why = QStringLiteral("not a preset (%1)").arg(pe.error != QJsonParseError::NoError ? pe.errorString() : QStringLiteral("no \"format\": \"telvanor-preset\""));
        return Fault::NotPreset;
    }
    if (preset.value("version").toInt() != PresetVersion) {
        *why = QStringLiteral("preset version %1, this program reads %2").arg(preset.value("version").toInt()).arg(PresetVersion);
        return Fault::NotPreset;
    }
    Preset p;
    p.deviceType = preset.value("deviceType").toInt(-1);
    p.name = preset.value("name").toString();
    const QJsonArray screens = preset.value("screens").toArray();
    if (screens.isEmpty()) {
        *why = QStringLiteral("no screens");
        return Fault::NotPreset;
    }
    for (const QJsonValue &v : screens) {
        const QJsonObject o = v.toObject();
        PresetScreen sc;
        sc.screen = o.value("screen").toInt() - 1;
        if (sc.screen < 0 || sc.screen >= MachineDevice::MaxScreens) {
            *why = QStringLiteral("bad screen number");
            return Fault::NotPreset;
        }
        sc.settings = o.value("settings").toObject();
        for (auto it = sc.settings.begin(); it != sc.settings.end(); ++it) {
            Assignment a;
            const Fault f = parse(it.key(), it.value(), &a, why);
            if (f != Fault::None)
                return f;
            sc.fields.append(a);
        }
        sortInRecordOrder(&sc.fields);
        p.screens.append(sc);
    }
    *out = p;
    return Fault::None;
}

} // namespace SettingsJson
