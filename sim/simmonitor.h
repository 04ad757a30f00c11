#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <array>

#include "basicdata.h"
#include "machinedevice.h"

// The simulated monitors: what each one is and what it currently holds.
namespace Sim {

constexpr int UmdSlots = 4;
constexpr int MaxSerialId = 126;

struct Screen {
    ST_BasicData record;
    QByteArray inputText;                     // SettingsReply::InputTextLength bytes
    std::array<QByteArray, UmdSlots> umdText; // kUmdTextLength bytes each, as last received
};

struct SimMonitor {
    int type = 1;
    int id = 0;      // serial ID; a network monitor reports it in its search reply
    QString ip;      // empty for a monitor on the serial line
    QByteArray name; // SettingsReply::NameLength bytes
    QVector<Screen> screens;

    // What the monitor has been asked so far, for the operator and the tests.
    int searchesAnswered = 0;
    int readsAnswered = 0;
    int commandsApplied = 0;

    bool onNetwork() const { return !ip.isEmpty(); }
    int screenCount() const { return screens.size(); }
    // "ID 5" on the serial line, the address on the network.
    QString label() const;
};

// What can go wrong on purpose. Every mode is off by default.
struct FailureModes {
    int delayMs = 0;                  // every reply waits this long
    int dropPercent = 0;              // share of replies that are never sent
    int stopAfter = -1;               // after this many requests the monitors fall silent; -1: never
    int chunkBytes = 0;               // serial replies go out in pieces of this many bytes; 0: whole
    int chunkGapMs = 2;               // pause between two pieces
    bool garbage = false;             // stray bytes (never the start byte) ahead of every reply
    bool duplicateSearchReply = false; // every search reply is sent twice
    bool badSearchLength = false;     // the length field of a search reply is one too large
    bool ignoreSettings = false;      // setting commands change nothing (reads are still answered)
};

// Text fitted to a fixed-width field: Latin-1, cut, padded with blanks.
QByteArray fixedText(const QString &text, int length);
// A field's bytes as readable text: trailing NULs dropped, other unprintables as '.'.
QString shownText(const QByteArray &bytes);

// A monitor with plausible starting settings. The screen count follows the type;
// levels differ from screen to screen and from monitor to monitor.
SimMonitor makeMonitor(int type, int id, const QString &ip, const QString &name = QString());

// Parses a monitor description such as "type=4,id=5,name=CAM 1" or
// "type=2,ip=10.77.0.7". Keys: type, id, ip, name, input, count (count=N makes N
// monitors with consecutive IDs or addresses), pad (pad=zero: the name and input
// texts end in zero bytes instead of blanks). Appends to out.
bool parseMonitorDescription(const QString &description, QVector<SimMonitor> *out, QString *error);

} // namespace Sim
