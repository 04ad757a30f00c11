#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>

#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    (void)!::write(signalPipe[1], &c, 1);
}
} // namespace

void exitOnStopSignals(QCoreApplication *app, int exitCode)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [exitCode] { QCoreApplication::exit(exitCode); });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}
