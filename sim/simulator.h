#pragma once

#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QVector>

#include "monitorside.h"
#include "simmonitor.h"

// A set of simulated monitors with their failure modes and log. The links
// (SerialLink, NetworkLink) hand it every frame they receive and send what it
// returns; the operator changes settings on the monitors through command().
class Simulator : public QObject
{
    Q_OBJECT
public:
    explicit Simulator(QObject *parent = nullptr);

    QVector<Sim::SimMonitor> monitors;
    Sim::FailureModes failures;
    bool logFrames = false; // add the raw bytes of every frame to the log
    bool logReads = true;   // log every read request (the panel sends one a second)

    void setSeed(quint32 seed) { random.seed(seed); }
    int requestCount() const { return requests; }

    // Handles one received frame; returns the replies to send, with the failure
    // modes that concern the content (drop, silence, duplicates, bad length)
    // already applied. Timing (delay, chunks, garbage) is the link's part.
    QVector<Sim::Reply> receive(const QByteArray &frame, Sim::Link link, const QString &toIp = QString());

    // Stray bytes to write between frames; never contains the start byte.
    QByteArray garbageBytes();

    // One operator command, as typed on standard input:
    //   set MON SCREEN FIELD VALUE | byte MON SCREEN INDEX VALUE | name MON TEXT |
    //   input MON SCREEN TEXT | umd MON SCREEN SLOT TEXT | show MON [SCREEN] |
    //   list | fail MODE VALUE | help
    // MON is a serial ID or an IP address; screens and UMD slots count from 1.
    // Returns false (and logs why) when the line is not understood.
    bool command(const QString &line);
    static QString commandHelp();

    // The monitor a serial ID or an address names; -1 when there is none.
    int find(const QString &selector) const;

    void log(const QString &line);

signals:
    void logLine(const QString &line);

private:
    bool setFailure(const QString &mode, const QString &value);
    void show(int monitor, int screen);

    QRandomGenerator random{20240611u};
    int requests = 0;
    bool silenceLogged = false;
};
