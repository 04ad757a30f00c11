// telvanor-ctl: drives the monitors from scripts: discover, get, set, UMD text
// and tally, presets, copies and watching, on the LAN or an RS-422 line.
#include <QCoreApplication>
#include <cstdio>

#include "ctlargs.h"
#include "ctlrunner.h"
#include "stopsignals.h"

namespace {
bool verbose = false;

// The protocol layer's debug lines go to standard error only with --verbose;
// otherwise standard error holds the one line that says what went wrong.
void messages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (verbose || type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvanor-ctl"));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    CtlRequest request;
    QString error;
    const int status = parseCtlArguments(args, &request, &error);
    if (status != ExitOk) {
        std::fprintf(stderr, "telvanor-ctl: %s\n", error.toUtf8().constData());
        return status;
    }
    if (request.help) {
        std::fputs(ctlHelp(request.command).toUtf8().constData(), stdout);
        return ExitOk;
    }
    verbose = request.verbose;
    qInstallMessageHandler(messages);

    // SIGINT and SIGTERM end a watch (or any pause) as a quit of the application.
    exitOnStopSignals(&app, 130);
    CtlRunner runner(request);
    int result = ExitOk;
    QMetaObject::invokeMethod(&app, [&] {
        result = runner.run();
        QCoreApplication::exit(result);
    }, Qt::QueuedConnection);
    const int code = app.exec();
    const bool runsUntilStopped = request.command == QLatin1String("watch") || request.command == QLatin1String("tally-bridge");
    return code == 130 && runsUntilStopped ? ExitOk : result;
}
