#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "api.h"
#include "captions.h"
#include "domains.h"
#include "typerules.h"

QJsonObject Api::fieldTable()
{
    QJsonArray pages;
    for (int g : Captions::kPageGroups)
        pages.append(QJsonObject{{"group", g}, {"caption", Captions::groupCaption(g)}});
    QJsonArray fields;
    for (const FieldInfo &fi : kFields) {
        if (fi.field == Field::umdTextIndex)
            continue;
        QJsonArray values;
        bool named = false;
        int low = -1, high = -1;
        for (int v = 0; v <= Captions::fieldMax(fi.field); ++v) {
            if (!Domains::allows(fi.field, v))
                continue;
            const QJsonValue shown = SettingsJson::value(fi.field, v);
            named = named || shown.isString();
            values.append(QJsonObject{{"value", v}, {"name", shown}});
            low = low < 0 ? v : low;
            high = v;
        }
        QJsonObject o{{"name", QLatin1String(fi.name)}, {"caption", Captions::fieldCaption(fi.field)},
                      {"group", fi.group}, {"min", low}, {"max", high}, {"domain", Domains::text(fi.field)}};
        if (named)
            o.insert("values", values);
        fields.append(o);
    }
    return QJsonObject{{"pages", pages}, {"fields", fields}, {"pauseMs", Fleet::Fleet::PauseMs}, {"types", typeTable()}};
}

namespace {
QJsonArray numbers(unsigned bits, int count)
{
    QJsonArray a;
    for (int i = 0; i < count; ++i)
        if (bits & (1u << i))
            a.append(i);
    return a;
}
QString fieldName(Field f) { return QLatin1String(fieldInfo(f).name); }
} // namespace

// The type rules of the state table as data: the page places and enables its
// controls by them as the window does.
QJsonObject Api::typeTable()
{
    QJsonObject rows;
    for (int type : {1, 2, 3, 4, 5, 128, 129})
        rows.insert(QString::number(type), TypeRules::rowOf(type));
    auto limits = [](TypeRules::Table<TypeRules::Limit> t) {
        QJsonArray a;
        for (const TypeRules::Limit &l : t) {
            QJsonObject o{{"field", fieldName(l.field)}, {"rows", numbers(l.rows, TypeRules::RowCount)}};
            if (l.values)
                o.insert("values", numbers(l.values, 16));
            a.append(o);
        }
        return a;
    };
    QJsonArray off;
    for (const TypeRules::OffRule &r : TypeRules::offRules()) {
        QJsonObject o{{"rows", numbers(r.rows, TypeRules::RowCount)}, {"when", fieldName(r.when)}, {"is", numbers(r.is, 16)},
                      {"unless", r.unless}, {"field", fieldName(r.field)}};
        if (r.values)
            o.insert("values", numbers(r.values, 16));
        off.append(o);
    }
    QJsonArray captions;
    for (const TypeRules::TypeCaption &c : TypeRules::captions())
        captions.append(QJsonObject{{"rows", numbers(c.rows, TypeRules::RowCount)}, {"field", fieldName(c.field)}, {"value", c.value},
                                    {"caption", QLatin1String(c.caption)}});
    return QJsonObject{{"rows", rows}, {"otherRow", TypeRules::rowOf(0)}, {"lacking", limits(TypeRules::lacking())},
                       {"disabled", limits(TypeRules::disabled())}, {"off", off}, {"captions", captions}};
}

// The description of the routes, with the setting fields and the values each
// takes filled in from the field table.
QJsonObject Api::openApi()
{
    Q_INIT_RESOURCE(openapi); // the resource lives in a static library
    QFile f(QStringLiteral(":/service/openapi.json"));
    f.open(QIODevice::ReadOnly);
    QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
    QJsonObject properties;
    for (const QJsonValue &v : fieldTable().value("fields").toArray()) {
        const QJsonObject fi = v.toObject();
        QJsonArray names;
        for (const QJsonValue &value : fi.value("values").toArray())
            if (value.toObject().value("name").isString())
                names.append(value.toObject().value("name"));
        QJsonArray choices{QJsonObject{{"type", "integer"}, {"minimum", fi.value("min")}, {"maximum", fi.value("max")}}};
        if (!names.isEmpty())
            choices.append(QJsonObject{{"type", "string"}, {"enum", names}});
        properties.insert(fi.value("name").toString(),
                          QJsonObject{{"description", QStringLiteral("%1: %2").arg(fi.value("caption").toString(), fi.value("domain").toString())},
                                      {"oneOf", choices}});
    }
    QJsonObject components = doc.value("components").toObject();
    QJsonObject schemas = components.value("schemas").toObject();
    QJsonObject settings = schemas.value("Settings").toObject();
    settings.insert("properties", properties);
    settings.remove("description");
    schemas.insert("Settings", settings);
    components.insert("schemas", schemas);
    doc.insert("components", components);
    return doc;
}
