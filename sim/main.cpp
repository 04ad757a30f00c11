// telvanor-monitor-sim: plays one or many monitors on a serial line and on the
// network, answering the panel as real monitors do, and logs what arrives in the
// settings' own terms.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

#include "networklink.h"
#include "seriallink.h"
#include "simulator.h"
#include "stopsignals.h"

namespace {
void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

void err(const QString &line)
{
    std::fprintf(stderr, "telvanor-monitor-sim: %s\n", line.toLocal8Bit().constData());
}

const char *kDescription =
    "Plays one or many monitors for the Telvanor panel, on a serial line and on the network.\n"
    "\n"
    "Monitors (--monitor, repeatable) are comma-separated key=value lists:\n"
    "  type=T     device type 0-255 (screens: 4 and 129 have 3, 5, 128, 130 and 131 have 2, others 1)\n"
    "  id=N       serial ID 0-126; a monitor without ip is on the serial line\n"
    "  ip=A.B.C.D address of a monitor on the network (must be configured on this host);\n"
    "             its search reply carries id (default 0)\n"
    "  name=TEXT  the 16-character name (no commas)\n"
    "  input=TEXT the 18-character input text of every screen\n"
    "  count=N    N monitors with consecutive IDs or addresses\n"
    "  pad=zero   name and input texts padded with zero bytes instead of blanks\n"
    "Examples:\n"
    "  telvanor-monitor-sim --monitor \"type=4,id=5,name=CAM 1\" --monitor type=2,id=7\n"
    "  telvanor-monitor-sim --monitor type=2,ip=10.77.0.7 --monitor type=1,ip=10.77.0.11,count=20\n"
    "\n"
    "Links: monitors with an id use the serial line (a new pseudo-terminal unless\n"
    "--serial-device is given), monitors with an ip use the network (UDP port 19523 on\n"
    "--bind). --serial and --network open a link even without monitors for it.\n"
    "Once every link is open a line starting with 'ready' is printed.\n"
    "\n"
    "Commands on standard input (and in --at) change the monitors while they run:\n";

struct Options {
    QCommandLineOption monitor{"monitor", "A monitor, see above (repeatable).", "description"};
    QCommandLineOption serial{"serial", "Open the serial link: create a pseudo-terminal and print its path."};
    QCommandLineOption serialDevice{"serial-device", "Use this serial device instead of a pseudo-terminal.", "path"};
    QCommandLineOption baud{"baud", "Baud rate of --serial-device (default 38400).", "rate", "38400"};
    QCommandLineOption lineRate{"line-rate", "Serial bytes take the time a line at this baud rate needs, both ways (a pseudo-terminal has none).", "baud"};
    QCommandLineOption ptyLink{"pty-link", "Make a symlink to the pseudo-terminal at this path (removed on exit).", "path"};
    QCommandLineOption ptyFile{"pty-file", "Write the pseudo-terminal's path into this file.", "file"};
    QCommandLineOption network{"network", "Open the network link."};
    QCommandLineOption bind{"bind", "Local address of the network socket (default 0.0.0.0).", "address", "0.0.0.0"};
    QCommandLineOption port{"port", "UDP port of the network socket (default 19523).", "port", "19523"};
    QCommandLineOption delay{"delay-ms", "Failure mode: send every reply this many milliseconds late.", "ms"};
    QCommandLineOption drop{"drop-percent", "Failure mode: leave this share of replies unsent (0-100).", "percent"};
    QCommandLineOption stopAfter{"stop-after", "Failure mode: fall silent (no answers, no changes) after N requests.", "n"};
    QCommandLineOption chunk{"chunk", "Failure mode: write serial replies in pieces of N bytes.", "n"};
    QCommandLineOption chunkGap{"chunk-gap-ms", "Pause between the pieces of --chunk (default 2).", "ms"};
    QCommandLineOption garbage{"garbage", "Failure mode: stray bytes before every reply (a stray datagram on the network)."};
    QCommandLineOption duplicate{"duplicate-search-reply", "Failure mode: send every search reply twice."};
    QCommandLineOption badLength{"bad-search-length", "Failure mode: search replies announce one byte more than they have."};
    QCommandLineOption ignoreSettings{"ignore-settings", "Failure mode: setting commands change nothing (reads are still answered)."};
    QCommandLineOption seed{"seed", "Seed for --drop-percent and --garbage (default fixed).", "n"};
    QCommandLineOption at{"at", "Run a command (see above) this many milliseconds after start (repeatable).", "ms:command"};
    QCommandLineOption hex{"hex", "Log the raw bytes of every frame received and sent."};
    QCommandLineOption quietReads{"quiet-reads", "Do not log read requests (the panel sends one a second)."};
};

bool intOption(const QCommandLineParser &p, const QCommandLineOption &o, int lo, int hi, int *out)
{
    if (!p.isSet(o))
        return true;
    bool ok = false;
    const int v = p.value(o).toInt(&ok, 0);
    if (!ok || v < lo || v > hi) {
        err(QStringLiteral("--%1 takes %2-%3").arg(o.names().first()).arg(lo).arg(hi));
        return false;
    }
    *out = v;
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvanor-monitor-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.0"));

    Options o;
    QCommandLineParser parser;
    QString description = QString::fromLatin1(kDescription);
    for (const QString &l : Simulator::commandHelp().split(QLatin1Char('\n')))
        description += QStringLiteral("  ") + l + QLatin1Char('\n');
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({o.monitor, o.serial, o.serialDevice, o.baud, o.lineRate, o.ptyLink, o.ptyFile, o.network, o.bind, o.port,
                       o.delay, o.drop, o.stopAfter, o.chunk, o.chunkGap, o.garbage, o.duplicate, o.badLength,
                       o.ignoreSettings, o.seed, o.at, o.hex, o.quietReads});
    parser.process(app);

    Simulator sim;
    QObject::connect(&sim, &Simulator::logLine, [](const QString &line) {
        out(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + line);
    });

    for (const QString &description : parser.values(o.monitor)) {
        QString why;
        if (!Sim::parseMonitorDescription(description, &sim.monitors, &why)) {
            err(QStringLiteral("--monitor %1: %2").arg(description, why));
            return 2;
        }
    }
    if (sim.monitors.isEmpty()) {
        err(QStringLiteral("no monitor given; try --monitor type=4,id=1 (see --help)"));
        return 2;
    }
    for (int i = 0; i < sim.monitors.size(); ++i)
        for (int j = 0; j < i; ++j)
            if (sim.monitors.at(i).label() == sim.monitors.at(j).label()) {
                err(QStringLiteral("two monitors are %1").arg(sim.monitors.at(i).label()));
                return 2;
            }

    Sim::FailureModes &f = sim.failures;
    int seed = -1, port = NetworkLink::MonitorPort, baud = 38400, lineRate = 0;
    if (!intOption(parser, o.delay, 0, 60000, &f.delayMs) || !intOption(parser, o.drop, 0, 100, &f.dropPercent)
        || !intOption(parser, o.stopAfter, 0, 1 << 30, &f.stopAfter) || !intOption(parser, o.chunk, 1, 4096, &f.chunkBytes)
        || !intOption(parser, o.chunkGap, 0, 10000, &f.chunkGapMs) || !intOption(parser, o.seed, 0, 0x7fffffff, &seed)
        || !intOption(parser, o.port, 1, 65535, &port) || !intOption(parser, o.baud, 1, 4000000, &baud)
        || !intOption(parser, o.lineRate, 300, 4000000, &lineRate))
        return 2;
    f.garbage = parser.isSet(o.garbage);
    f.duplicateSearchReply = parser.isSet(o.duplicate);
    f.badSearchLength = parser.isSet(o.badLength);
    f.ignoreSettings = parser.isSet(o.ignoreSettings);
    if (seed >= 0)
        sim.setSeed(static_cast<quint32>(seed));
    sim.logFrames = parser.isSet(o.hex);
    sim.logReads = !parser.isSet(o.quietReads);

    bool serialMonitors = false, networkMonitors = false;
    for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
        (m.onNetwork() ? networkMonitors : serialMonitors) = true;
    const bool explicitLinks = parser.isSet(o.serial) || parser.isSet(o.serialDevice) || parser.isSet(o.network);
    const bool useSerial = explicitLinks ? parser.isSet(o.serial) || parser.isSet(o.serialDevice) : serialMonitors;
    const bool useNetwork = explicitLinks ? parser.isSet(o.network) : networkMonitors;

    QStringList ready;
    SerialLink serial(&sim);
    serial.setLineRate(lineRate);
    QString ptyLinkPath;
    if (useSerial) {
        QString why;
        const bool ok = parser.isSet(o.serialDevice) ? serial.openDevice(parser.value(o.serialDevice), baud, &why)
                                                     : serial.openPty(&why);
        if (!ok) {
            err(why);
            return 1;
        }
        if (parser.isSet(o.ptyLink) && !parser.isSet(o.serialDevice)) {
            ptyLinkPath = parser.value(o.ptyLink);
            const QFileInfo existing(ptyLinkPath);
            if (existing.isSymLink())
                QFile::remove(ptyLinkPath);
            if (!QFile::link(serial.path(), ptyLinkPath)) {
                err(QStringLiteral("cannot make the link %1").arg(ptyLinkPath));
                return 1;
            }
        }
        if (parser.isSet(o.ptyFile)) {
            QFile file(parser.value(o.ptyFile));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                || file.write(serial.path().toLocal8Bit() + '\n') < 0) {
                err(QStringLiteral("cannot write %1").arg(file.fileName()));
                return 1;
            }
        }
        ready << QStringLiteral("serial=%1").arg(ptyLinkPath.isEmpty() ? serial.path() : ptyLinkPath);
    } else if (serialMonitors) {
        err(QStringLiteral("warning: monitors with an id but no serial link"));
    }

    NetworkLink network(&sim);
    if (useNetwork) {
        QString why;
        if (!network.open(parser.value(o.bind), static_cast<quint16>(port), &why)) {
            err(why);
            return 1;
        }
        ready << QStringLiteral("network=%1:%2").arg(parser.value(o.bind)).arg(port);
    } else if (networkMonitors) {
        err(QStringLiteral("warning: monitors with an ip but no network link"));
    }

    // Operator commands: scripted ones and lines typed on standard input.
    for (const QString &item : parser.values(o.at)) {
        const int colon = item.indexOf(QLatin1Char(':'));
        bool ok = false;
        const int ms = colon > 0 ? item.left(colon).toInt(&ok) : -1;
        if (!ok || ms < 0) {
            err(QStringLiteral("--at takes MS:COMMAND, not '%1'").arg(item));
            return 2;
        }
        const QString cmd = item.mid(colon + 1);
        QTimer::singleShot(ms, &sim, [&sim, cmd] { sim.command(cmd); });
    }
    QByteArray stdinLine;
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, [&] {
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdinNotifier.setEnabled(false); // end of input: keep running
            return;
        }
        stdinLine.append(buf, static_cast<int>(n));
        int nl;
        while ((nl = stdinLine.indexOf('\n')) >= 0) {
            sim.command(QString::fromLocal8Bit(stdinLine.left(nl)));
            stdinLine.remove(0, nl + 1);
        }
    });

    // SIGINT and SIGTERM end the event loop, so everything is cleaned up.
    exitOnStopSignals(&app, 0);

    for (const Sim::SimMonitor &m : qAsConst(sim.monitors))
        sim.log(QStringLiteral("%1: type %2, %3 screen(s), name '%4'")
                    .arg(m.label())
                    .arg(m.type)
                    .arg(m.screenCount())
                    .arg(Sim::shownText(m.name)));
    out(QStringLiteral("ready %1").arg(ready.join(QLatin1Char(' '))));

    const int rc = app.exec();
    if (!ptyLinkPath.isEmpty())
        QFile::remove(ptyLinkPath);
    return rc;
}
