#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "api.h"
#include "captions.h"
#include "domains.h"

// The description of the routes, with the setting fields and the values each
// takes filled in from the field table.
QJsonObject Api::openApi()
{
    Q_INIT_RESOURCE(openapi); // the resource lives in a static library
    QFile f(QStringLiteral(":/service/openapi.json"));
    f.open(QIODevice::ReadOnly);
    QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
    QJsonObject properties;
    for (const FieldInfo &fi : kFields) {
        if (fi.field == Field::umdTextIndex)
            continue;
        QJsonArray names;
        int low = -1, high = -1;
        for (int v = 0; v <= Captions::fieldMax(fi.field); ++v) {
            if (!Domains::allows(fi.field, v))
                continue;
            const QJsonValue shown = SettingsJson::value(fi.field, v);
            if (shown.isString())
                names.append(shown);
            low = low < 0 ? v : low;
            high = v;
        }
        QJsonArray choices{QJsonObject{{"type", "integer"}, {"minimum", low}, {"maximum", high}}};
        if (!names.isEmpty())
            choices.append(QJsonObject{{"type", "string"}, {"enum", names}});
        properties.insert(QLatin1String(fi.name),
                          QJsonObject{{"description", QStringLiteral("%1: %2").arg(Captions::fieldCaption(fi.field), Domains::text(fi.field))},
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
