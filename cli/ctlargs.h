#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include "basicdata.h"
#include "exitstatus.h"
#include "fleet.h"
#include "target.h"
#include "settingsjson.h"



// A field assignment of "set".
using CtlAssignment = SettingsJson::Assignment;

struct CtlRequest {
    QString command;                 // discover get set umd tally save load copy watch
    QVector<Fleet::Target> targets;
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


// A target file: lines "NAME TARGET" (lines starting with '#' are comments) or a JSON object
// {"NAME": "TARGET", ...}.
int readTargetFile(const QString &path, QMap<QString, Fleet::Target> *out, QString *error);

// Help text of a command, or of the program for an empty or unknown command.
QString ctlHelp(const QString &command);
