#include "events.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTimer>
#include <QWebSocket>

#include "api.h"
#include "fleet.h"
#include "frames.h"
#include "settingsjson.h"

Events::Events(Api *a, Fleet::Fleet *f, QObject *parent) : QObject(parent), api(a), fleet(f)
{
    connect(fleet, &Fleet::Fleet::fieldChanged, this, &Events::onField);
    connect(fleet, &Fleet::Fleet::onlineChanged, this, [this](const QString &key, bool online) {
        const Fleet::Monitor *m = fleet->find(key);
        publish(message(QStringLiteral("online"), api->nameOf(key), -1,
                        {{"online", online}, {"silentMs", m ? api->silentMs(*m) : QJsonValue()}}, {{"online", online}}));
    });
    connect(fleet, &Fleet::Fleet::identified, this, [this](const QString &key) {
        const Fleet::Monitor *m = fleet->find(key);
        if (m)
            publish(message(QStringLiteral("identified"), api->nameOf(key), -1,
                            {{"deviceType", m->type}, {"screenCount", m->screenCount}}, {}));
    });
    // A screen's first read: everything it holds at once (later reads bring changes).
    connect(fleet, &Fleet::Fleet::screenKnown, this, [this](const QString &key, int screen) {
        const Fleet::Monitor *m = fleet->find(key);
        if (!m)
            return;
        QJsonObject o = api->screenJson(*m, screen);
        o.insert("type", "screen");
        o.insert("monitor", api->nameOf(key));
        o.insert("monitorName", Frame::shownText(m->name)); // a first read names no change
        o.insert("state", QJsonObject{{api->nameOf(key), QJsonObject{{"monitorName", Frame::shownText(m->name)},
                                                                     {QString::number(screen + 1), api->screenState(*m, screen)}}}});
        publish(o);
    });
    connect(fleet, &Fleet::Fleet::inputChanged, this, [this](const QString &key, int screen, const QString &text) {
        publish(message(QStringLiteral("input"), api->nameOf(key), screen, {{"input", Frame::shownText(text)}}, {{"input", Frame::shownText(text)}}));
    });
    connect(fleet, &Fleet::Fleet::nameChanged, this, [this](const QString &key, const QString &name) {
        publish(message(QStringLiteral("name"), api->nameOf(key), -1, {{"monitorName", Frame::shownText(name)}}, {{"monitorName", Frame::shownText(name)}}));
    });
    connect(fleet, &Fleet::Fleet::labelSent, this, [this](const QString &key, int screen, int slot, const QString &text) {
        const QString umd = QStringLiteral("umd%1").arg(slot + 1);
        publish(message(QStringLiteral("label"), api->nameOf(key), screen, {{"slot", slot + 1}, {"text", text.trimmed()}},
                        {{umd, text.trimmed()}}));
    });
    connect(api, &Api::monitorAdded, this, [this](const QString &name) {
        publish(QJsonObject{{"type", "added"}, {"monitor", api->monitorJson(name, true)}});
    });
    connect(api, &Api::requestDone, this, &Events::publish);
    pinger = new QTimer(this);
    connect(pinger, &QTimer::timeout, this, &Events::pingAll);
    pinger->start(PingEveryMs);
}

namespace {
qint64 nowMs() { return QDeadlineTimer::current().deadline(); }
} // namespace

void Events::setPing(int everyMs, int silent)
{
    silentMs = silent;
    pinger->start(everyMs);
}

void Events::pingAll()
{
    const qint64 now = nowMs();
    const QVector<QWebSocket *> all = sockets;
    for (QWebSocket *s : all) {
        if (now - heardAt.value(s, now) > silentMs)
            drop(s, QStringLiteral("does not answer"));
        else
            s->ping();
    }
}

void Events::drop(QWebSocket *s, const QString &why)
{
    emit logLine(QStringLiteral("events: %1 %2; closed").arg(s->peerAddress().toString(), why));
    ++droppedCount;
    sockets.removeAll(s);
    heardAt.remove(s);
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

Events::~Events()
{
    for (QWebSocket *s : qAsConst(sockets)) {
        s->disconnect(this);
        s->deleteLater();
    }
}

QJsonObject Events::message(const QString &type, const QString &monitor, int screen, const QJsonObject &fields,
                            const QJsonObject &values) const
{
    QJsonObject o{{"type", type}, {"monitor", monitor}};
    if (screen >= 0)
        o.insert("screen", screen + 1);
    for (auto it = fields.begin(); it != fields.end(); ++it)
        o.insert(it.key(), it.value());
    if (!values.isEmpty() && !monitor.isEmpty())
        o.insert("state", QJsonObject{{monitor, screen >= 0 ? QJsonObject{{QString::number(screen + 1), values}} : values}});
    return o;
}

void Events::onField(const QString &key, int screen, Field field, int before, int after)
{
    if (field == Field::umdTextIndex)
        return; // a frame's argument, not a setting
    const QString name = QLatin1String(fieldInfo(field).name);
    const QJsonValue now = SettingsJson::value(field, after);
    publish(message(QStringLiteral("field"), api->nameOf(key), screen,
                    {{"field", name}, {"before", SettingsJson::value(field, before)}, {"after", now}}, {{name, now}}));
}

void Events::add(QWebSocket *socket)
{
    socket->setParent(this);
    sockets.append(socket);
    heardAt.insert(socket, nowMs());
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        sockets.removeAll(socket);
        heardAt.remove(socket);
        socket->deleteLater();
    });
    connect(socket, &QWebSocket::pong, this, [this, socket] { heardAt.insert(socket, nowMs()); });
    // One snapshot for every client until something changes (or its silences age):
    // built once, and handed to the kernel at once rather than kept per client.
    const qint64 now = nowMs();
    if (snapshotAt < 0 || now - snapshotAt > SnapshotFreshMs) {
        QJsonArray monitors;
        for (const QString &name : api->listed())
            monitors.append(api->monitorJson(name, true));
        snapshot = QString::fromUtf8(QJsonDocument(QJsonObject{{"type", "snapshot"}, {"monitors", monitors}, {"state", api->state()},
                                                               {"sites", api->sitesJson()}})
                                         .toJson(QJsonDocument::Compact));
        snapshotAt = now;
    }
    socket->sendTextMessage(snapshot);
    socket->flush();
}

void Events::publish(const QJsonObject &message)
{
    snapshotAt = -1; // every change is published: the next client gets a snapshot built anew
    // A monitor a search has just found is announced by "added" once it has a name.
    const QJsonValue monitor = message.value("monitor");
    if (sockets.isEmpty() || (monitor.isString() && monitor.toString().isEmpty()))
        return;
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    const QVector<QWebSocket *> all = sockets;
    for (QWebSocket *s : all) {
        if (s->bytesToWrite() > MaxQueuedBytes) {
            drop(s, QStringLiteral("does not keep up"));
            continue;
        }
        s->sendTextMessage(text);
    }
}
