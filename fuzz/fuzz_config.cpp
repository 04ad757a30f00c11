// Fuzz target for the service's config reader: the input is the config file, in
// a temporary folder beside a token file and a tally map it may name. Beyond "no
// crash": the file is taken (ExitOk) or refused (ExitFile) with one line
// "FILE:LINE: reason", LINE a line of that file. Inputs that name a presets
// folder, token file or map outside the temporary folder are not tried.
#include <cstdint>
#include <cstdlib>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "config.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}
void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    check(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_config", *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir tmp;
    static const QDir dir(tmp.path());
    static const bool ready = (write(dir.filePath("token"), "fuzz-token-0123456789\n"),
        write(dir.filePath("map.json"), R"({"listen": {"udp31": 40031}, "displays": [
            {"name": "CAM 1", "tsl": "3.1/1", "target": "studio-a"}]})"), true);
    check(ready);
    const QByteArray raw(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QJsonObject top = QJsonDocument::fromJson(raw).object();
    for (const QJsonValue &v : {top.value("presets"), top.value("bridgeMap"), top.value("http").toObject().value("tokenFile")}) {
        const QString path = QDir::cleanPath(dir.absoluteFilePath(v.toString()));
        if (path != dir.path() && !path.startsWith(dir.path() + QLatin1Char('/')))
            return 0;
    }
    const QString path = dir.filePath("telvanord.json");
    write(path, raw);
    ServiceConfig config;
    QString error;
    const int status = readServiceConfig(path, &config, &error);
    check(status == ExitOk || status == ExitFile);
    if (status == ExitFile) {
        static const QRegularExpression form(QStringLiteral("^(.+):(\\d+): [^\\n]+\\z"));
        const QRegularExpressionMatch m = form.match(error);
        check(m.hasMatch() && m.captured(1).startsWith(dir.path() + QLatin1Char('/')) && m.captured(2).toInt() >= 1);
        check(m.captured(1) != path || m.captured(2).toInt() <= raw.count('\n') + 1);
    }
    // Presets folders the file made go again.
    for (const QString &sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(dir.filePath(sub)).removeRecursively();
    return 0;
}
