#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

#include "simmonitor.h"

// The monitor's side of the protocol: which frames a monitor takes as its own,
// the replies it builds, and how a setting command changes its records. Pure
// functions over the monitor model, so they can be tested on their own.
namespace Sim {

enum class Link { Serial, Network };
std::uint8_t linkByte(Link link);

// A received frame is taken only when its length field matches its size and its
// checksum and end byte are right. why gets the reason otherwise.
bool checkFrame(const QByteArray &frame, QString *why);

// The answer to a search request: the monitor's type in byte 5, its ID in byte 7.
QByteArray searchReply(const SimMonitor &m, Link link);
// The answer to a read request for one screen: record bytes, the screen's input
// text, the name, and on type 2 the extra record bytes. mask is echoed in byte 4.
QByteArray settingsReply(const SimMonitor &m, int screen, std::uint8_t mask, Link link);

struct ScreenChange {
    int screen;
    ST_BasicData before;
    ST_BasicData after;
    int umdSlot = -1;       // slot whose text the command changed, -1: none
    QByteArray umdTextBefore;
    QByteArray umdTextAfter;
};

struct CommandResult {
    bool taken = false;     // false: the frame was no usable setting command
    QString problem;        // why it was not taken
    int group = 0;          // packet group of the command
    QVector<ScreenChange> screens; // one entry per screen of the mask the monitor has
};

// Writes the record bytes a setting command carries (command codes 0-5) into
// every screen of the frame's mask that the monitor has. Record bytes 8, 9, 22 and
// 23 are taken only by a type-2 monitor and only when the frame carries them.
CommandResult applyCommand(SimMonitor &m, const QByteArray &frame);

// Whether a monitor takes a frame as its own. Serial: its ID, or 0xFF for every
// monitor (a read needs one ID). Network: a datagram sent to the address of one
// of the monitors is for that monitor alone; any other (a broadcast) is for all.
bool isAddressed(const SimMonitor &m, const QByteArray &frame, Link link, const QString &toIp, bool toIpIsAMonitor);

struct Reply {
    int monitor;      // index into the monitor list
    QByteArray bytes;
    bool isSearchReply;
};

struct Answer {
    bool taken = false; // the frame was well formed
    bool isRead = false;
    QVector<Reply> replies;
    QStringList log;    // what the monitors did, in the operator's words
};

// The whole reaction of a set of monitors to one received frame.
Answer answer(QVector<SimMonitor> &monitors, const QByteArray &frame, Link link, const QString &toIp = QString());

} // namespace Sim
