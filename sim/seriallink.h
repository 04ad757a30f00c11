#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>

#include "framegatherer.h"

class QSocketNotifier;
class QTimer;
class Simulator;

// The simulator on a serial line: either a pseudo-terminal it creates (the panel
// opens the slave side by its path) or a serial device it is given. Received
// bytes are gathered into frames and handed to the Simulator; its replies are
// written back at once, or late, in pieces or with stray bytes before them when
// those failure modes are on.
class SerialLink : public QObject
{
    Q_OBJECT
public:
    explicit SerialLink(Simulator *sim, QObject *parent = nullptr);
    ~SerialLink() override;

    // Creates a pseudo-terminal in raw mode; path() names its slave side.
    bool openPty(QString *error);
    // Opens a serial device with 8 data bits, no parity, one stop bit.
    bool openDevice(const QString &path, int baud, QString *error);
    QString path() const { return devicePath; }
    // Bytes written so far, for the tests.
    qint64 bytesWritten() const { return written; }
    // With a rate set (baud; 0: off) bytes move no faster than a real line carries
    // them, both ways: a pseudo-terminal has no line time of its own.
    void setLineRate(int baud);
    // With a line rate: when the last byte received so far was through, on the
    // clock of nowMs().
    double lastByteInMs() const { return inbound.lastDoneMs; }
    double nowMs() const { return clock.nsecsElapsed() / 1e6; }

private:
    struct Piece {
        QByteArray bytes;
        int waitMs; // pause before the piece goes out
    };
    void start();
    void onReadable();
    void onWritable();
    void queueReply(const QByteArray &reply);
    void pump();
    void writeOut(const QByteArray &bytes);
    void handleReceived(const QByteArray &bytes);

    // One direction of the line: bytes queued on it and when the last one is through.
    struct Lane {
        QByteArray pending;
        double busyUntilMs = 0;
        double lastDoneMs = 0;  // when the last byte taken off the lane was through
    };
    void enqueue(Lane &lane, const QByteArray &bytes);
    QByteArray takeArrived(Lane &lane);
    void lineTick();

    Simulator *sim;
    int fd = -1;
    int slaveFd = -1; // held open so the line stays up while no panel has it open
    QString devicePath;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer *gapTimer = nullptr;
    FrameGatherer gatherer;
    QElapsedTimer clock;
    QQueue<Piece> pieces;
    QByteArray unwritten;
    qint64 written = 0;
    double byteMs = 0;   // line time of one byte; 0: no line rate
    Lane inbound, outbound;
    QTimer *lineTimer = nullptr;
};
