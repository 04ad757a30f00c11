#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include "basicdata.h"
#include "fleet.h"
#include "settingsjson.h"

// Exit status of telvanor-ctl, one per kind of failure.
enum CtlExit {
    ExitOk = 0,
    ExitFailure = 1,     // anything not listed below
    ExitUsage = 2,       // unknown command or option, missing or extra argument
    ExitUnknownName = 3, // unknown field, value, tally state or target name
    ExitOutOfRange = 4,  // a number outside what its field, screen, slot or rate allows
    ExitWrongType = 5,   // the monitor's type lacks a field, or presets and copies of other types
    ExitPort = 6,        // the serial port or the network socket cannot be opened
    ExitNoReply = 7,     // a monitor did not answer in time
    ExitNotTaken = 8,    // --verify: the monitor did not take every field
    ExitFile = 9,        // a target, preset file cannot be read, written or understood
};

// Where a monitor is: "lan:10.0.0.7" or "serial:/dev/ttyUSB0#5". In a copy a
// screen may follow: "lan:10.0.0.7@2".
struct CtlTarget {
    QString name;     // as written by the caller (a target file name or the target itself)
    bool serial = false;
    QString ip;
    QString port;
    int id = 0;
    int screen = -1;  // 0-7 when given with @N

    QString key() const { return serial ? port + QLatin1Char('#') + QString::number(id) : ip; }
    // Where the fleet finds the monitor.
    Fleet::Address address() const
    {
        Fleet::Address a;
        a.port = serial ? port : QString();
        a.ip = serial ? QString() : ip;
        a.id = serial ? id : 0;
        return a;
    }
    QString text() const;
};

// A field assignment of "set".
using CtlAssignment = SettingsJson::Assignment;

struct CtlRequest {
    QString command;                 // discover get set umd tally save load copy watch
    QVector<CtlTarget> targets;
    bool allLan = false;
    QString allSerialPort;           // --all-serial PORT
    int baud = 38400;
    QVector<int> screens;            // 0-based; empty = every screen (--screens all); {0} unless given
    bool screensGiven = false;       // --screen or --screens given (screen 1 by default is not "given")
    bool json = false, raw = false, verify = false, dryRun = false, force = false, verbose = false;
    int slot = 1;                    // UMD slot 1-4
    QString umdText;                 // umd TEXT
    bool textGiven = false;          // --text TEXT given (the UMD 1 text sent along on single-UMD types)
    QString text;
    int tally = 0;
    QVector<CtlAssignment> assignments;
    QString file;                    // save / load; the map of tally-bridge
    QString targetsFile;             // --targets FILE
    int watchCycles = 0;             // --cycles N (0: until interrupted)
    bool help = false;               // print the help of the command (or of the program)
};

// Reads the arguments after the program name. Target names are looked up in
// --targets FILE. Returns ExitOk, or an exit status with *error set to one line.
int parseCtlArguments(const QStringList &args, CtlRequest *out, QString *error);

// Reads "lan:A.B.C.D", "serial:PORT#ID", each optionally followed by "@SCREEN".
// One monitor has one form: the address written back in plain decimal
// ("10.0.0.07" is 10.0.0.7), the port as canonicalPort() gives it.
bool parseCtlTarget(const QString &text, CtlTarget *out, QString *error);

// A serial port by the device it leads to: the real path behind symbolic links
// (/dev/serial/by-id/... is /dev/ttyUSB0) when the port exists, else as written.
// A bare name is taken from /dev, as the serial port opens it.
QString canonicalPort(const QString &port);

// A target file: lines "NAME TARGET" (lines starting with '#' are comments) or a JSON object
// {"NAME": "TARGET", ...}.
int readTargetFile(const QString &path, QMap<QString, CtlTarget> *out, QString *error);

// Help text of a command, or of the program for an empty or unknown command.
QString ctlHelp(const QString &command);
