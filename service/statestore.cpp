#include "statestore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <type_traits>
#include <fcntl.h>
#include <unistd.h>

#include "config.h"
#include "frames.h"
#include "machinedevice.h"

namespace {
const char kFormat[] = "telvanord-state";
const char kFile[] = "telvanord-state.json";
constexpr int kMostFaultsLogged = 10;

// A whole number within low-high at o's key.
bool whole(const QJsonObject &o, const char *key, int low, int high, int *out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    *out = v.toInt();
    return v.isDouble() && v.toDouble() == *out && *out >= low && *out <= high;
}

// A place written as "lan:IP" or "serial:PORT#ID", in the fleet's form.
bool place(const QJsonObject &o, const char *key, QString *out)
{
    Fleet::Target t;
    QString why;
    if (!o.value(QLatin1String(key)).isString() || !Fleet::parseTarget(o.value(QLatin1String(key)).toString(), &t, &why) || t.screen >= 0)
        return false;
    *out = t.address().key();
    return true;
}

// A label as the monitor shows it: any other character goes out as a blank, and
// the blanks that pad it are dropped.
QString shownLabel(QString text)
{
    text = text.left(kUmdTextLength);
    for (QChar &c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            c = QLatin1Char(' ');
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

// A monitor's name and place, as "monitor"/"name" and "target" give them.
QString monitorFault(const QJsonObject &e, const char *nameKey, QString *name, QString *target)
{
    *name = e.value(QLatin1String(nameKey)).toString();
    if (!e.value(QLatin1String(nameKey)).isString() || !validName(*name))
        return QStringLiteral("%1: takes a monitor's name (1-64 of A-Z a-z 0-9 _ -)").arg(QLatin1String(nameKey));
    if (!place(e, "target", target))
        return QStringLiteral("target: takes a target such as \"lan:10.0.0.7\"");
    return QString();
}

QString labelFault(const QJsonObject &e, StateStore::Label *l)
{
    const QString text = e.value("text").toString();
    const QString who = monitorFault(e, "monitor", &l->monitor, &l->target);
    if (!who.isEmpty())
        return who;
    if (!whole(e, "screen", 1, MachineDevice::MaxScreens, &l->screen) || !whole(e, "umd", 1, 4, &l->slot))
        return QStringLiteral("screen, umd: take whole numbers 1-8 and 1-4");
    if (!e.value("text").isString())
        return QStringLiteral("text: takes a string");
    if (text.size() > kUmdTextLength)
        return QStringLiteral("text: over %1 characters").arg(kUmdTextLength);
    if (!Frame::sendsAsWritten(text))
        return QStringLiteral("text: printable ASCII only");
    --l->screen;
    --l->slot;
    l->text = text;
    return QString();
}

QString foundFault(const QJsonObject &e, StateStore::Found *f)
{
    return monitorFault(e, "name", &f->name, &f->target);
}
} // namespace

StateStore::StateStore(const QString &folder, QObject *parent) : QObject(parent), dir(folder)
{
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(WriteAfterMs);
    connect(timer, &QTimer::timeout, this, [this] {
        if (dirty)
            write();
    });
}

QString StateStore::path() const
{
    return QDir(dir).filePath(QLatin1String(kFile));
}

StateStore::State StateStore::load()
{
    if (!QDir().mkpath(dir))
        failed(QStringLiteral("the folder cannot be made"));
    QFile f(path());
    if (!f.exists())
        return State(); // nothing kept yet
    auto ignored = [this](const QString &why) {
        QFile::remove(path() + QStringLiteral(".damaged"));
        const QString moved = QFile::rename(path(), path() + QStringLiteral(".damaged")) ? QStringLiteral(" (moved to %1.damaged)").arg(path()) : QString();
        emit logLine(QStringLiteral("state: %1: %2; the file is ignored%3").arg(path(), why, moved));
        return State();
    };
    if (!f.open(QIODevice::ReadOnly)) {
        emit logLine(QStringLiteral("state: %1: %2; the file is ignored").arg(path(), f.errorString()));
        return State();
    }
    const QByteArray raw = f.read(MostBytes + 1);
    if (raw.size() > MostBytes)
        return ignored(QStringLiteral("over %1 bytes").arg(MostBytes));
    QJsonParseError pe;
    const QJsonObject top = QJsonDocument::fromJson(raw, &pe).object();
    if (pe.error != QJsonParseError::NoError)
        return ignored(QStringLiteral("not JSON (%1 on line %2)").arg(pe.errorString()).arg(raw.left(pe.offset).count('\n') + 1));
    if (top.value("format").toString() != QLatin1String(kFormat))
        return ignored(QStringLiteral("not a telvanord state file"));
    if (!top.value("version").isDouble())
        return ignored(QStringLiteral("version: takes a whole number"));
    if (top.value("version").toDouble() != Version)
        return ignored(QStringLiteral("version %1: this telvanord reads version %2 alone").arg(top.value("version").toDouble()).arg(Version));

    State s;
    QStringList faults;
    auto list = [&](const char *key) {
        const QJsonValue v = top.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isArray())
            faults << QStringLiteral("%1: takes a list").arg(QLatin1String(key));
        return v.toArray();
    };
    // Each entry of a list on its own: a faulty one is left out, the others kept.
    auto take = [&](const char *key, auto fault, auto *into) {
        const QJsonArray entries = list(key);
        for (int i = 0; i < entries.size(); ++i) {
            typename std::remove_pointer_t<decltype(into)>::value_type entry;
            const QString why = fault(entries.at(i).toObject(), &entry);
            if (why.isEmpty())
                into->append(entry);
            else
                faults << QStringLiteral("%1[%2]: %3").arg(QLatin1String(key)).arg(i).arg(why);
        }
    };
    take("labels", labelFault, &s.labels);
    take("monitors", foundFault, &s.monitors);
    s.bridge = list("bridge");
    leftOut(faults);
    return s;
}

void StateStore::leftOut(const QStringList &faults)
{
    for (int i = 0; i < faults.size() && i < kMostFaultsLogged; ++i)
        emit logLine(QStringLiteral("state: %1: %2; left out").arg(path(), faults.at(i)));
    if (faults.size() > kMostFaultsLogged)
        emit logLine(QStringLiteral("state: %1: %2 more faulty entries left out").arg(path()).arg(faults.size() - kMostFaultsLogged));
}

void StateStore::changed()
{
    dirty = true;
    if (!timer->isActive()) // never restarted: a steady stream of changes is written once a second
        timer->start();
}

void StateStore::flush()
{
    timer->stop();
    if (dirty)
        write();
}

bool StateStore::write()
{
    dirty = false;
    const State s = source ? source() : State();
    QJsonArray labels, monitors;
    for (const Label &l : s.labels)
        labels.append(QJsonObject{{"monitor", l.monitor}, {"target", l.target}, {"screen", l.screen + 1}, {"umd", l.slot + 1},
                                  {"text", shownLabel(l.text)}});
    for (const Found &m : s.monitors)
        monitors.append(QJsonObject{{"name", m.name}, {"target", m.target}});
    const QByteArray bytes = QJsonDocument(QJsonObject{{"format", kFormat}, {"version", Version}, {"labels", labels},
                                                       {"monitors", monitors}, {"bridge", s.bridge}}).toJson();
    // A whole new file takes the old one's place: a crash leaves the one or the other.
    QSaveFile f(path());
    QString why;
    if (!QDir().mkpath(dir))
        why = QStringLiteral("the folder cannot be made");
    else if (!f.open(QIODevice::WriteOnly))
        why = f.errorString();
    else if (f.write(bytes) != bytes.size() || !f.flush())
        why = f.errorString();
    else if (::fsync(f.handle()) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else if (!f.commit())
        why = f.errorString();
    if (!why.isEmpty()) {
        dirty = true; // tried again in a second
        timer->start();
        ++notWritten;
        failed(why);
        return false;
    }
    const int folder = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) { // the rename itself reaches the disk
        ::fsync(folder);
        ::close(folder);
    }
    ++written;
    if (std::exchange(failing, false))
        emit logLine(QStringLiteral("state: %1 written again").arg(path()));
    return true;
}

void StateStore::failed(const QString &why)
{
    if (!std::exchange(failing, true))
        emit logLine(QStringLiteral("state: %1 cannot be written (%2); what the service knows is not kept until it can be "
                                    "(tried again each second)").arg(path(), why));
}
