#pragma once

class QCoreApplication;

// SIGINT and SIGTERM end the application's event loop with this exit code (the
// handler only writes to a pipe; the loop does the rest). SIGPIPE is ignored.
void exitOnStopSignals(QCoreApplication *app, int exitCode);
