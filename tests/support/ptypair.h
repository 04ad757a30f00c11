#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

#include "framegatherer.h"

class QSocketNotifier;

// A pseudo-terminal pair: the panel opens the slave by path as its serial
// port; the test plays the monitor on the master side.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    QString slavePath() const { return path; }
    int masterFd() const { return master; }
    void write(const QByteArray &bytes) const;
    void closeMaster();

private:
    int master = -1;
    int slave = -1;
    QString path;
};

// One frame as seen by a test peer.
struct SeenFrame {
    QByteArray bytes;
    qint64 atMs;       // time of arrival on the peer's clock
    QString from;      // sender address (network)
    QString to;        // destination address the datagram was sent to (network)
};

// Reads frames from the master side of a pseudo-terminal and lets the test answer.
class SerialPeer : public QObject
{
    Q_OBJECT
public:
    explicit SerialPeer(PtyPair &pty);
    QList<SeenFrame> frames;
    // Called for each frame; returns the bytes to write back (may be empty).
    std::function<QByteArray(const QByteArray &)> answer;
signals:
    void frameSeen(QByteArray frame);
private:
    void onReadable();
    PtyPair &pty;
    QSocketNotifier *notifier;
    FrameGatherer gatherer;
    QElapsedTimer clock;
};
