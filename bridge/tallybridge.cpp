#include "tallybridge.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <limits>

#include "captions.h"
#include "frames.h"
#include "machinedevice.h"
#include "domains.h"
#include "fleet.h"
#include "tslreceiver.h"

namespace {
constexpr int kUmdGroup = 6;
constexpr int kNoText = 15;  // text index of a UMD frame that files no text (type 2)
constexpr int kAnyScreen = 0xFFFF, kAnyIndex = 0xFFFF;

struct LampName { const char *name; BridgeMapping::Lamp lamp; int version; };
constexpr LampName kLamps[] = {
    {"1+2", BridgeMapping::Lamp::Tally12, 31}, {"1", BridgeMapping::Lamp::Tally1, 31},
    {"2", BridgeMapping::Lamp::Tally2, 31},    {"left", BridgeMapping::Lamp::Left, 50},
    {"right", BridgeMapping::Lamp::Right, 50}, {"text", BridgeMapping::Lamp::Text, 50},
    {"none", BridgeMapping::Lamp::None, 0},
};

// The monitor's tally lamp (off, red, green, yellow) for a TSL tally (off, red, green, amber).
int lampOf(Tsl::Tally t) { return static_cast<int>(t); }

// UMD colour for the text tally: off white, red red, green green, amber yellow.
int colorOf(Tsl::Tally t)
{
    switch (t) {
    case Tsl::Tally::Red: return 1;
    case Tsl::Tally::Green: return 2;
    case Tsl::Tally::Amber: return 4;
    default: return 0;
    }
}

// The one JSON type each key of the map takes; any other is a fault, never a default.
struct KeyType { const char *key; QJsonValue::Type type; };
constexpr KeyType kListenKeys[] = {
    {"udp31", QJsonValue::Double}, {"udp5", QJsonValue::Double}, {"tcp5", QJsonValue::Double},
    {"tcp5Clients", QJsonValue::Double}, {"serial31", QJsonValue::String},
};
constexpr KeyType kDisplayKeys[] = {
    {"name", QJsonValue::String},   {"tsl", QJsonValue::String},   {"target", QJsonValue::String},
    {"screen", QJsonValue::Double}, {"umd", QJsonValue::Double},   {"tally", QJsonValue::String},
    {"label", QJsonValue::Bool},    {"labelColor", QJsonValue::Bool}, {"text", QJsonValue::String},
};

// The first key of o whose value has another type (or is a number with a fraction), or nullptr.
template <std::size_t N>
const KeyType *wrongType(const QJsonObject &o, const KeyType (&keys)[N])
{
    for (const KeyType &k : keys) {
        const QJsonValue v = o.value(QLatin1String(k.key));
        if (o.contains(QLatin1String(k.key)) && (v.type() != k.type || (v.isDouble() && v.toDouble() != v.toInt())))
            return &k;
    }
    return nullptr;
}

QString typeFault(const KeyType &k)
{
    const char *what = k.type == QJsonValue::Double ? "a whole number" : k.type == QJsonValue::Bool ? "true or false" : "a string";
    return QStringLiteral("%1: takes %2").arg(QLatin1String(k.key), QLatin1String(what));
}

// Line of each element of the top-level "displays" array, for messages.
QVector<int> elementLines(const QByteArray &raw)
{
    QVector<int> lines;
    int at = raw.indexOf("\"displays\"");
    if (at < 0)
        return lines;
    at = raw.indexOf('[', at);
    int depth = 0;
    bool inString = false;
    for (int i = at; at >= 0 && i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (depth == 1)
                lines.append(raw.left(i).count('\n') + 1);
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0)
                break;
        }
    }
    return lines;
}

// The mapping's TSL address as the map writes it: "3.1/5", "5.0/1/2".
QString tslAddress(const BridgeMapping &m)
{
    return m.version == 31 ? QStringLiteral("3.1/%1").arg(m.address) : QStringLiteral("5.0/%1/%2").arg(m.screen).arg(m.index);
}
} // namespace

bool BridgeMapping::matches(const Tsl::Display &d) const
{
    if (d.version != version)
        return false;
    if (version == 31)
        return d.index == address;
    return (d.screen == screen || d.screen == kAnyScreen) && (d.index == index || d.index == kAnyIndex);
}

int readBridgeMap(const QString &path, const QMap<QString, Fleet::Target> &names, BridgeMap *out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return ExitFile;
    }
    const QByteArray raw = f.readAll();
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(raw, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
        const int line = raw.left(pe.offset).count('\n') + 1;
        *error = QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(pe.error != QJsonParseError::NoError ? pe.errorString() : QStringLiteral("not a JSON object"));
        return ExitFile;
    }
    const QJsonObject top = doc.object();
    auto bad = [&](int line, const QString &why) {
        *error = QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(why);
        return ExitFile;
    };
    BridgeMap map;
    const QJsonObject listen = top.value("listen").toObject();
    auto port = [&](const char *key, quint16 *to) {
        const int p = listen.value(key).toInt(0);
        if (listen.contains(key) && (p < 1 || p > 65535))
            return false;
        *to = static_cast<quint16>(p);
        return true;
    };
    const int listenLine = raw.left(raw.indexOf("\"listen\"")).count('\n') + 1;
    if (const KeyType *k = wrongType(listen, kListenKeys))
        return bad(listenLine, QStringLiteral("listen: ") + typeFault(*k));
    if (!port("udp31", &map.udp31) || !port("udp5", &map.udp5) || !port("tcp5", &map.tcp5))
        return bad(listenLine, QStringLiteral("listen: ports are 1-65535"));
    map.tcp5Clients = listen.value("tcp5Clients").toInt(Tsl::Receiver::DefaultMaxClients);
    if (map.tcp5Clients < 1 || map.tcp5Clients > Tsl::Receiver::MostClients)
        return bad(listenLine, QStringLiteral("listen: tcp5Clients is 1-%1").arg(Tsl::Receiver::MostClients));
    map.serial31 = listen.value("serial31").toString();
    if (!map.udp31 && !map.udp5 && !map.tcp5 && map.serial31.isEmpty())
        return bad(listenLine, QStringLiteral("listen: give udp31, udp5, tcp5 or serial31"));

    const QJsonArray displays = top.value("displays").toArray();
    const QVector<int> lines = elementLines(raw);
    if (displays.isEmpty())
        return bad(1, QStringLiteral("no \"displays\""));
    for (int i = 0; i < displays.size(); ++i) {
        const int line = lines.value(i, 1);
        const QJsonObject o = displays.at(i).toObject();
        BridgeMapping m;
        m.line = line;
        if (const KeyType *k = wrongType(o, kDisplayKeys))
            return bad(line, typeFault(*k));
        const QStringList tsl = o.value("tsl").toString().split(QLatin1Char('/'));
        bool ok1 = false, ok2 = tsl.size() < 3;
        if (tsl.first() == QLatin1String("3.1") && tsl.size() == 2) {
            m.version = 31;
            m.address = tsl.at(1).toInt(&ok1);
            ok1 = ok1 && m.address >= 0 && m.address <= 126;
        } else if (tsl.first() == QLatin1String("5.0") && tsl.size() == 3) {
            m.version = 50;
            m.screen = tsl.at(1).toInt(&ok1);
            m.index = tsl.at(2).toInt(&ok2);
            ok1 = ok1 && m.screen >= 0 && m.screen <= 0xFFFE;
            ok2 = ok2 && m.index >= 0 && m.index <= 0xFFFE;
        }
        if (!ok1 || !ok2)
            return bad(line, QStringLiteral("tsl \"%1\": 3.1/ADDRESS (0-126) or 5.0/SCREEN/INDEX").arg(o.value("tsl").toString()));
        m.name = o.value("name").toString(m.version == 31 ? QStringLiteral("TSL %1").arg(m.address)
                                                           : QStringLiteral("TSL %1/%2").arg(m.screen).arg(m.index));
        const QString target = o.value("target").toString();
        QString why;
        if (names.contains(target))
            m.target = names.value(target);
        else if (!Fleet::parseTarget(target, &m.target, &why) || m.target.screen >= 0)
            return bad(line, why.isEmpty() ? QStringLiteral("target: give the screen with \"screen\"") : why);
        m.monitorScreen = o.value("screen").toInt(1) - 1;
        if (m.monitorScreen < 0 || m.monitorScreen >= MachineDevice::MaxScreens)
            return bad(line, QStringLiteral("screen: 1-8"));
        m.slot = o.value("umd").toInt(1) - 1;
        if (m.slot < 0 || m.slot > 3)
            return bad(line, QStringLiteral("umd: 1-4"));
        const QString lamp = o.value("tally").toString(m.version == 31 ? QStringLiteral("1+2") : QStringLiteral("left"));
        bool found = false;
        for (const LampName &l : kLamps)
            if (lamp == QLatin1String(l.name) && (l.version == 0 || l.version == m.version)) {
                m.lamp = l.lamp;
                found = true;
            }
        if (!found)
            return bad(line, QStringLiteral("tally \"%1\": %2 or none").arg(lamp, m.version == 31 ? "1+2, 1, 2" : "left, right, text"));
        m.label = o.value("label").toBool(true);
        m.labelColor = o.value("labelColor").toBool(false);
        if (m.labelColor && m.version != 50)
            return bad(line, QStringLiteral("labelColor: v3.1 has no text tally"));
        m.text = o.value("text").toString();
        if (!m.label && m.text.isEmpty())
            return bad(line, QStringLiteral("label false needs \"text\": the label the monitor keeps"));
        for (const BridgeMapping &other : qAsConst(map.displays))
            if (other.target.key() == m.target.key() && other.monitorScreen == m.monitorScreen && other.slot == m.slot)
                return bad(line, QStringLiteral("UMD %1 of screen %2 of %3 is mapped on line %4 already")
                                     .arg(m.slot + 1).arg(m.monitorScreen + 1).arg(target).arg(other.line));
        map.displays.append(m);
    }
    *out = map;
    return ExitOk;
}

TallyBridge::TallyBridge(const BridgeMap &m, bool dry, int rate, QObject *parent, Fleet::Fleet *shared)
    : QObject(parent), map(m), dryRun(dry), baud(rate), fleet(shared)
{
    tsl = new Tsl::Receiver(this);
    shown.resize(map.displays.size());
    connect(tsl, &Tsl::Receiver::displayReceived, this, &TallyBridge::onDisplay);
    for (const BridgeMapping &d : qAsConst(map.displays)) {
        Monitor &mon = monitors[d.target.key()];
        mon.target = d.target;
        mon.fleetKey = d.target.address().key();
        byFleetKey.insert(mon.fleetKey, d.target.key());
        Screen &s = mon.screens[d.monitorScreen];
        if (!d.text.isEmpty()) {
            s.text[static_cast<std::size_t>(d.slot)] = d.text;
            s.textKnown[static_cast<std::size_t>(d.slot)] = true;
        }
    }
}

TallyBridge::~TallyBridge() = default;

qint64 TallyBridge::now() const
{
    return QDateTime::currentMSecsSinceEpoch() - startedMs;
}

void TallyBridge::log(const QString &line)
{
    emit logLine(line);
}

int TallyBridge::start(QString *error)
{
    startedMs = QDateTime::currentMSecsSinceEpoch();
    if (map.tcp5Clients > 0)
        tsl->setMaxClients(map.tcp5Clients);
    bool ok = (!map.udp31 || tsl->listenUdp31(map.udp31)) && (!map.udp5 || tsl->listenUdp5(map.udp5))
        && (!map.tcp5 || tsl->listenTcp5(map.tcp5));
    if (ok && !map.serial31.isEmpty() && !tsl->openSerial31(map.serial31))
        log(QStringLiteral("TSL serial port %1 does not open (%2); retrying").arg(map.serial31, tsl->errorString()));
    if (!ok) {
        *error = QStringLiteral("cannot listen for TSL: %1").arg(tsl->errorString());
        return ExitPort;
    }
    if (dryRun)
        return ExitOk;
    if (!fleet) {
        fleet = new Fleet::Fleet(baud, this);
        // A fleet of its own: its lines' comings and goings are the bridge's to say.
        connect(fleet, &Fleet::Fleet::lineChanged, this, [this](const QString &, bool, const QString &text) { log(text); });
    }
    connect(fleet, &Fleet::Fleet::lineChanged, this, &TallyBridge::onLine);
    connect(fleet, &Fleet::Fleet::identified, this, &TallyBridge::onIdentified);
    connect(fleet, &Fleet::Fleet::recordRead, this, &TallyBridge::onRead);
    connect(fleet, &Fleet::Fleet::onlineChanged, this, &TallyBridge::onOnline);
    for (Monitor &m : monitors) {
        fleet->add(m.target.address());
        for (auto sc = m.screens.cbegin(); sc != m.screens.cend(); ++sc)
            fleet->watch(m.fleetKey, sc.key(), CheckEveryMs, QStringLiteral("bridge"));
    }
    for (const Monitor &m : qAsConst(monitors))
        fleet->openLine(m.target.address()); // one that does not open is said by the fleet, and tried again
    return ExitOk;
}

void TallyBridge::onDisplay(const Tsl::Display &d)
{
    for (int i = 0; i < map.displays.size(); ++i) {
        const BridgeMapping &m = map.displays.at(i);
        if (!m.matches(d) || shown[i].disabled)
            continue;
        int lamp = -1;
        switch (m.lamp) {
        case BridgeMapping::Lamp::Tally12: lamp = d.tally[0] ? 1 : d.tally[1] ? 2 : 0; break;
        case BridgeMapping::Lamp::Tally1: lamp = d.tally[0] ? 1 : 0; break;
        case BridgeMapping::Lamp::Tally2: lamp = d.tally[1] ? 2 : 0; break;
        case BridgeMapping::Lamp::Left: lamp = lampOf(d.left); break;
        case BridgeMapping::Lamp::Right: lamp = lampOf(d.right); break;
        case BridgeMapping::Lamp::Text: lamp = lampOf(d.text); break;
        case BridgeMapping::Lamp::None: break;
        }
        const int color = m.labelColor ? colorOf(d.text) : -1;
        const bool labelNow = m.label && d.hasLabel;
        const QString text = labelNow ? d.label.left(kUmdTextLength) : QString();

        Shown &sh = shown[i];
        const bool lampChanged = lamp >= 0 && lamp != sh.lamp;
        const bool colorChanged = color >= 0 && color != sh.color;
        const bool textChanged = labelNow && (!sh.textSet || text != sh.text);
        if (!lampChanged && !colorChanged && !textChanged)
            continue;
        if (lamp >= 0)
            sh.lamp = lamp;
        if (color >= 0)
            sh.color = color;
        if (labelNow) {
            sh.text = text;
            sh.textSet = true;
        }

        Monitor &mon = monitors[m.target.key()];
        Screen &s = mon.screens[m.monitorScreen];
        const auto slot = static_cast<std::size_t>(m.slot);
        if (lamp >= 0)
            s.lamp = lamp;
        if (color >= 0)
            s.color[slot] = color;
        if (textChanged) {
            s.text[slot] = text;
            s.textKnown[slot] = true;
            s.textPending[slot] = true;
        }
        emit stateChanged();
        if (dryRun) {
            log(changeLine(m, s) + QStringLiteral(" (dry run)"));
            continue;
        }
        sh.logPending = true; // logged once it has gone out
        s.dirty = true;
        schedule(m.target.key(), m.monitorScreen);
    }
}

QString TallyBridge::changeLine(const BridgeMapping &m, const Screen &s) const
{
    const auto slot = static_cast<std::size_t>(m.slot);
    QString line = QStringLiteral("%1: tally %2").arg(m.name, s.lamp >= 0 ? Captions::valueCaption(Field::tally, s.lamp) : QStringLiteral("-"));
    if (m.labelColor)
        line += QStringLiteral(", colour %1").arg(Captions::valueCaption(kUmdColorFields[slot], s.color[slot]));
    return line + QStringLiteral(", label \"%1\"").arg(s.textKnown[slot] ? s.text[slot] : QString());
}

void TallyBridge::schedule(const QString &monitorKey, int screen)
{
    const Monitor &m = monitors[monitorKey];
    fleet->send(m.fleetKey, QString::number(screen), [this, monitorKey, screen](Fleet::Fleet::Setting *out) {
        return buildFrame(monitorKey, screen, out);
    }, [this, monitorKey, screen](bool written) { frameSent(monitorKey, screen, written); });
}

// The frame of a screen's tally, UMD colours and one text, from the monitor's
// last record and what the bridge drives; false while it cannot go out.
bool TallyBridge::buildFrame(const QString &monitorKey, int screen, Fleet::Fleet::Setting *out)
{
    Monitor &m = monitors[monitorKey];
    Screen &s = m.screens[screen];
    const Fleet::Monitor *fm = fleet->find(m.fleetKey);
    // Not yet read, or silent: the change goes out once the monitor answers.
    if (!fm || !fm->screens[static_cast<std::size_t>(screen)].known || m.silent)
        return false;
    const bool type2 = fm->type == 2;
    ST_BasicData rec = fm->screens[static_cast<std::size_t>(screen)].record;
    if (Domains::allows(Field::tally, s.lamp))
        rec.set(Field::tally, s.lamp);
    for (std::size_t k = 0; k < 4; ++k)
        if (Domains::allows(kUmdColorFields[k], s.color[k]) && typeHasField(fm->type, kUmdColorFields[k]))
            rec.set(kUmdColorFields[k], s.color[k]);
    int textSlot = -1;
    if (type2) {
        for (int k = 0; k < 4 && textSlot < 0; ++k)
            if (s.textPending[static_cast<std::size_t>(k)])
                textSlot = k;
        rec.set(Field::umdTextIndex, textSlot >= 0 ? textSlot : kNoText);
    } else if (s.textKnown[0]) {
        textSlot = 0; // the only UMD takes the text of every frame: always its last label
    } else {
        return false; // sending now would blank a label the bridge has not seen yet
    }
    out->screenMask = 1 << screen;
    out->group = kUmdGroup;
    out->record = rec;
    out->umdText = textSlot >= 0 ? Frame::umdLabel(s.text[static_cast<std::size_t>(textSlot)]) : QString();
    s.dirty = false;
    if (textSlot >= 0)
        s.textPending[static_cast<std::size_t>(textSlot)] = false;
    return true;
}

void TallyBridge::frameSent(const QString &monitorKey, int screen, bool written)
{
    Monitor &m = monitors[monitorKey];
    Screen &s = m.screens[screen];
    if (!written) {
        // The line is gone: everything this screen shows goes out again once the
        // monitor answers (the next read, or the line's return).
        for (std::size_t k = 0; k < 4; ++k)
            s.textPending[k] = s.textKnown[k];
        s.dirty = true;
        if (!std::exchange(m.unwritten, true))
            log(QStringLiteral("%1: frame not written (%2); sent again when the monitor answers")
                    .arg(m.target.text(), fleet->lineError(m.target.address().lineKey())));
        return;
    }
    if (std::exchange(m.unwritten, false))
        log(QStringLiteral("%1: frames written again").arg(m.target.text()));
    const bool morePending = std::find(s.textPending.begin(), s.textPending.end(), true) != s.textPending.end();
    for (int i = 0; i < map.displays.size(); ++i) {
        const BridgeMapping &d = map.displays.at(i);
        if (shown[i].logPending && d.target.key() == monitorKey && d.monitorScreen == screen
            && !s.textPending[static_cast<std::size_t>(d.slot)]) { // its own text still to go
            shown[i].logPending = false;
            log(changeLine(d, s));
        }
    }
    if (morePending) {
        s.dirty = true;
        schedule(monitorKey, screen); // one text per frame: the next slot's in 500 ms
    }
}

// After an outage every mapped screen is read again and then gets its whole
// state: tally, colours and every known label.
void TallyBridge::bringUpToDate(Monitor &m)
{
    for (auto sc = m.screens.begin(); sc != m.screens.end(); ++sc) {
        Screen &s = sc.value();
        for (std::size_t k = 0; k < 4; ++k)
            s.textPending[k] = s.textKnown[k];
        s.dirty = s.dirty || s.lamp >= 0 || std::find(s.textKnown.begin(), s.textKnown.end(), true) != s.textKnown.end();
        fleet->read(m.fleetKey, sc.key(), {}, QStringLiteral("bridge"));
    }
}

// A serial line back: its monitors may have missed changes, or be others now.
void TallyBridge::onLine(const QString &lineKey, bool open)
{
    if (!open)
        return;
    for (Monitor &m : monitors)
        if (m.target.serial && m.target.address().lineKey() == lineKey)
            bringUpToDate(m);
}

// The monitor's type is known: mappings it cannot show are reported, screens it
// lacks are no longer read.
void TallyBridge::onIdentified(const QString &fleetKey)
{
    if (!byFleetKey.contains(fleetKey))
        return;
    Monitor &m = monitors[byFleetKey.value(fleetKey)];
    const Fleet::Monitor *fm = fleet->find(fleetKey);
    for (int i = 0; i < map.displays.size(); ++i) {
        const BridgeMapping &d = map.displays.at(i);
        if (d.target.key() != m.target.key() || d.slot == 0 || fm->type == 2)
            continue;
        // Its frames carry UMD 1's text: the tally goes out with UMD 1's own label, or
        // with the mapping's text; with neither it could never go out.
        const QString why = QStringLiteral("%1: a type %2 monitor has one UMD; UMD %3 of line %4 gets no label or colour")
                                .arg(d.name).arg(fm->type).arg(d.slot + 1).arg(d.line);
        const bool umd1Mapped = std::any_of(map.displays.begin(), map.displays.end(), [&](const BridgeMapping &o) {
            return o.target.key() == d.target.key() && o.monitorScreen == d.monitorScreen && o.slot == 0;
        });
        Screen &own = m.screens[d.monitorScreen];
        if (umd1Mapped) {
            log(why + QStringLiteral("; its tally goes out with UMD 1's label"));
        } else if (d.text.isEmpty()) {
            shown[i].disabled = true;
            shown[i].logPending = false;
            log(why + QStringLiteral(" and no tally: it needs \"text\" for UMD 1"));
        } else {
            if (!own.textKnown[0]) {
                own.text[0] = d.text;
                own.textKnown[0] = true;
            }
            log(why + QStringLiteral("; its tally goes out with UMD 1 text \"%1\"").arg(own.text[0]));
        }
    }
    for (auto sc = m.screens.cbegin(); sc != m.screens.cend(); ++sc) {
        if (sc.key() < fm->screenCount)
            continue;
        log(QStringLiteral("%1: a type %2 monitor has no screen %3").arg(m.target.text()).arg(fm->type).arg(sc.key() + 1));
        fleet->unwatch(fleetKey, sc.key(), QStringLiteral("bridge"));
    }
}

void TallyBridge::onRead(const QString &fleetKey, int screen)
{
    if (!byFleetKey.contains(fleetKey))
        return;
    const QString key = byFleetKey.value(fleetKey);
    Monitor &m = monitors[key];
    if (!m.screens.contains(screen))
        return;
    Screen &s = m.screens[screen];
    if (!std::exchange(s.readOnce, true)) // first read: the texts the map keeps go out now, not only after an outage
        for (const BridgeMapping &d : qAsConst(map.displays))
            if (!d.label && d.target.key() == key && d.monitorScreen == screen) {
                s.textPending[static_cast<std::size_t>(d.slot)] = true;
                s.dirty = true;
            }
    if (s.dirty)
        schedule(key, screen);
}

void TallyBridge::onOnline(const QString &fleetKey, bool online)
{
    if (!byFleetKey.contains(fleetKey))
        return;
    Monitor &m = monitors[byFleetKey.value(fleetKey)];
    if (!online && !m.silent) {
        m.silent = true;
        log(QStringLiteral("%1: not answering; retrying").arg(m.target.text()));
    } else if (online && m.silent) {
        m.silent = false;
        log(QStringLiteral("%1: answering again").arg(m.target.text()));
        bringUpToDate(m);
    }
}

QJsonArray TallyBridge::exportState() const
{
    QJsonArray entries;
    for (int i = 0; i < map.displays.size(); ++i) {
        const BridgeMapping &m = map.displays.at(i);
        const Shown &sh = shown.at(i);
        if (sh.lamp < 0 && sh.color < 0 && !sh.textSet)
            continue; // it has asked for nothing yet
        const Screen s = monitors.value(m.target.key()).screens.value(m.monitorScreen);
        QJsonObject e{{"tsl", tslAddress(m)}, {"target", m.target.text()}, {"screen", m.monitorScreen + 1}, {"umd", m.slot + 1},
                      {"lamp", sh.lamp}, {"color", sh.color}, {"screenLamp", s.lamp}};
        if (sh.textSet)
            e.insert("text", sh.text);
        entries.append(e);
    }
    return entries;
}

int TallyBridge::importState(const QJsonArray &entries, QStringList *faults)
{
    int taken = 0;
    for (int n = 0; n < entries.size(); ++n) {
        const QJsonObject e = entries.at(n).toObject();
        auto fault = [&](const QString &why) { faults->append(QStringLiteral("entry %1: %2").arg(n + 1).arg(why)); };
        auto whole = [&](const char *key, int low, int high, int *out) {
            const QJsonValue v = e.value(QLatin1String(key));
            *out = v.toInt();
            return v.isDouble() && v.toDouble() == *out && *out >= low && *out <= high;
        };
        if (!entries.at(n).isObject()) {
            fault(QStringLiteral("not an object"));
            continue;
        }
        Fleet::Target target;
        QString why;
        int screen = 0, umd = 0, lamp = 0, color = 0, screenLamp = 0;
        if (!e.value("tsl").isString())
            fault(QStringLiteral("tsl: takes a string such as \"3.1/5\""));
        else if (!e.value("target").isString() || !Fleet::parseTarget(e.value("target").toString(), &target, &why) || target.screen >= 0)
            fault(QStringLiteral("target: takes a target such as \"lan:10.0.0.7\""));
        else if (!whole("screen", 1, MachineDevice::MaxScreens, &screen))
            fault(QStringLiteral("screen: takes a whole number 1-8"));
        else if (!whole("umd", 1, 4, &umd))
            fault(QStringLiteral("umd: takes a whole number 1-4"));
        else if (!whole("lamp", -1, 3, &lamp) || !whole("screenLamp", -1, 3, &screenLamp))
            fault(QStringLiteral("lamp, screenLamp: take a tally -1-3"));
        else if (!whole("color", -1, 7, &color) || (color >= 0 && !Domains::allows(kUmdColorFields[static_cast<std::size_t>(umd - 1)], color)))
            fault(QStringLiteral("color: takes -1 or a UMD colour"));
        else if (e.contains("text") && !e.value("text").isString())
            fault(QStringLiteral("text: takes a string"));
        else if (e.value("text").toString().size() > kUmdTextLength)
            fault(QStringLiteral("text: over %1 characters").arg(kUmdTextLength));
        else
            for (int i = 0; i < map.displays.size(); ++i) {
                const BridgeMapping &m = map.displays.at(i);
                if (tslAddress(m) != e.value("tsl").toString() || m.target.key() != target.key() || m.target.serial != target.serial
                    || m.monitorScreen != screen - 1 || m.slot != umd - 1)
                    continue;
                Shown &sh = shown[i];
                sh.lamp = lamp;
                sh.color = color;
                Screen &s = monitors[m.target.key()].screens[m.monitorScreen];
                const auto slot = static_cast<std::size_t>(m.slot);
                if (screenLamp >= 0)
                    s.lamp = screenLamp;
                if (color >= 0)
                    s.color[slot] = color;
                if (e.contains("text")) {
                    sh.text = e.value("text").toString();
                    sh.textSet = true;
                    if (m.label) { // what it drives; the text a label-false mapping keeps stays the map's
                        s.text[slot] = sh.text;
                        s.textKnown[slot] = true;
                    }
                }
                ++taken;
            }
    }
    return taken;
}
