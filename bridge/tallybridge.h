#pragma once

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>

#include "basicdata.h"
#include "exitstatus.h"
#include "target.h"
#include "fleet.h"
#include "tsl.h"

class QTimer;
namespace Tsl {
class Receiver;
}

// One TSL display driving one UMD slot of one monitor screen.
struct BridgeMapping {
    QString name;        // for the log; the TSL display's own key when the map gives none
    int line = 0;        // line of the entry in the map file
    int version = 31;    // 31 or 50
    int address = 0;     // v3.1 display address
    int screen = 0;      // v5 screen
    int index = 0;       // v5 display index
    Fleet::Target target;
    int monitorScreen = 0; // 0-7
    int slot = 0;          // UMD slot 0-3
    // Which TSL tally drives the monitor's tally lamp.
    enum class Lamp { Tally12, Tally1, Tally2, Left, Right, Text, None } lamp = Lamp::Tally12;
    bool label = true;       // the TSL label drives the UMD text
    bool labelColor = false; // the text tally drives the UMD colour
    QString text;            // UMD text until a label arrives (and always when label is false)

    bool matches(const Tsl::Display &d) const;
};

struct BridgeMap {
    quint16 udp31 = 0, udp5 = 0, tcp5 = 0;
    int tcp5Clients = 0;   // TCP clients served at once; 0: the receiver's default
    QString serial31;
    QVector<BridgeMapping> displays;
};

// Reads a map file (JSON). On a fault: ExitFile and "FILE:LINE: reason".
int readBridgeMap(const QString &path, const QMap<QString, Fleet::Target> &names, BridgeMap *out, QString *error);

// Listens for TSL tally and labels and drives the monitors' tally lamps and UMD
// slots: only changes go out, a burst for one display collapses to its latest
// state, each monitor's frames at least 500 ms apart. Every mapped screen is
// read now and then: its record supplies the bytes the bridge does not own,
// and a monitor that stops answering is reported, retried, and brought up to
// date when it answers again; the others go on meanwhile.
class TallyBridge : public QObject
{
    Q_OBJECT
public:
    static constexpr int CheckEveryMs = 5000;   // each mapped screen is read this often

    // With a fleet given the bridge shares its links with the fleet's other users.
    TallyBridge(const BridgeMap &map, bool dryRun, int baud, QObject *parent = nullptr, Fleet::Fleet *fleet = nullptr);
    ~TallyBridge() override;

    // Opens the TSL listeners; ExitOk, or ExitPort with *error set.
    int start(QString *error);
    // Where TSL comes in (a service counts its messages).
    Tsl::Receiver *receiver() const { return tsl; }

    // What the bridge knows per mapped display, to keep across a restart: what the
    // display last asked for (the change filter) and what it drives on its screen
    // (tally, UMD colour and label). One entry per display that has asked for
    // something, named by its TSL address, target, screen and UMD slot, so that an
    // entry finds its mapping again in a map edited meanwhile.
    QJsonArray exportState() const;
    // Takes such entries back before start(): later TSL messages are compared with
    // them, and a tally change carries the label they hold; nothing goes out for
    // them. Entries of no mapping in this map are left out; faulty ones too, each
    // with its reason in *faults ("entry 2: text: over 16 characters"). The number taken.
    int importState(const QJsonArray &entries, QStringList *faults);

signals:
    void logLine(const QString &line);
    // What exportState() gives has changed.
    void stateChanged();

private:
    struct Screen {              // what the bridge drives on one screen
        bool readOnce = false;
        int lamp = -1;           // tally to show, -1: not driven yet
        std::array<int, 4> color{{-1, -1, -1, -1}};
        std::array<QString, 4> text;
        std::array<bool, 4> textKnown{};
        std::array<bool, 4> textPending{};
        bool dirty = false;      // a change not yet sent
    };
    struct Monitor {
        Fleet::Target target;
        QString fleetKey;
        QHash<int, Screen> screens;
        bool silent = false;
        bool unwritten = false;  // its last frame could not be written
    };

    void onDisplay(const Tsl::Display &d);
    void schedule(const QString &monitorKey, int screen);
    bool buildFrame(const QString &monitorKey, int screen, Fleet::Fleet::Setting *out);
    void frameSent(const QString &monitorKey, int screen, bool written);
    void onLine(const QString &lineKey, bool open);
    void onIdentified(const QString &fleetKey);
    void onRead(const QString &fleetKey, int screen);
    void onOnline(const QString &fleetKey, bool online);
    void bringUpToDate(Monitor &m);
    void log(const QString &line);
    QString changeLine(const BridgeMapping &m, const Screen &s) const;

    BridgeMap map;
    bool dryRun;
    int baud;
    Fleet::Fleet *fleet = nullptr;
    Tsl::Receiver *tsl = nullptr;
    QHash<QString, Monitor> monitors;              // by Fleet::Target::key()
    QHash<QString, QString> byFleetKey;            // Fleet::Target::key() of each fleet key
    struct Shown {                                 // per mapping: what it last asked for (the change filter)
        int lamp = -1;
        int color = -1;
        QString text;
        bool textSet = false;
        bool logPending = false;  // a change not yet logged: it is logged once it has gone out
        bool disabled = false;    // its monitor cannot show it (a UMD slot a single-UMD type lacks, no text)
    };
    QVector<Shown> shown;
    qint64 now() const;
    qint64 startedMs = 0;
};
