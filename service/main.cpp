// telvanord: one service that owns the monitor lines, with an HTTP/JSON API,
// live events over a WebSocket and, when configured, the tally bridge.
#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

#include "config.h"
#include "service.h"
#include "stopsignals.h"
#include "systemdnotify.h"

namespace {
void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void logLine(const QString &line)
{
    out(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + line);
}

const char kUsage[] = "Usage: telvanord [--check] CONFIG\n"
                      "Owns the monitor lines named in CONFIG (JSON) and serves the HTTP/JSON API\n"
                      "under /api/v1 with live events at /api/v1/events.\n"
                      "  --check    read and check CONFIG, then exit (0: fine, 9: a fault, with its line)\n"
                      "  --help     this text\n"
                      "  --version  the version\n";
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvanord"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANOR_VERSION));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    bool check = false;
    QString path;
    for (const QString &a : qAsConst(args)) {
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return ExitOk;
        }
        if (a == QLatin1String("--version")) {
            out(QStringLiteral("telvanord %1").arg(QCoreApplication::applicationVersion()));
            return ExitOk;
        }
        if (a == QLatin1String("--check"))
            check = true;
        else if (a.startsWith(QLatin1Char('-')) || !path.isEmpty()) {
            std::fprintf(stderr, "telvanord: unknown option or extra argument '%s'\n%s", a.toUtf8().constData(), kUsage);
            return ExitUsage;
        } else
            path = a;
    }
    if (path.isEmpty()) {
        std::fputs(kUsage, stderr);
        return ExitUsage;
    }
    ServiceConfig config;
    QString error;
    int status = readServiceConfig(path, &config, &error, check ? ConfigUse::Check : ConfigUse::Start);
    if (status != ExitOk) {
        std::fprintf(stderr, "%s\n", error.toUtf8().constData());
        return status;
    }
    if (check) {
        out(QStringLiteral("%1: ok").arg(path));
        return ExitOk;
    }
    exitOnStopSignals(&app, 0);
    Service service(config);
    QObject::connect(&service, &Service::logLine, &app, logLine);
    SystemdNotify manager;
    status = service.start(&error);
    if (status != ExitOk) {
        std::fprintf(stderr, "telvanord: %s\n", error.toUtf8().constData());
        return status;
    }
    const QString host = config.listen.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(config.listenText) : config.listenText;
    const QString listening = QStringLiteral("listening on http://%1:%2/api/v1").arg(host).arg(service.port());
    out(QStringLiteral("telvanord: ") + listening);
    // Only now can a client connect: the service manager starts what waits for it.
    manager.ready(listening);
    QObject::connect(&service, &Service::statusChanged, &manager, &SystemdNotify::status);
    status = app.exec();
    manager.stopping();
    return status;
}
