#include "line.h"

#include <QTimer>
#include <QUdpSocket>

#include "frames.h"
#include "lansocket.h"
#include "portdevice.h"

namespace Fleet {

Line::Line(const QString &port_, int baud_, QObject *parent) : QObject(parent), portName(port_), baud(baud_)
{
    if (onSerial()) {
        port = new PortDevice(this, PortDevice::SerialOnly); // the network belongs to the LAN's line
        port->keepInputOnWrite = true;
        port->setSerialPort(portName, baud);
        connect(port, &PortDevice::signalUartRecvFrame, this, [this](const QByteArray &f) { receive(QString(), f); });
    } else {
        lan = new LanSocket(this);
        connect(lan, &LanSocket::frameReceived, this, &Line::receive);
    }
}

Line::~Line()
{
    for (const Outstanding &o : qAsConst(outstanding))
        delete o.timer;
}

bool Line::isOpen() const
{
    return onSerial() ? port->isSerialOpen() : lan->isOpen();
}

bool Line::reopen()
{
    if (onSerial() && !port->isSerialOpen())
        port->setSerialPort(portName, baud);
    return isOpen();
}

QString Line::errorText() const
{
    return onSerial() ? port->serial->errorString() : lan->errorText();
}

int Line::waiting() const
{
    int n = outstanding.size() + urgentQueue.size();
    for (const QQueue<Request> &q : queues)
        n += q.size();
    return n;
}

bool Line::enqueue(const QString &user, Request request, bool urgent)
{
    QQueue<Request> &q = urgent ? urgentQueue : queues[user];
    if (q.size() >= MostWaitingPerUser)
        return false;
    if (!urgent && !users.contains(user))
        users.append(user);
    q.enqueue(std::move(request));
    pump();
    return true;
}

bool Line::write(const QString &ip, const QByteArray &frame)
{
    if (onSerial())
        return port->uartSend(frame.constData(), frame.size());
    return lan->sendTo(ip, frame);
}

void Line::broadcast(const QByteArray &frame)
{
    if (!onSerial())
        lan->broadcast(frame);
}

// Users are served in turn, one request each; a user whose requests cannot go
// yet (its monitors busy on the LAN, the bus busy on a serial line) is passed.
void Line::pump()
{
    int passed = 0;
    while ((!users.isEmpty() && passed < users.size()) || !urgentQueue.isEmpty()) {
        if (onSerial() && !outstanding.isEmpty())
            return;
        auto free = [&](const QQueue<Request> &q) {
            int at = 0;
            while (at < q.size() && outstanding.contains(slotOf(q.at(at))))
                ++at;
            return at;
        };
        Request r;
        const int urgentAt = free(urgentQueue);
        if (urgentAt < urgentQueue.size()) {
            r = urgentQueue.takeAt(urgentAt);
        } else {
            if (users.isEmpty() || passed >= users.size())
                return;
            const QString user = users.at((users.indexOf(lastServed) + 1 + passed) % users.size());
            QQueue<Request> &q = queues[user];
            const int at = free(q);
            if (at == q.size()) {
                ++passed;
                continue;
            }
            passed = 0;
            lastServed = user;
            r = q.takeAt(at);
        }
        const std::uint8_t link = onSerial() ? Frame::LinkSerial : Frame::LinkNetwork;
        const QByteArray frame = r.kind == Request::Read ? Frame::readRequest(link, r.mask, r.id)
                                                         : Frame::searchRequest(link, r.id);
        const QString slot = slotOf(r);
        const QString ip = r.ip;
        auto *timer = new QTimer;
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, slot] { finish(slot, nullptr); });
        timer->start(r.timeoutMs);
        outstanding.insert(slot, {std::move(r), timer});
        write(ip, frame);
    }
}

bool Line::answers(const Request &r, const QString &ip, const QByteArray &frame) const
{
    if (onSerial() ? Frame::byteAt(frame, Frame::OffId) != r.id : ip != r.ip)
        return false;
    if (r.kind == Request::Probe)
        return Frame::command(frame) == Frame::CmdSearch;
    return Frame::command(frame) == Frame::CmdRead && Frame::byteAt(frame, Frame::OffMask) == r.mask;
}

void Line::receive(const QString &ip, const QByteArray &frame)
{
    if (!Frame::hasCommand(frame))
        return;
    for (auto it = outstanding.cbegin(); it != outstanding.cend(); ++it) {
        if (answers(it->request, ip, frame)) {
            finish(it.key(), &frame);
            return;
        }
    }
    // Anything else answers nothing outstanding: a late reply, another
    // program's, or a monitor that speaks unasked. Only search replies are of use.
    if (Frame::command(frame) == Frame::CmdSearch)
        emit unaskedSearchReply(ip, frame);
}

void Line::finish(const QString &slot, const QByteArray *reply)
{
    auto it = outstanding.find(slot);
    if (it == outstanding.end())
        return;
    Outstanding o = it.value();
    outstanding.erase(it);
    o.timer->deleteLater();
    if (o.request.done)
        o.request.done(reply);
    pump();
}

} // namespace Fleet
