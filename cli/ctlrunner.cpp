#include "ctlrunner.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QFile>
#include <QJsonDocument>
#include <QTime>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>

#include "captions.h"
#include "datastream.h"
#include "fleet.h"
#include "domains.h"
#include "tallybridge.h"
#include "typerules.h"

namespace {
constexpr int kTries = 3;          // a read or probe is asked this often before "no reply"
constexpr int kSearchLimitMs = 30000;
constexpr int kPollMs = 5;

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// The status of a command whose parts failed in different ways: a monitor that
// did not take a setting (8) counts worse than one that did not answer (7).
int worse(int a, int b)
{
    auto rank = [](int status) { return status == ExitNotTaken ? 100 : status; };
    return rank(b) > rank(a) ? b : a;
}

} // namespace

CtlRunner::CtlRunner(const CtlRequest &request, QObject *parent) : QObject(parent), req(request)
{
    fleet = new Fleet::Fleet(req.baud, this);
}

CtlRunner::~CtlRunner() = default;

int CtlRunner::fail(int status, const QString &line)
{
    std::fprintf(stderr, "telvanor-ctl: %s\n", line.toUtf8().constData());
    return status;
}

bool CtlRunner::waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms || DataStream::quitting())
            return false;
        DataStream::waitMs(kPollMs);
    }
    return true;
}

QString CtlRunner::label(const Fleet::Target &t, int screen) const
{
    Fleet::Target base = t;
    base.screen = -1;
    const QString where = t.name.contains(QLatin1Char(':')) ? base.text() : QStringLiteral("%1 (%2)").arg(t.name, base.text());
    return screen < 0 ? where : QStringLiteral("%1 screen %2").arg(where).arg(screen + 1);
}

int CtlRunner::useLink(const Fleet::Target &t)
{
    if (fleet->openLine(t.address()))
        return ExitOk;
    if (t.serial)
        return fail(ExitPort, QStringLiteral("cannot open serial port %1: %2").arg(t.port, fleet->lineError(t.address().lineKey())));
    return fail(ExitPort, QStringLiteral("cannot open the network socket (UDP port %1)").arg(PortDevice::LocalUdpPort));
}

// Asks the fleet and waits for its answer: true when the monitor answered.
bool CtlRunner::ask(const std::function<void(Fleet::Fleet::Done)> &request)
{
    auto answer = std::make_shared<int>(-1); // outlives this call should the wait end first
    request([answer](bool ok) { *answer = ok; });
    waitUntil([&] { return *answer >= 0; }, Fleet::Fleet::ReplyTimeoutMs * 3);
    return *answer == 1;
}

int CtlRunner::locate(const Fleet::Target &t, Fleet::Monitor **device)
{
    const int status = useLink(t);
    if (status != ExitOk)
        return status;
    Fleet::Monitor &m = fleet->add(t.address());
    for (int i = 0; i < kTries && m.type < 0; ++i)
        ask([&](Fleet::Fleet::Done done) { fleet->probe(t.address().key(), done); });
    if (m.type < 0)
        return fail(ExitNoReply, QStringLiteral("%1: no reply").arg(label(t, -1)));
    *device = &m;
    return ExitOk;
}

int CtlRunner::readScreen(const Fleet::Target &t, int screen, Fleet::Monitor **device)
{
    int status = locate(t, device);
    if (status != ExitOk)
        return status;
    if (screen >= (*device)->screenCount)
        return fail(ExitOutOfRange, QStringLiteral("%1: screen %2, but a type %3 monitor has %4")
                                        .arg(label(t, -1)).arg(screen + 1).arg((*device)->type).arg((*device)->screenCount));
    for (int i = 0; i < kTries; ++i)
        if (ask([&](Fleet::Fleet::Done done) { fleet->read(t.address().key(), screen, done); }))
            return ExitOk;
    return fail(ExitNoReply, QStringLiteral("%1: no reply").arg(label(t, screen)));
}

int CtlRunner::locateScreens(const Fleet::Target &t, Fleet::Monitor **found, QVector<int> *screens)
{
    const int status = locate(t, found);
    if (status != ExitOk)
        return status;
    Fleet::Monitor *device = *found;
    screens->clear();
    if (t.screen >= 0)
        screens->append(t.screen);
    else if (!req.screens.isEmpty())
        *screens = req.screens;
    else
        for (int s = 0; s < device->screenCount; ++s)
            screens->append(s);
    for (int s : qAsConst(*screens))
        if (s >= device->screenCount)
            return fail(ExitOutOfRange, QStringLiteral("%1: screen %2, but a type %3 monitor has %4")
                                            .arg(label(t, -1)).arg(s + 1).arg(device->type).arg(device->screenCount));
    return ExitOk;
}

int CtlRunner::search(bool serial, const QString &port, QVector<Fleet::Target> *found)
{
    Fleet::Target link;
    link.serial = serial;
    link.port = port;
    int status = useLink(link);
    if (status != ExitOk)
        return status;
    auto keys = std::make_shared<QStringList>();
    auto done = std::make_shared<bool>(false);
    auto finished = [keys, done](const QStringList &k) { *keys = k; *done = true; };
    if (serial)
        fleet->discoverSerial(port, finished);
    else
        fleet->discoverLan(finished);
    waitUntil([&] { return *done; }, kSearchLimitMs);
    for (const QString &key : qAsConst(*keys)) {
        const Fleet::Monitor *m = fleet->find(key);
        Fleet::Target t;
        t.serial = serial;
        t.port = port;
        t.id = m->address.id;
        t.ip = m->address.ip;
        t.name = t.text();
        found->append(t);
    }
    return ExitOk;
}

int CtlRunner::expandAll()
{
    if (req.allLan) {
        const int status = search(false, QString(), &req.targets);
        if (status != ExitOk)
            return status;
    }
    if (!req.allSerialPort.isEmpty()) {
        const int status = search(true, req.allSerialPort, &req.targets);
        if (status != ExitOk)
            return status;
    }
    return ExitOk;
}

// Monitors other than type 2 file the text of every packet group 6 as UMD 1's:
// without a text to send along, such a frame would blank the label.
int CtlRunner::checkUmdText(const Plan &plan)
{
    if (plan.device->type == 2 || !plan.groups.contains(6) || req.textGiven || req.dryRun
        || req.command == QLatin1String("umd"))
        return ExitOk;
    return fail(ExitUsage, QStringLiteral("%1: a type %2 monitor takes UMD 1's text with every UMD or tally change; "
                                          "give the text to keep with --text")
                               .arg(label(plan.target, plan.screen)).arg(plan.device->type));
}

// The plan's packet groups in order, 500 ms apart (the fleet's pace for one
// monitor): ExitOk once the last has gone out, ExitPort when one could not be written.
int CtlRunner::send(const Plan &plan)
{
    auto left = std::make_shared<int>(plan.groups.size());
    auto lost = std::make_shared<int>(0);
    Fleet::Fleet::Setting setting;
    setting.screenMask = 1 << plan.screen;
    setting.record = plan.after;
    setting.umdText = plan.umdText;
    for (int g : plan.groups) {
        setting.group = g;
        fleet->send(plan.target.address().key(), QString::number(++sendCount), [setting](Fleet::Fleet::Setting *s) { *s = setting; return true; },
                    [left, lost](bool written) { --*left; *lost += !written; });
    }
    if (!waitUntil([&] { return *left == 0; }, Fleet::Fleet::PauseMs * (plan.groups.size() + 2)))
        return fail(ExitFailure, QStringLiteral("%1: interrupted").arg(label(plan.target, plan.screen)));
    if (*lost)
        return fail(ExitPort, QStringLiteral("%1: %2 of %3 frame(s) not written: the line is gone (%4)")
                                  .arg(label(plan.target, plan.screen)).arg(*lost).arg(plan.groups.size())
                                  .arg(fleet->lineError(plan.target.address().lineKey())));
    return ExitOk;
}

// Checks every plan, then sends them one after the other (each group 500 ms
// after the last); with --verify reads every screen back.
int CtlRunner::applyPlans(QVector<Plan> &plans)
{
    for (const Plan &p : qAsConst(plans)) {
        const int status = checkUmdText(p);
        if (status != ExitOk)
            return status;
    }
    for (const Plan &p : qAsConst(plans)) {
        if (p.groups.isEmpty()) {
            out(QStringLiteral("%1: nothing to change").arg(label(p.target, p.screen)));
            continue;
        }
        QStringList names;
        for (int g : p.groups)
            names << Captions::groupCaption(g);
        if (req.dryRun) {
            out(QStringLiteral("%1: would send %2").arg(label(p.target, p.screen), names.join(QLatin1String(", "))));
            for (const QString &line : Captions::describeChanges(p.before, p.after))
                out(QStringLiteral("  ") + line);
            continue;
        }
        Fleet::Monitor *d = nullptr;
        int status = useLink(p.target);
        if (status == ExitOk)
            status = locate(p.target, &d);
        if (status != ExitOk)
            return status;
        Plan plan = p;
        plan.device = d;
        status = send(plan);
        if (status != ExitOk)
            return status;
        if (!req.json)
            out(QStringLiteral("%1: sent %2").arg(label(p.target, p.screen), names.join(QLatin1String(", "))));
    }
    if (!req.verify || req.dryRun)
        return ExitOk;
    // Every screen is read back and reported; the worst result is returned.
    int result = ExitOk;
    for (const Plan &p : qAsConst(plans)) {
        Fleet::Monitor *d = nullptr;
        const int status = readScreen(p.target, p.screen, &d);
        if (status != ExitOk) {
            result = worse(result, status);
            continue;
        }
        QStringList missed;
        for (const FieldInfo &fi : kFields)
            if (fi.field != Field::umdTextIndex && typeHasField(d->type, fi.field)
                && p.after.get(fi.field) != p.before.get(fi.field) && d->screens[static_cast<std::size_t>(p.screen)].record.get(fi.field) != p.after.get(fi.field))
                missed << QStringLiteral("%1 (sent %2, reads %3)")
                              .arg(QLatin1String(fi.name), Captions::valueCaption(fi.field, p.after.get(fi.field)),
                                   Captions::valueCaption(fi.field, d->screens[static_cast<std::size_t>(p.screen)].record.get(fi.field)));
        if (!missed.isEmpty()) {
            result = worse(result, fail(ExitNotTaken, QStringLiteral("%1: not taken: %2")
                                                          .arg(label(p.target, p.screen), missed.join(QLatin1String(", ")))));
        } else {
            out(QStringLiteral("%1: verified").arg(label(p.target, p.screen)));
        }
    }
    return result;
}

int CtlRunner::run()
{
    if (req.command == QLatin1String("tally-bridge"))
        return tallyBridge();
    if (req.command != QLatin1String("discover")) {
        const int status = expandAll();
        if (status != ExitOk)
            return status;
        if (req.targets.isEmpty())
            return fail(ExitNoReply, QStringLiteral("no monitor found"));
    }
    const QString &c = req.command;
    if (c == QLatin1String("discover"))
        return discover();
    if (c == QLatin1String("get"))
        return get();
    if (c == QLatin1String("set") || c == QLatin1String("tally"))
        return setFields();
    if (c == QLatin1String("umd"))
        return umd();
    if (c == QLatin1String("save"))
        return save();
    if (c == QLatin1String("load"))
        return load();
    if (c == QLatin1String("copy"))
        return copy();
    return watch();
}

int CtlRunner::discover()
{
    QVector<Fleet::Target> found;
    int status = ExitOk;
    if (req.allLan || req.allSerialPort.isEmpty())
        status = search(false, QString(), &found);
    if (status == ExitOk && !req.allSerialPort.isEmpty())
        status = search(true, req.allSerialPort, &found);
    if (status != ExitOk)
        return status;
    QJsonArray list;
    for (const Fleet::Target &t : qAsConst(found)) {
        Fleet::Monitor *d = nullptr;
        QJsonArray inputs;
        QStringList shown;
        const Fleet::Monitor *m = fleet->find(t.address().key());
        for (int s = 0; s < m->screenCount; ++s) {
            if (readScreen(t, s, &d) != ExitOk) {
                inputs.append(QJsonValue());
                break;
            }
            const QString input = Frame::shownText(m->screens[static_cast<std::size_t>(s)].input);
            inputs.append(input);
            shown << QStringLiteral("%1: \"%2\"").arg(s + 1).arg(input);
        }
        const QString name = Frame::shownText(m->name);
        const int type = m->type;
        const int screens = m->screenCount;
        if (req.json)
            list.append(QJsonObject{{"target", t.text()}, {"type", type}, {"screens", screens}, {"name", name}, {"inputs", inputs}});
        else
            out(QStringLiteral("%1  type %2  screens %3  name \"%4\"  input %5")
                    .arg(t.text()).arg(type).arg(screens).arg(name, shown.join(QLatin1String(", "))));
    }
    if (req.json)
        out(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)).trimmed());
    else if (found.isEmpty())
        out(QStringLiteral("no monitor found"));
    return ExitOk;
}

int CtlRunner::get()
{
    QJsonArray list;
    for (const Fleet::Target &t : qAsConst(req.targets)) {
        Fleet::Monitor *d = nullptr;
        QVector<int> screens;
        int status = locateScreens(t, &d, &screens);
        if (status != ExitOk)
            return status;
        for (int s : qAsConst(screens)) {
            status = readScreen(t, s, &d);
            if (status != ExitOk)
                return status;
            const ST_BasicData rec = d->screens[static_cast<std::size_t>(s)].record;
            const QString name = Frame::shownText(d->name);
            const QString input = Frame::shownText(d->screens[static_cast<std::size_t>(s)].input);
            const QByteArray raw = QByteArray(reinterpret_cast<const char *>(rec.bytes.data()), ST_BasicData::Size).toHex(' ');
            if (req.json) {
                QJsonObject o{{"target", t.text()}, {"type", d->type}, {"screen", s + 1}, {"name", name}, {"input", input}};
                if (t.name != t.text())
                    o.insert("alias", t.name);
                o.insert(req.raw ? "raw" : "settings", req.raw ? QJsonValue(QString::fromLatin1(raw)) : QJsonValue(SettingsJson::fields(rec, d->type)));
                list.append(o);
                continue;
            }
            out(QStringLiteral("%1: type %2, name \"%3\", input \"%4\"").arg(label(t, s)).arg(d->type).arg(name, input));
            if (req.raw) {
                out(QString::fromLatin1(raw));
                continue;
            }
            const QJsonObject fields = SettingsJson::fields(rec, d->type);
            for (const FieldInfo &fi : kFields)
                if (fields.contains(QLatin1String(fi.name)))
                    out(QStringLiteral("  %1 %2").arg(QLatin1String(fi.name), -16).arg(Captions::valueCaption(fi.field, rec.get(fi.field))));
        }
    }
    if (req.json)
        out(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)).trimmed());
    return ExitOk;
}

int CtlRunner::changeScreens(const std::function<int(const Fleet::Target &, const Fleet::Monitor &)> &check,
                             const std::function<void(Plan &)> &change)
{
    QVector<Plan> plans;
    // Every monitor is reached and checked before anything is read or sent.
    for (const Fleet::Target &t : qAsConst(req.targets)) {
        Fleet::Monitor *d = nullptr;
        QVector<int> screens;
        int status = locateScreens(t, &d, &screens);
        if (status == ExitOk)
            status = check(t, *d);
        if (status != ExitOk)
            return status;
        for (int s : qAsConst(screens)) {
            Plan p;
            p.target = t;
            p.screen = s;
            plans.append(p);
        }
    }
    for (Plan &p : plans) {
        const int status = readScreen(p.target, p.screen, &p.device);
        if (status != ExitOk)
            return status;
        p.before = p.after = p.device->screens[static_cast<std::size_t>(p.screen)].record;
        change(p);
    }
    return applyPlans(plans);
}

int CtlRunner::setFields()
{
    if (req.command == QLatin1String("tally"))
        req.assignments = {{Field::tally, req.tally}};
    auto check = [this](const Fleet::Target &t, const Fleet::Monitor &d) {
        for (const CtlAssignment &a : qAsConst(req.assignments)) {
            if (!typeHasField(d.type, a.field))
                return fail(ExitWrongType, QStringLiteral("%1: a type %2 monitor has no %3")
                                               .arg(label(t, -1)).arg(d.type).arg(QLatin1String(fieldInfo(a.field).name)));
            if (!TypeRules::choosable(d.type, a.field, a.value))
                return fail(ExitWrongType, QStringLiteral("%1: a type %2 monitor offers no %3 %4")
                                               .arg(label(t, -1)).arg(d.type).arg(QLatin1String(fieldInfo(a.field).name), Captions::valueCaption(a.field, a.value)));
        }
        return int(ExitOk);
    };
    SettingsJson::sortInRecordOrder(&req.assignments);
    return changeScreens(check, [this](Plan &p) {
        for (const CtlAssignment &a : qAsConst(req.assignments))
            p.after.set(a.field, a.value);
        for (int g : DataStream::FullSendGroups) // in the order of a whole-record send
            for (const CtlAssignment &a : qAsConst(req.assignments))
                if (fieldInfo(a.field).group == g && !p.groups.contains(g))
                    p.groups.append(g);
        p.umdText = Frame::umdLabel(req.text);
    });
}

int CtlRunner::umd()
{
    auto check = [this](const Fleet::Target &t, const Fleet::Monitor &d) {
        if (req.slot > 1 && d.type != 2)
            return fail(ExitWrongType, QStringLiteral("%1: a type %2 monitor has one UMD").arg(label(t, -1)).arg(d.type));
        return int(ExitOk);
    };
    return changeScreens(check, [this](Plan &p) {
        p.after.set(Field::umdTextIndex, req.slot - 1);
        p.groups = {fieldInfo(Field::umdTextIndex).group};
        p.umdText = Frame::umdLabel(req.umdText);
    });
}

int CtlRunner::save()
{
    const Fleet::Target &t = req.targets.first();
    Fleet::Monitor *d = nullptr;
    QVector<int> screens;
    int status = locateScreens(t, &d, &screens);
    if (status != ExitOk)
        return status;
    QJsonArray list;
    for (int s : qAsConst(screens)) {
        status = readScreen(t, s, &d);
        if (status != ExitOk)
            return status;
        list.append(SettingsJson::presetScreen(s, d->screens[static_cast<std::size_t>(s)].record, d->type));
    }
    const QJsonObject preset = SettingsJson::presetJson(d->type, Frame::shownText(d->name), list);
    QFile f(req.file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(QJsonDocument(preset).toJson()) < 0 || !f.flush())
        return fail(ExitFile, QStringLiteral("cannot write %1: %2").arg(req.file, f.errorString()));
    out(QStringLiteral("%1: saved %2 screen(s) to %3").arg(label(t, -1)).arg(screens.size()).arg(req.file));
    return ExitOk;
}

int CtlRunner::load()
{
    QFile f(req.file);
    if (!f.open(QIODevice::ReadOnly))
        return fail(ExitFile, QStringLiteral("cannot read %1: %2").arg(req.file, f.errorString()));
    SettingsJson::Preset preset;
    QString why;
    switch (SettingsJson::readPreset(f.readAll(), &preset, &why)) {
    case SettingsJson::Fault::None: break;
    case SettingsJson::Fault::UnknownField: return fail(ExitUnknownName, QStringLiteral("%1: %2").arg(req.file, why));
    case SettingsJson::Fault::BadValue:
    case SettingsJson::Fault::OutOfDomain: return fail(ExitOutOfRange, QStringLiteral("%1: %2").arg(req.file, why));
    default: return fail(ExitFile, QStringLiteral("%1: %2").arg(req.file, why));
    }
    const int presetType = preset.deviceType;
    QVector<SettingsJson::PresetScreen> wanted = preset.screens;
    if (req.screensGiven && req.screens.size() == 1 && wanted.size() == 1)
        wanted.first().screen = req.screens.first(); // one preset screen onto --screen N

    QVector<Plan> plans;
    for (const Fleet::Target &t : qAsConst(req.targets)) {
        Fleet::Monitor *d = nullptr;
        int status = locate(t, &d);
        if (status != ExitOk)
            return status;
        if (d->type != presetType && !req.force)
            return fail(ExitWrongType, QStringLiteral("%1: the preset is for type %2, the monitor is type %3 (--force loads it anyway)")
                                           .arg(label(t, -1)).arg(presetType).arg(d->type));
        for (const SettingsJson::PresetScreen &sc : qAsConst(wanted)) {
            if (sc.screen >= d->screenCount)
                return fail(ExitOutOfRange, QStringLiteral("%1: the preset has screen %2, the monitor %3 screen(s)")
                                                .arg(label(t, -1)).arg(sc.screen + 1).arg(d->screenCount));
            Plan p;
            p.target = t;
            p.screen = sc.screen;
            status = readScreen(t, sc.screen, &p.device);
            if (status != ExitOk)
                return status;
            p.before = p.after = p.device->screens[static_cast<std::size_t>(sc.screen)].record;
            for (const CtlAssignment &a : sc.fields)
                if (TypeRules::offers(p.device->type, a.field, a.value) && SettingsJson::inPreset(a.field))
                    p.after.set(a.field, a.value);
            p.groups = SettingsJson::changedGroups(p.before, p.after, p.device->type);
            p.umdText = Frame::umdLabel(req.text);
            plans.append(p);
        }
    }
    return applyPlans(plans);
}

int CtlRunner::copy()
{
    const Fleet::Target from = req.targets.at(0), to = req.targets.at(1);
    if (from.screen < 0 && to.screen < 0 && !req.screensGiven)
        req.screens.clear(); // monitor to monitor: every screen
    Fleet::Monitor *src = nullptr, *dst = nullptr;
    QVector<int> fromScreens;
    int status = locateScreens(from, &src, &fromScreens);
    const int srcType = src ? src->type : -1;
    if (status == ExitOk)
        status = locate(to, &dst);
    if (status != ExitOk)
        return status;
    if (dst->type != srcType)
        return fail(ExitWrongType, QStringLiteral("%1 is type %2, %3 type %4: copies go between monitors of one type")
                                       .arg(label(from, -1)).arg(srcType).arg(label(to, -1)).arg(dst->type));
    QVector<Plan> plans;
    for (int s : qAsConst(fromScreens)) {
        Plan p;
        p.target = to;
        p.screen = to.screen >= 0 ? to.screen : s;
        if (p.screen >= MachineDevice::screenCountForType(srcType))
            return fail(ExitOutOfRange, QStringLiteral("%1: no screen %2").arg(label(to, -1)).arg(p.screen + 1));
        status = readScreen(from, s, &p.device);
        if (status != ExitOk)
            return status;
        p.after = p.device->screens[static_cast<std::size_t>(s)].record;
        p.before = p.after;
        p.groups = QVector<int>(std::begin(DataStream::FullSendGroups), std::end(DataStream::FullSendGroups));
        p.umdText = Frame::umdLabel(req.text);
        plans.append(p);
    }
    return applyPlans(plans);
}

int CtlRunner::watch()
{
    struct Watched { Fleet::Target target; int screen; bool seen; ST_BasicData record; QString input; bool silent; };
    QVector<Watched> list;
    for (const Fleet::Target &t : qAsConst(req.targets)) {
        Fleet::Monitor *d = nullptr;
        QVector<int> screens;
        int status = locateScreens(t, &d, &screens);
        if (status != ExitOk)
            return status;
        for (int s : qAsConst(screens))
            list.append({t, s, false, {}, {}, false});
    }
    for (int cycle = 0; !DataStream::quitting() && (req.watchCycles == 0 || cycle < req.watchCycles); ++cycle) {
        QElapsedTimer round;
        round.start();
        for (Watched &w : list) {
            Fleet::Monitor *d = nullptr;
            if (readScreen(w.target, w.screen, &d) != ExitOk) {
                w.silent = true;
                continue;
            }
            const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
            const ST_BasicData &record = d->screens[static_cast<std::size_t>(w.screen)].record;
            const QString input = Frame::shownText(d->screens[static_cast<std::size_t>(w.screen)].input);
            if (!w.seen || w.silent)
                out(QStringLiteral("%1 %2: type %3, name \"%4\", input \"%5\"")
                        .arg(stamp, label(w.target, w.screen)).arg(d->type).arg(Frame::shownText(d->name), input));
            else {
                for (const QString &line : Captions::describeChanges(w.record, record))
                    out(QStringLiteral("%1 %2: %3").arg(stamp, label(w.target, w.screen), line));
                if (input != w.input)
                    out(QStringLiteral("%1 %2: Input \"%3\" -> \"%4\"").arg(stamp, label(w.target, w.screen), w.input, input));
            }
            w.seen = true;
            w.silent = false;
            w.record = record;
            w.input = input;
        }
        if (req.watchCycles == 0 || cycle + 1 < req.watchCycles)
            DataStream::waitMs(qMax(0, 1000 - static_cast<int>(round.elapsed())));
    }
    return ExitOk;
}

int CtlRunner::tallyBridge()
{
    QMap<QString, Fleet::Target> names;
    QString error;
    if (!req.targetsFile.isEmpty())
        readTargetFile(req.targetsFile, &names, &error); // read (and checked) by the parser already
    BridgeMap map;
    int status = readBridgeMap(req.file, names, &map, &error);
    if (status != ExitOk)
        return fail(status, error);
    TallyBridge bridge(map, req.dryRun, req.baud);
    connect(&bridge, &TallyBridge::logLine, this, [](const QString &line) {
        out(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + line);
    });
    status = bridge.start(&error);
    if (status != ExitOk)
        return fail(status, error);
    out(QStringLiteral("tally bridge: %1 display(s) to %2 monitor(s)%3")
            .arg(map.displays.size())
            .arg([&] { QSet<QString> k; for (const BridgeMapping &d : qAsConst(map.displays)) k.insert(d.target.key()); return k.size(); }())
            .arg(req.dryRun ? QStringLiteral(", dry run") : QString()));
    while (!DataStream::quitting())
        DataStream::waitMs(60000);
    return ExitOk;
}
