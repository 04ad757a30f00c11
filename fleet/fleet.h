#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <functional>

#include "basicdata.h"

class PacedSender;
class QTimer;

namespace Fleet {

class Line;
struct Request;

// Where a monitor is: a device ID on a serial port, or an address on the LAN.
struct Address {
    QString port; // serial port (the device it leads to); empty on the LAN
    QString ip;   // LAN address
    int id = 0;   // serial device ID 0-126
    QString device; // the path the port is opened by, when not port: a link such as
                    // /dev/serial/by-id/... follows an adapter plugged back in

    bool onSerial() const { return !port.isEmpty(); }
    QString key() const;     // "serial:PORT#ID" or "lan:IP"
    QString lineKey() const; // "serial:PORT" or "lan"
};

struct ScreenState {
    ST_BasicData record;              // as last read
    QString input;                    // the input the screen shows
    bool known = false;               // read at least once
    std::array<QString, 4> labels;    // UMD labels last sent, per slot
    std::array<bool, 4> labelSent{};
    // The fleet's send count when each record byte last went out in a setting frame.
    std::array<quint64, ST_BasicData::Size> byteSent{};
};

struct Monitor {
    Address address;
    int type = -1;        // -1 until the monitor has answered a search request
    int id = 0;           // the ID frames to it carry (on the LAN, the one it reports)
    int screenCount = 0;
    QString name;
    bool online = false;
    int failures = 0;     // requests unanswered in a row
    bool reprobe = false; // asked for its type again before the next read: it may be another monitor now
    qint64 lastAnswerMs = -1; // on the fleet's clock (msSinceStart); -1: never
    std::array<ScreenState, 8> screens;
    // Counted since the monitor was added (a service's metrics): setting frames
    // written to its line or not, requests (reads, probes) answered or timed out.
    quint64 framesWritten = 0, framesNotWritten = 0, answers = 0, timeouts = 0;
};

// The monitors on their links, for programs that serve many monitors at once
// (scripts, the tally bridge, a service): each screen's last record, input text,
// name and online state; reads through each link's bus master (see Line);
// setting frames paced per monitor, 500 ms apart; watched screens read on a
// cadence; a change event for everything that changes.
class Fleet : public QObject
{
    Q_OBJECT
public:
    static constexpr int PauseMs = 500;         // between two frames to one monitor
    static constexpr int ReplyTimeoutMs = 1000;
    static constexpr int ScanTimeoutMs = 50;    // a serial search waits this long for each ID
    static constexpr int LastSerialId = 126;
    static constexpr int OfflineAfter = 3;      // requests unanswered in a row
    static constexpr int RetryMs = 1000;        // a watched screen whose read failed is tried again after this
    static constexpr int OfflineReadMs = 5000;  // an offline monitor is tried this often
    static constexpr int SearchSettleMs = 1000; // a LAN search listens this long after its broadcast
    static constexpr int ReopenMs = 500;        // a serial port that has gone is tried again this often

    explicit Fleet(int baud = 38400, QObject *parent = nullptr);
    ~Fleet() override;

    // The monitor at this address, listed on first use (its type unknown until
    // a probe or a search). The reference stays valid while the fleet lives.
    Monitor &add(const Address &address);
    Monitor *find(const QString &key);
    QStringList keys() const { return order; }

    using Done = std::function<void(bool answered)>;
    // A search request to one monitor: tells its type (and, on the LAN, its ID).
    void probe(const QString &key, Done done, const QString &user = QString());
    // A read of one screen (0-7); the record lands in the monitor's state. An
    // urgent read (a screen someone has just opened) goes before the others waiting.
    void read(const QString &key, int screen, Done done, const QString &user = QString(), bool urgent = false);
    // Every monitor that answers on a serial port (IDs 0-126) or on the LAN;
    // the keys of those found, in ID or address order. The port as written (a
    // link is followed, and opened again by its own name when it comes back).
    void discoverSerial(const QString &device, std::function<void(QStringList)> done, const QString &user = QString());
    void discoverLan(std::function<void(QStringList)> done);

    // What one setting frame carries, asked for when the monitor's turn comes.
    struct Setting {
        int screenMask = 0x01;
        int group = 1;        // packet group 1-6
        ST_BasicData record;
        QString umdText;      // the label a group-6 frame carries
    };
    // Queues one setting frame for a monitor, at most one every 500 ms; a frame
    // still waiting under the same requestKey is replaced (a burst collapses to
    // its latest). build() fills the frame in when its turn comes, or returns
    // false to send nothing; sent() follows the write, with whether the frame
    // reached an open line. Only a frame written changes the screen's state.
    using Sent = std::function<void(bool written)>;
    void send(const QString &key, const QString &requestKey, std::function<bool(Setting *)> build, Sent sent = {});

    // Watched screens are read every everyMs, each user at its own cadence (a
    // read for one counts for all); a link's screens are due evenly spread over
    // the cadence, not together. A failed read is tried again after RetryMs, an
    // offline monitor every OfflineReadMs.
    void watch(const QString &key, int screen, int everyMs, const QString &user = QStringLiteral("watch"));
    void unwatch(const QString &key, int screen, const QString &user = QStringLiteral("watch"));

    // The link of this address, made on first use; a serial port that has gone
    // is opened again. True when the link is open. The fleet itself tries every
    // serial port that has gone each ReopenMs, for all its users at once.
    bool openLine(const Address &address);
    QStringList lineKeys() const { return lines.keys(); }
    // The serial line a port as written leads to: the fleet's line opened by that
    // name when there is one (its device may be another now), else the device.
    Address serialLine(const QString &device) const;
    QString lineError(const QString &lineKey) const;
    bool lineIsOpen(const QString &lineKey) const;
    // Requests waiting or outstanding on a link.
    int waiting(const QString &lineKey) const;

    // A label known from before a restart, taken as sent: the screen's labels and
    // labelSent as its frame left them, with no frame and no labelSent signal.
    // False when the monitor is not listed, or the screen (0-7) or slot (0-3) is out of range.
    bool restoreLabel(const QString &key, int screen, int slot, const QString &text);

    qint64 msSinceStart() const { return clock.elapsed(); }
    // A frame as received on the address's link (the links hand theirs over
    // themselves; this is for code that feeds frames from elsewhere).
    void receive(const Address &from, const QByteArray &frame);

signals:
    void onlineChanged(const QString &key, bool online);
    void identified(const QString &key); // its type (and screen count) became known, or changed
    // A serial line went (or did not open) or came back: text says so for a log.
    // Each change is said once; a line back has its monitors read at once.
    void lineChanged(const QString &lineKey, bool open, const QString &text);
    // A field changed: read from the monitor, or sent to it.
    void fieldChanged(const QString &key, int screen, Field field, int before, int after);
    void inputChanged(const QString &key, int screen, const QString &text);
    void nameChanged(const QString &key, const QString &name);
    void labelSent(const QString &key, int screen, int slot, const QString &text);
    void recordRead(const QString &key, int screen);
    // A screen read for the first time: its record, input and name hold what it showed.
    void screenKnown(const QString &key, int screen);

private:
    struct Watched {
        QString key;
        int screen = 0;
        int everyMs = 0;
        QString user;
        qint64 dueMs = 0;
        bool inFlight = false;
        const Monitor *monitor = nullptr; // found once: monitors stay while the fleet lives
    };
    Line *line(const Address &a);
    void answered(Monitor &m, bool yes);
    // A read's reply; bytes sent since the read was asked for (sendCount then) keep
    // what was sent: the monitor may have answered before the frame reached it.
    bool applyRead(Monitor &m, int screen, const QByteArray &reply, quint64 askedAt);
    // The screen's record becomes after; a fieldChanged for each field that differs.
    void changeRecord(Monitor &m, int screen, const ST_BasicData &after);
    bool applyProbe(Monitor &m, const QByteArray &reply);
    void checkLines();
    void enqueue(const Address &a, const QString &user, Request r, bool urgent, const Done &done);
    void spread();
    // Watched entries of a screen, once a read of it has ended.
    void readEnded(const QString &key, int screen, bool ok);
    void scan(const Address &port, int id, QStringList found, const std::function<void(QStringList)> &done,
              const QString &user);
    void tick();

    int baud;
    QHash<QString, Monitor *> monitors;
    QStringList order;
    QHash<QString, Line *> lines;
    QHash<QString, int> lineSaid; // per serial line: 1 open, -1 not, 0 not said yet
    QTimer *reopener = nullptr;
    bool spreadDue = false;
    PacedSender *paced = nullptr;
    QVector<Watched> watched;
    QTimer *ticker = nullptr;
    QElapsedTimer clock;
    quint64 sendCount = 0;      // setting frames sent so far
};

} // namespace Fleet
