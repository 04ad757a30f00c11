#include "fleet.h"

#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

#include "frames.h"
#include "line.h"
#include "machinedevice.h"
#include "pacedsender.h"
#include "target.h"

namespace Fleet {

QString Address::key() const
{
    return onSerial() ? QStringLiteral("serial:%1#%2").arg(port).arg(id) : QStringLiteral("lan:") + ip;
}

QString Address::lineKey() const
{
    return onSerial() ? QStringLiteral("serial:") + port : QStringLiteral("lan");
}

Fleet::Fleet(int baud_, QObject *parent) : QObject(parent), baud(baud_)
{
    clock.start();
    paced = new PacedSender(PauseMs, this);
    ticker = new QTimer(this);
    ticker->setSingleShot(true);
    connect(ticker, &QTimer::timeout, this, &Fleet::tick);
    reopener = new QTimer(this);
    connect(reopener, &QTimer::timeout, this, &Fleet::checkLines);
    reopener->start(ReopenMs);
}

Fleet::~Fleet()
{
    qDeleteAll(lines); // before the monitors: an outstanding request's end may name one
    lines.clear();
    qDeleteAll(monitors);
}

Line *Fleet::line(const Address &a)
{
    Line *&l = lines[a.lineKey()];
    if (!l)
        l = new Line(a.device.isEmpty() ? a.port : a.device, baud, this);
    return l;
}

Monitor &Fleet::add(const Address &address)
{
    Monitor *&m = monitors[address.key()];
    if (!m) {
        m = new Monitor;
        m->address = address;
        m->id = address.id;
        order.append(address.key());
        line(address);
    }
    return *m;
}

Monitor *Fleet::find(const QString &key)
{
    return monitors.value(key);
}

bool Fleet::openLine(const Address &address)
{
    const bool open = line(address)->reopen();
    if (address.onSerial())
        checkLines(); // said at once, and its monitors read
    return open;
}

// Every serial line that has gone is opened again; a change is said once. A
// line back has its monitors asked for their type and read at once: the
// adapter may lead to other monitors now, and every user waits for them.
void Fleet::checkLines()
{
    const QStringList keys = lines.keys(); // what a listener does may add a line
    for (const QString &key : keys) {
        Line *l = lines.value(key);
        if (!l->onSerial())
            continue;
        const bool open = l->reopen();
        int &said = lineSaid[key];
        if (said == (open ? 1 : -1) || (said == 0 && open)) {
            said = open ? 1 : -1;
            continue;
        }
        const bool before = said != 0;
        said = open ? 1 : -1;
        const QString port = l->path();
        if (!open) {
            emit lineChanged(key, false, before ? QStringLiteral("serial port %1 is gone (%2); opened again when it returns").arg(port, l->errorText())
                                                     : QStringLiteral("serial port %1 does not open (%2); opened when it appears").arg(port, l->errorText()));
            continue;
        }
        const qint64 now = msSinceStart();
        for (Monitor *m : qAsConst(monitors))
            if (m->address.lineKey() == key)
                m->reprobe = m->type >= 0;
        for (Watched &w : watched)
            if (!w.inFlight && w.monitor && w.monitor->address.lineKey() == key)
                w.dueMs = now;
        ticker->start(0);
        emit lineChanged(key, true, QStringLiteral("serial port %1 open again").arg(port));
    }
}

void Fleet::receive(const Address &from, const QByteArray &frame)
{
    line(from)->receive(from.ip, frame);
}

bool Fleet::lineIsOpen(const QString &lineKey) const
{
    const Line *l = lines.value(lineKey);
    return l && l->isOpen();
}

QString Fleet::lineError(const QString &lineKey) const
{
    const Line *l = lines.value(lineKey);
    return l ? l->errorText() : QString();
}

int Fleet::waiting(const QString &lineKey) const
{
    const Line *l = lines.value(lineKey);
    return l ? l->waiting() : 0;
}

void Fleet::answered(Monitor &m, bool yes)
{
    ++(yes ? m.answers : m.timeouts);
    if (yes) {
        m.failures = 0;
        m.lastAnswerMs = msSinceStart();
        if (!std::exchange(m.online, true))
            emit onlineChanged(m.address.key(), true);
    } else if (++m.failures == OfflineAfter) { // also a monitor that never answered
        m.online = false;
        emit onlineChanged(m.address.key(), false);
    }
}

bool Fleet::applyProbe(Monitor &m, const QByteArray &reply)
{
    MachineDevice d;
    d.setDeviceType(Frame::byteAt(reply, Frame::OffType));
    const bool changed = m.type != d.deviceType; // the first answer, or another monitor at the same place
    if (changed && m.type >= 0)
        for (ScreenState &st : m.screens)
            st = ScreenState(); // another layout: nothing it showed holds, nor a label sent to the one before
    m.type = d.deviceType;
    m.screenCount = d.screenCount;
    m.reprobe = false;
    if (!m.address.onSerial())
        m.id = Frame::byteAt(reply, Frame::OffId); // frames to a LAN monitor carry the ID it reports
    if (changed)
        emit identified(m.address.key());
    return true;
}

void Fleet::probe(const QString &key, Done done, const QString &user)
{
    Monitor *m = find(key);
    if (!m) {
        if (done)
            done(false);
        return;
    }
    Request r;
    r.kind = Request::Probe;
    r.monitor = key;
    r.id = static_cast<std::uint8_t>(m->address.onSerial() ? m->address.id : Frame::AllDevices);
    r.ip = m->address.ip;
    r.timeoutMs = ReplyTimeoutMs;
    r.done = [this, key, done](const QByteArray *reply) {
        Monitor *mon = find(key);
        const bool ok = mon && reply && applyProbe(*mon, *reply);
        if (mon)
            answered(*mon, reply != nullptr);
        if (done)
            done(ok);
    };
    enqueue(m->address, user, std::move(r), false, done);
}

bool Fleet::applyRead(Monitor &m, int screen, const QByteArray &reply, quint64 askedAt)
{
    const int payload = m.type == 2 ? SettingsReply::Type2PayloadLength : SettingsReply::PayloadLength;
    if (reply.size() < SettingsReply::PayloadOffset + payload)
        return false; // cut short: its zeros must never become a record
    ScreenState &st = m.screens[static_cast<std::size_t>(screen)];
    MachineDevice d;
    d.setDeviceType(m.type);
    d.basicData = st.record;
    const std::uint8_t mask = Frame::byteAt(reply, Frame::OffMask);
    d.applySettingsReply(reply.mid(SettingsReply::PayloadOffset), mask);
    for (std::size_t b = 0; b < st.byteSent.size(); ++b)
        if (st.byteSent[b] > askedAt)
            d.basicData.bytes[b] = st.record.bytes[b];
    const QString input = d.inputText[static_cast<std::size_t>(screen)];
    const bool first = !std::exchange(st.known, true);
    const QString key = m.address.key();
    if (first)
        st.record = d.basicData;
    else
        changeRecord(m, screen, d.basicData);
    if (std::exchange(st.input, input) != input && !first)
        emit inputChanged(key, screen, input);
    if (std::exchange(m.name, d.deviceName) != d.deviceName && !first)
        emit nameChanged(key, d.deviceName);
    if (first)
        emit screenKnown(key, screen);
    emit recordRead(key, screen);
    return true;
}

void Fleet::changeRecord(Monitor &m, int screen, const ST_BasicData &after)
{
    ScreenState &st = m.screens[static_cast<std::size_t>(screen)];
    const ST_BasicData before = std::exchange(st.record, after);
    if (!st.known)
        return;
    for (const FieldInfo &fi : kFields)
        if (typeHasField(m.type, fi.field) && before.get(fi.field) != after.get(fi.field))
            emit fieldChanged(m.address.key(), screen, fi.field, before.get(fi.field), after.get(fi.field));
}

void Fleet::read(const QString &key, int screen, Done done, const QString &user, bool urgent)
{
    Monitor *m = find(key);
    if (!m || screen < 0 || screen >= MachineDevice::MaxScreens) {
        if (done)
            done(false);
        return;
    }
    // The reply's layout follows the type: asked first when unknown, and again for a
    // monitor that fell silent (another may answer at its ID or address now; a
    // silent one costs one time-out either way).
    if (m->type < 0 || m->reprobe || m->failures >= OfflineAfter) {
        probe(key, [this, key, screen, done, user, urgent](bool ok) {
            if (ok)
                read(key, screen, done, user, urgent);
            else if (done)
                done(false);
        }, user);
        return;
    }
    Request r;
    r.kind = Request::Read;
    r.monitor = key;
    r.id = static_cast<std::uint8_t>(m->id);
    r.ip = m->address.ip;
    r.mask = static_cast<std::uint8_t>(1u << screen);
    r.timeoutMs = ReplyTimeoutMs;
    r.done = [this, key, screen, done, askedAt = sendCount](const QByteArray *reply) {
        Monitor *mon = find(key);
        const bool ok = mon && reply && applyRead(*mon, screen, *reply, askedAt);
        if (mon && reply && !ok)
            mon->reprobe = true; // a reply whose layout is not its type's: another monitor answers there now
        if (mon)
            answered(*mon, reply != nullptr);
        if (done)
            done(ok);
    };
    enqueue(m->address, user, std::move(r), urgent, done);
}

// A request the link has no room for ends unanswered once the caller has
// returned; it says nothing of the monitor.
void Fleet::enqueue(const Address &a, const QString &user, Request r, bool urgent, const Done &done)
{
    if (!line(a)->enqueue(user, std::move(r), urgent) && done)
        QTimer::singleShot(0, this, [done] { done(false); });
}

void Fleet::scan(const Address &port, int id, QStringList found, const std::function<void(QStringList)> &done,
                 const QString &user)
{
    if (id > LastSerialId) {
        done(found);
        return;
    }
    Address a = port;
    a.id = id;
    const QString key = a.key();
    Request r;
    r.kind = Request::Probe;
    r.monitor = key;
    r.id = static_cast<std::uint8_t>(id);
    r.timeoutMs = ScanTimeoutMs;
    r.done = [this, a, port, id, found, done, user](const QByteArray *reply) mutable {
        if (reply) {
            Monitor &m = add(a);
            applyProbe(m, *reply);
            answered(m, true);
            found << a.key();
        }
        scan(port, id + 1, found, done, user);
    };
    if (!line(a)->enqueue(user, std::move(r)))
        QTimer::singleShot(0, this, [found, done] { done(found); }); // no room: the search ends with what it found
}

Address Fleet::serialLine(const QString &device) const
{
    Address a;
    a.device = device;
    for (auto it = lines.cbegin(); it != lines.cend(); ++it)
        if (it.value()->onSerial() && it.value()->path() == device)
            a.port = it.key().mid(int(qstrlen("serial:")));
    if (a.port.isEmpty())
        a.port = canonicalPort(device);
    return a;
}

void Fleet::discoverSerial(const QString &device, std::function<void(QStringList)> done, const QString &user)
{
    const Address a = serialLine(device);
    line(a);
    scan(a, 0, {}, done, user.isEmpty() ? QStringLiteral("discovery") : user);
}

void Fleet::discoverLan(std::function<void(QStringList)> done)
{
    Line *l = line(Address());
    auto found = std::make_shared<QStringList>();
    auto heard = connect(l, &Line::unaskedSearchReply, this, [this, found](const QString &ip, const QByteArray &reply) {
        Address a;
        a.ip = ip;
        Monitor &m = add(a);
        applyProbe(m, reply);
        answered(m, true);
        if (!found->contains(a.key()))
            found->append(a.key());
    });
    l->broadcast(Frame::searchRequest(Frame::LinkNetwork, Frame::AllDevices));
    // The broadcast has gone out of every local interface at once.
    QTimer::singleShot(SearchSettleMs, this, [this, heard, found, done] {
        disconnect(heard);
        std::sort(found->begin(), found->end(), [this](const QString &a, const QString &b) {
            return monitors.value(a)->address.ip.section(QLatin1Char('.'), 3).toInt()
                < monitors.value(b)->address.ip.section(QLatin1Char('.'), 3).toInt();
        });
        done(*found);
    });
}

void Fleet::send(const QString &key, const QString &requestKey, std::function<bool(Setting *)> build, Sent sent)
{
    if (!find(key))
        return;
    paced->request(key, requestKey, [this, key, build, sent] {
        Monitor *m = find(key);
        if (!m)
            return;
        Setting s;
        if (!build(&s))
            return;
        Frame::Header h;
        h.link = m->address.onSerial() ? Frame::LinkSerial : Frame::LinkNetwork;
        h.mask = static_cast<std::uint8_t>(s.screenMask);
        h.id = static_cast<std::uint8_t>(m->id);
        const QByteArray frame = Frame::settingCommand(s.group, h, s.record, s.umdText, m->type == 2);
        if (frame.isEmpty() || !line(m->address)->write(m->address.ip, frame)) {
            ++m->framesNotWritten;
            if (sent)
                sent(false);
            return;
        }
        ++sendCount;
        ++m->framesWritten;
        const GroupBytes *g = groupBytes(s.group);
        // What went out is each screen's state until a read says otherwise, so
        // that the next frame to the monitor, whoever builds it, carries it on.
        for (int screen = 0; g && screen < MachineDevice::MaxScreens; ++screen) {
            if (!(s.screenMask & (1 << screen)))
                continue;
            ScreenState &st = m->screens[static_cast<std::size_t>(screen)];
            ST_BasicData after = st.record;
            auto take = [&](int b) {
                after.bytes[static_cast<std::size_t>(b)] = s.record.bytes[static_cast<std::size_t>(b)];
                st.byteSent[static_cast<std::size_t>(b)] = sendCount;
            };
            for (int b : g->bytes)
                if (b >= 0)
                    take(b);
            for (int b : g->type2Bytes)
                if (b >= 0 && m->type == 2)
                    take(b);
            changeRecord(*m, screen, after);
        }
        if (g && g->carriesUmdText) {
            // Type 2 files the text under the slot its text index names (15: none);
            // the other types take it as UMD 1's label.
            const int slot = m->type == 2 ? s.record.get(Field::umdTextIndex) : 0;
            for (int screen = 0; slot < 4 && screen < MachineDevice::MaxScreens; ++screen) {
                if (!(s.screenMask & (1 << screen)))
                    continue;
                ScreenState &st = m->screens[static_cast<std::size_t>(screen)];
                st.labels[static_cast<std::size_t>(slot)] = s.umdText;
                st.labelSent[static_cast<std::size_t>(slot)] = true;
                emit labelSent(key, screen, slot, s.umdText);
            }
        }
        if (sent)
            sent(true);
    });
}

bool Fleet::restoreLabel(const QString &key, int screen, int slot, const QString &text)
{
    Monitor *m = find(key);
    if (!m || screen < 0 || screen >= MachineDevice::MaxScreens || slot < 0 || slot > 3)
        return false;
    ScreenState &st = m->screens[static_cast<std::size_t>(screen)];
    st.labels[static_cast<std::size_t>(slot)] = Frame::umdLabel(text);
    st.labelSent[static_cast<std::size_t>(slot)] = true;
    return true;
}

void Fleet::watch(const QString &key, int screen, int everyMs, const QString &user)
{
    for (Watched &w : watched)
        if (w.key == key && w.screen == screen && w.user == user) {
            w.everyMs = everyMs;
            return;
        }
    // A read of the screen on its way for another user counts for this one too.
    const bool reading = std::any_of(watched.begin(), watched.end(), [&](const Watched &w) { return w.key == key && w.screen == screen && w.inFlight; });
    watched.append({key, screen, everyMs, user, msSinceStart(), reading, find(key)});
    if (!std::exchange(spreadDue, true))
        QTimer::singleShot(0, this, &Fleet::spread); // once for many screens watched at once
}

void Fleet::unwatch(const QString &key, int screen, const QString &user)
{
    watched.erase(std::remove_if(watched.begin(), watched.end(),
                                 [&](const Watched &w) { return w.key == key && w.screen == screen && w.user == user; }),
                  watched.end());
}

// The watched screens of each link are due one after the other, evenly over
// their cadence, from now on: the n-th of N at n/N of it.
void Fleet::spread()
{
    spreadDue = false;
    const qint64 now = msSinceStart();
    QHash<QString, QVector<Watched *>> byLine;
    for (Watched &w : watched)
        if (w.monitor || (w.monitor = find(w.key)))
            byLine[w.monitor->address.lineKey()].append(&w);
    for (const QVector<Watched *> &ws : qAsConst(byLine))
        for (int i = 0; i < ws.size(); ++i)
            if (!ws[i]->inFlight)
                ws[i]->dueMs = now + qint64(ws[i]->everyMs) * i / ws.size();
    tick();
}

void Fleet::readEnded(const QString &key, int screen, bool ok)
{
    const Monitor *m = find(key);
    const bool offline = m && m->failures >= OfflineAfter;
    const qint64 now = msSinceStart();
    for (Watched &x : watched) {
        if (x.monitor != m || x.screen != screen || !m)
            continue;
        x.inFlight = false;
        // On its cadence when it answered (the spread kept); else soon again.
        const qint64 next = ok ? std::max(x.dueMs + x.everyMs, now + x.everyMs / 2) : now + (offline ? OfflineReadMs : RetryMs);
        x.dueMs = std::min(next, now + x.everyMs);
    }
    ticker->start(0); // one pass over the watched screens for all the reads that end together
}

// Every watched screen that is due is asked for, in list order, so each link
// serves its monitors round robin; a screen watched by several users is read
// once for all. The next turn is planned for the earliest due.
void Fleet::tick()
{
    const qint64 now = msSinceStart();
    qint64 next = std::numeric_limits<qint64>::max();
    for (Watched &w : watched) {
        if (w.inFlight)
            continue;
        if (w.dueMs > now) {
            next = std::min(next, w.dueMs);
            continue;
        }
        if (!w.monitor && !(w.monitor = find(w.key)))
            continue;
        const QString key = w.key;
        const int screen = w.screen;
        for (Watched &x : watched) // one read for every user of the screen
            if (x.monitor == w.monitor && x.screen == screen)
                x.inFlight = true;
        read(key, screen, [this, key, screen](bool ok) { readEnded(key, screen, ok); }, w.user);
    }
    if (next != std::numeric_limits<qint64>::max())
        ticker->start(static_cast<int>(std::max<qint64>(0, next - now)));
}

} // namespace Fleet
