// Prints the OpenAPI description as telvanord serves it, for the linter.
#include <QJsonDocument>

#include <cstdio>

#include "api.h"

int main()
{
    const QByteArray doc = QJsonDocument(Api::openApi()).toJson();
    return std::fwrite(doc.constData(), 1, static_cast<std::size_t>(doc.size()), stdout) == static_cast<std::size_t>(doc.size()) ? 0 : 1;
}
