#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "api.h"
#include "captions.h"
#include "domains.h"

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
    return QJsonObject{{"pages", pages}, {"fields", fields}, {"pauseMs", Fleet::Fleet::PauseMs}};
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
