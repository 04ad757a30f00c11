#pragma once

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class QTimer;

// What telvanord knows that the monitors cannot tell back, kept in one file in its
// state folder so that a restart does not forget it: the labels last sent to each
// screen's UMD slots, the monitors a search found (name and target), and the tally
// bridge's last state per mapped display. Read once at start; after a change
// written within a second, at most once a second (a change meanwhile goes with the
// next write), and at once by flush() when the service stops; each write replaces
// the file whole (a temporary file, synced, renamed over it, the folder synced).
// A file that cannot be read, or an entry in it that is faulty, is logged with its
// path and reason and left out; a folder that cannot be written is logged once.
class StateStore : public QObject
{
    Q_OBJECT
public:
    static constexpr int Version = 1;
    static constexpr int WriteAfterMs = 1000;
    static constexpr int MostBytes = 16 * 1024 * 1024;

    // A label goes back to a monitor only under the name and at the place it was sent
    // to: a serial adapter that comes up under another port after a reboot takes no
    // label meant for the monitor now at its old place.
    struct Label {
        QString monitor; // its name
        QString target;  // where it is, as the fleet's key: "serial:PORT#ID" or "lan:IP"
        int screen = 0;  // 0-7
        int slot = 0;    // 0-3
        QString text;    // as the monitor shows it: printable ASCII, at most 16 characters
    };
    struct Found {
        QString name;
        QString target;  // "serial:PORT#ID" or "lan:IP"
    };
    struct State {
        QVector<Label> labels;
        QVector<Found> monitors;
        QJsonArray bridge; // TallyBridge::exportState()'s entries, checked by the bridge
    };

    explicit StateStore(const QString &folder, QObject *parent = nullptr);

    QString folder() const { return dir; }
    QString path() const;
    // Makes the folder when missing and reads the file: what is valid in it. A
    // file this service cannot read at all (not JSON, another format or version)
    // is moved aside to PATH.damaged, so that the next write does not lose it.
    State load();
    // Logs faulty entries of the file ("labels[2]: text: over 16 characters") as left out.
    void leftOut(const QStringList &faults);
    // What a write puts in the file, asked for at each write.
    void setSource(std::function<State()> source) { this->source = std::move(source); }
    // What the source gives has changed: written within WriteAfterMs.
    void changed();
    // Writes at once what is pending (before the source's parts go).
    void flush();
    int writes() const { return written; }      // files written since start
    int failures() const { return notWritten; } // writes that failed

signals:
    void logLine(const QString &line);

private:
    bool write();
    void failed(const QString &why);

    QString dir;
    std::function<State()> source;
    QTimer *timer = nullptr;
    bool dirty = false;
    bool failing = false; // a write failed and was logged; logged again once one succeeds
    int written = 0, notWritten = 0;
};
