#include "ctlargs.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

#include "captions.h"
#include "domains.h"
#include "frames.h"
#include "machinedevice.h"

namespace {
const QStringList kCommands = {"discover", "get", "set", "umd", "tally", "save", "load", "copy", "watch", "tally-bridge"};
const QStringList kFlags = {"--all-lan", "--json", "--raw", "--verify", "--dry-run", "--force", "--verbose", "-v", "--help", "-h"};
const QStringList kValued = {"--targets", "--all-serial", "--baud", "--screen", "--screens", "--slot", "--text", "--cycles", "--target", "-t"};
const QStringList kTallies = {"off", "red", "green", "yellow"};

int fail(QString *error, int status, const QString &text)
{
    *error = text;
    return status;
}

bool number(const QString &text, int *out)
{
    bool ok = false;
    *out = text.toInt(&ok, 10);
    return ok;
}

} // namespace

int readTargetFile(const QString &path, QMap<QString, Fleet::Target> *out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return fail(error, ExitFile, QStringLiteral("cannot read target file %1: %2").arg(path, f.errorString()));
    const QByteArray data = f.readAll();
    QVector<QPair<QString, QString>> entries;
    if (data.trimmed().startsWith('{')) {
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &pe);
        if (!doc.isObject())
            return fail(error, ExitFile, QStringLiteral("%1: not a JSON object: %2").arg(path, pe.errorString()));
        const QJsonObject o = doc.object();
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (!it.value().isString())
                return fail(error, ExitFile, QStringLiteral("%1: target of '%2' is not a string").arg(path, it.key()));
            entries.append({it.key(), it.value().toString()});
        }
    } else {
        const QList<QByteArray> lines = data.split('\n');
        for (int n = 0; n < lines.size(); ++n) {
            const QString line = QString::fromUtf8(lines.at(n)).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (words.size() != 2)
                return fail(error, ExitFile, QStringLiteral("%1:%2: expected NAME TARGET").arg(path).arg(n + 1));
            entries.append({words.at(0), words.at(1)});
        }
    }
    for (const auto &e : entries) {
        Fleet::Target t;
        QString why;
        if (!Fleet::parseTarget(e.second, &t, &why))
            return fail(error, ExitFile, QStringLiteral("%1: %2: %3").arg(path, e.first, why));
        t.name = e.first;
        out->insert(e.first, t);
    }
    return ExitOk;
}

int parseCtlArguments(const QStringList &args, CtlRequest *out, QString *error)
{
    CtlRequest r;
    QStringList positional;
    QMap<QString, QString> values;
    QStringList targetWords;
    for (int i = 0; i < args.size(); ++i) {
        QString a = args.at(i);
        QString value;
        const int eq = a.indexOf(QLatin1Char('='));
        const bool isOption = a.startsWith(QLatin1Char('-')) && a.size() > 1;
        if (isOption && eq > 0) {
            value = a.mid(eq + 1);
            a = a.left(eq);
        }
        if (isOption && kFlags.contains(a)) {
            if (eq > 0)
                return fail(error, ExitUsage, QStringLiteral("option %1 takes no value").arg(a));
            values.insert(a, QString());
        } else if (isOption && kValued.contains(a)) {
            if (eq < 0) {
                if (i + 1 >= args.size())
                    return fail(error, ExitUsage, QStringLiteral("option %1 needs a value").arg(a));
                value = args.at(++i);
            }
            if (a == QLatin1String("--target") || a == QLatin1String("-t"))
                targetWords += value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            else
                values.insert(a, value);
        } else if (isOption && a != QLatin1String("-")) {
            return fail(error, ExitUsage, QStringLiteral("unknown option %1").arg(a));
        } else {
            positional.append(args.at(i));
        }
    }
    r.help = values.contains("--help") || values.contains("-h");
    if (positional.isEmpty()) {
        if (r.help) {
            *out = r;
            return ExitOk;
        }
        return fail(error, ExitUsage, QStringLiteral("no command (try --help)"));
    }
    r.command = positional.takeFirst();
    if (!kCommands.contains(r.command))
        return fail(error, ExitUsage, QStringLiteral("unknown command '%1' (try --help)").arg(r.command));
    if (r.help) {
        *out = r;
        return ExitOk;
    }
    r.allLan = values.contains("--all-lan");
    r.allSerialPort = values.value("--all-serial");
    r.json = values.contains("--json");
    r.raw = values.contains("--raw");
    r.verify = values.contains("--verify");
    r.dryRun = values.contains("--dry-run");
    r.force = values.contains("--force");
    r.verbose = values.contains("--verbose") || values.contains("-v");
    if (values.contains("--text")) {
        r.textGiven = true;
        r.text = values.value("--text");
        if (!Frame::sendsAsWritten(r.text))
            return fail(error, ExitOutOfRange, QStringLiteral("--text '%1': labels are printable ASCII (anything else goes out as blanks)").arg(r.text));
    }
    if (values.contains("--baud")) {
        if (!number(values.value("--baud"), &r.baud))
            return fail(error, ExitUsage, QStringLiteral("--baud takes a number"));
        if (r.baud != 38400 && r.baud != 19200 && r.baud != 57600)
            return fail(error, ExitOutOfRange, QStringLiteral("--baud %1: the monitors run at 38400, 19200 or 57600").arg(r.baud));
    }
    if (values.contains("--screen") && values.contains("--screens"))
        return fail(error, ExitUsage, QStringLiteral("give --screen or --screens, not both"));
    r.screens = {0};
    r.screensGiven = values.contains("--screen") || values.contains("--screens");
    if (values.contains("--screens")) {
        if (values.value("--screens") != QLatin1String("all"))
            return fail(error, ExitUsage, QStringLiteral("--screens takes 'all' (one screen: --screen N)"));
        r.screens.clear();
    } else if (values.contains("--screen")) {
        int s = 0;
        if (!number(values.value("--screen"), &s))
            return fail(error, ExitUsage, QStringLiteral("--screen takes a number"));
        if (s < 1 || s > MachineDevice::MaxScreens)
            return fail(error, ExitOutOfRange, QStringLiteral("--screen %1: screens are 1-8").arg(s));
        r.screens = {s - 1};
    }
    if (values.contains("--slot")) {
        if (!number(values.value("--slot"), &r.slot))
            return fail(error, ExitUsage, QStringLiteral("--slot takes a number"));
        if (r.slot < 1 || r.slot > 4)
            return fail(error, ExitOutOfRange, QStringLiteral("--slot %1: UMD slots are 1-4").arg(r.slot));
    }
    if (values.contains("--cycles") && (!number(values.value("--cycles"), &r.watchCycles) || r.watchCycles < 1))
        return fail(error, ExitUsage, QStringLiteral("--cycles takes a positive number"));

    // The command's own last argument(s); what is left names targets.
    const QString &c = r.command;
    if (c == QLatin1String("umd") || c == QLatin1String("tally") || c == QLatin1String("save")
        || c == QLatin1String("load") || c == QLatin1String("tally-bridge")) {
        if (positional.isEmpty())
            return fail(error, ExitUsage, QStringLiteral("%1: missing %2").arg(c, c == QLatin1String("umd") ? "TEXT" : c == QLatin1String("tally") ? "STATE" : "FILE"));
        const QString last = positional.takeLast();
        if (c == QLatin1String("umd"))
            r.umdText = last;
        if (c == QLatin1String("umd") && !Frame::sendsAsWritten(last))
            return fail(error, ExitOutOfRange, QStringLiteral("umd '%1': labels are printable ASCII (anything else goes out as blanks)").arg(last));
        else if (c == QLatin1String("tally")) {
            r.tally = kTallies.indexOf(last.toLower());
            if (r.tally < 0)
                return fail(error, ExitUnknownName, QStringLiteral("tally '%1': off, red, green or yellow").arg(last));
        } else
            r.file = last;
    } else if (c == QLatin1String("set")) {
        for (int i = positional.size() - 1; i >= 0; --i) {
            const QString &w = positional.at(i);
            const int eq = w.indexOf(QLatin1Char('='));
            if (eq < 0)
                continue;
            CtlAssignment as;
            if (!Captions::findField(w.left(eq), &as.field))
                return fail(error, ExitUnknownName, QStringLiteral("unknown field '%1'").arg(w.left(eq)));
            const QString v = w.mid(eq + 1).trimmed();
            bool isNumber = false;
            const int n = v.toInt(&isNumber, 0);
            if (isNumber && !Domains::allows(as.field, n))
                return fail(error, ExitOutOfRange, QStringLiteral("%1=%2: %1 takes %3")
                                                       .arg(QLatin1String(fieldInfo(as.field).name), v, Domains::text(as.field)));
            if (!Captions::parseValue(as.field, v, &as.value))
                return fail(error, ExitUnknownName, QStringLiteral("%1=%2: unknown value").arg(QLatin1String(fieldInfo(as.field).name), v));
            r.assignments.prepend(as);
            positional.removeAt(i);
        }
        if (r.assignments.isEmpty())
            return fail(error, ExitUsage, QStringLiteral("set: no FIELD=VALUE"));
    }
    targetWords += positional;

    QMap<QString, Fleet::Target> named;
    r.targetsFile = values.value("--targets");
    if (values.contains("--targets")) {
        const int status = readTargetFile(values.value("--targets"), &named, error);
        if (status != ExitOk)
            return status;
    }
    for (const QString &w : qAsConst(targetWords)) {
        Fleet::Target t;
        const int at = w.lastIndexOf(QLatin1Char('@'));
        const QString base = at > 0 ? w.left(at) : w;
        if (named.contains(base)) {
            t = named.value(base);
            QString why;
            Fleet::Target withScreen;
            if (at > 0) {
                if (!Fleet::parseTarget(t.text() + w.mid(at), &withScreen, &why))
                    return fail(error, ExitUsage, why);
                t.screen = withScreen.screen;
            }
        } else {
            QString why;
            if (!Fleet::parseTarget(w, &t, &why))
                return fail(error, w.contains(QLatin1Char(':')) ? ExitUsage : ExitUnknownName, why);
        }
        r.targets.append(t);
    }

    const bool everything = r.allLan || !r.allSerialPort.isEmpty();
    if (c == QLatin1String("copy")) {
        if (r.targets.size() != 2 || everything)
            return fail(error, ExitUsage, QStringLiteral("copy: give FROM and TO"));
    } else if (c == QLatin1String("save")) {
        if (r.targets.size() != 1 || everything)
            return fail(error, ExitUsage, QStringLiteral("save: give one target and FILE"));
    } else if (c == QLatin1String("tally-bridge")) {
        if (!r.targets.isEmpty() || everything)
            return fail(error, ExitUsage, QStringLiteral("tally-bridge: the map file names the monitors"));
    } else if (c != QLatin1String("discover") && r.targets.isEmpty() && !everything) {
        return fail(error, ExitUsage, QStringLiteral("%1: no target (lan:A.B.C.D, serial:PORT#ID, a name, --all-lan or --all-serial PORT)").arg(c));
    }
    *out = r;
    return ExitOk;
}

QString ctlHelp(const QString &command)
{
    static const QMap<QString, QString> kHelp = {
        {"discover", "discover [--all-lan] [--all-serial PORT [--baud RATE]]\n"
                     "  Searches for monitors (the LAN when no link is given: a broadcast from every\n"
                     "  interface; a serial line: IDs 0-126) and lists each with its address or ID,\n"
                     "  type, screens, name and the input of every screen."},
        {"get", "get TARGET... [--screen N | --screens all] [--json | --raw]\n"
                "  Prints a screen's settings: every field by name with its value's caption,\n"
                "  the monitor's name and the screen's input. --raw: the 59 record bytes in hex."},
        {"set", "set TARGET... FIELD=VALUE... [--screen N | --screens all] [--verify] [--text TEXT]\n"
                "  Changes fields (names as in 'get', values as captions or the numbers the\n"
                "  field defines: levels 0-100, markerThickness 1-15, the others their listed\n"
                "  values), in the fewest packet groups, 500 ms apart. --verify reads back every\n"
                "  screen and lists any field the monitor did not take. A field the monitor's\n"
                "  type lacks is refused."},
        {"umd", "umd TARGET... TEXT [--slot 1-4] [--screen N]\n"
                "  Sets the text of a UMD (16 characters; others blank). Slots 2-4: type 2 only."},
        {"tally", "tally TARGET... off|red|green|yellow [--text TEXT] [--screen N]\n"
                  "  Sets the tally lamp. Monitors other than type 2 take UMD 1's text with every\n"
                  "  tally change: give it with --text, or the change is refused."},
        {"save", "save TARGET FILE [--screen N | --screens all]\n"
                 "  Writes a preset: device type, screens and their settings, as JSON."},
        {"load", "load TARGET... FILE [--screen N] [--force] [--dry-run] [--text TEXT]\n"
                 "  Applies a preset; only the packet groups that differ from the monitor's\n"
                 "  settings go out. Another device type is refused unless --force. --dry-run\n"
                 "  prints what would be sent."},
        {"copy", "copy FROM TO\n"
                 "  Copies a screen (TARGET@N) or a whole monitor to another of the same type;\n"
                 "  the whole record, six packet groups 500 ms apart, per screen."},
        {"watch", "watch TARGET... [--screen N | --screens all] [--cycles N]\n"
                  "  Reads once a second and prints every change of a field, until interrupted."},
        {"tally-bridge", "tally-bridge MAP [--dry-run] [--targets FILE]\n"
                         "  Listens for TSL UMD 3.1 and 5.0 tally and labels and drives the monitors'\n"
                         "  tally lamps and UMD texts as MAP (JSON) says; logs one line per change;\n"
                         "  --dry-run logs without sending. Runs until interrupted."},
    };
    if (kHelp.contains(command))
        return QStringLiteral("Usage: telvanor-ctl ") + kHelp.value(command) + QLatin1Char('\n');
    QString text = QStringLiteral(
        "Usage: telvanor-ctl COMMAND [TARGET...] [ARGS] [OPTIONS]\n"
        "Controls broadcast monitors on the LAN or an RS-422 line from scripts.\n\n"
        "Targets: lan:A.B.C.D, serial:PORT#ID (ID 0-126), a NAME from --targets FILE\n"
        "(lines 'NAME TARGET' or a JSON object), or --all-lan / --all-serial PORT.\n\n"
        "Commands:\n");
    for (auto it = kHelp.begin(); it != kHelp.end(); ++it)
        text += QStringLiteral("  ") + it.value().section(QLatin1Char('\n'), 0, 0) + QLatin1Char('\n');
    text += QStringLiteral(
        "\nOptions: --baud 38400|19200|57600, --screen N, --screens all, --json, --targets FILE,\n"
        "-v/--verbose (protocol log on standard error), COMMAND --help.\n"
        "Exit status: 0 done, 2 usage, 3 unknown field/value/name, 4 out of range, 5 wrong\n"
        "device type, 6 port cannot be opened, 7 no reply in time, 8 not taken (--verify),\n"
        "9 file, 1 other.\n");
    return text;
}
