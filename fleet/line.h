#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class LanSocket;
class PortDevice;
class QTimer;

namespace Fleet {

// One request that waits for an answer: a read of one screen, or a search
// request to one monitor (a probe).
struct Request {
    enum Kind { Read, Probe } kind = Read;
    QString monitor;           // key of the monitor asked
    std::uint8_t id = 0;       // device ID the frame carries
    QString ip;                // LAN address; empty on a serial line
    std::uint8_t mask = 0x01;  // screen mask of a read
    int timeoutMs = 1000;
    // Called once: with the reply, or with nullptr when the time ran out.
    std::function<void(const QByteArray *reply)> done;
};

// One link to monitors: the LAN, or one serial port. It is the bus master of
// its link: requests wait in one queue per user and are served in turn, user
// after user; a reply is taken only as the answer of the request it matches
// (the monitor's ID or address, the command, the screen) and anything else is
// dropped. On a serial line one request is outstanding at a time, since the
// monitors share the receive pair; on the LAN each monitor may have one of its
// own, so reads of different monitors overlap. Setting frames go out at once
// and never disturb a reply on its way.
class Line : public QObject
{
    Q_OBJECT
public:
    // port empty: the LAN. A serial port is opened by the path given, as written.
    Line(const QString &port, int baud, QObject *parent = nullptr);
    static constexpr int MostWaitingPerUser = 4096;
    ~Line() override;

    bool onSerial() const { return !portName.isEmpty(); }
    QString path() const { return portName; } // the serial port as it is opened
    bool isOpen() const;
    // Opens the serial port again when it has gone; true when it is open.
    bool reopen();
    QString errorText() const;

    // An urgent request goes before every other waiting. False, and the request
    // dropped, when its user (or the urgent queue) has MostWaitingPerUser waiting.
    bool enqueue(const QString &user, Request request, bool urgent = false);
    // A frame that needs no answer (a setting command), written at once; false
    // when it did not reach an open port or socket.
    bool write(const QString &ip, const QByteArray &frame);
    // A search request from every local interface (LAN only).
    void broadcast(const QByteArray &frame);
    int waiting() const;
    // A frame received from a monitor (ip empty on a serial line): the answer of
    // the request it matches, or dropped. The port hands every frame here.
    void receive(const QString &ip, const QByteArray &frame);

signals:
    // A search reply that answered no request (a LAN discovery hears them).
    void unaskedSearchReply(const QString &ip, const QByteArray &frame);

private:
    struct Outstanding {
        Request request;
        QTimer *timer = nullptr;
    };
    bool answers(const Request &r, const QString &ip, const QByteArray &frame) const;
    void pump();
    void finish(const QString &slot, const QByteArray *reply);
    QString slotOf(const Request &r) const { return onSerial() ? QString() : r.monitor; }

    QString portName;
    int baud;
    PortDevice *port = nullptr; // a serial line's
    LanSocket *lan = nullptr;   // the LAN's: every local interface at once
    QHash<QString, QQueue<Request>> queues; // per user
    QQueue<Request> urgentQueue;             // served first
    QStringList users;                       // in order of first request; served in turn
    QString lastServed;                      // the user whose request went out last
    QHash<QString, Outstanding> outstanding; // per monitor on the LAN, one ("") on a serial line
};

} // namespace Fleet
