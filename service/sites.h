#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include "api.h"
#include "config.h"
#include "mqttclient.h"

class QTimer;
namespace Fleet {
class Fleet;
}

// The topics a site's state and commands travel on, under telvanor/SITE/:
//   online                        true / false (retained; the broker's last will says false)
//   info                          {"commands": true|false, "rooms": [...]} (retained)
//   monitors/NAME/KEY             online, type, screenCount, monitorName, room (retained)
//   monitors/NAME/N/FIELD         each setting of screen N (1-8), input, umd1-umd4 (retained)
//   command/NAME/N/set|tally|umd  the API's PATCH, tally and umd bodies; the answer goes to the
//   command/NAME/recall           message's response topic: {"status": S, "body": {...}}
// Values are JSON: numbers, strings, true/false. A topic whose value is empty
// (retained) is gone.
namespace SiteTopics {
constexpr char Root[] = "telvanor";
constexpr QChar Separator = QLatin1Char('~'); // "SITE~NAME": a remote monitor's name at a centre

QString site(const QString &site, const QString &rest);
QString monitor(const QString &site, const QString &name, const QString &key);
QString screen(const QString &site, const QString &name, int screen, const QString &key);

struct Parsed {
    enum Kind { None, Online, Info, Monitor, Screen, Command, Reply } kind = None;
    QString site;
    QString monitor; // valid names only
    int screen = 0;  // 1-8 on Screen and on screen commands
    QString key;     // the field, or the command's verb
};
// What a topic names; kind None for any topic outside the tree or with a bad name.
Parsed parse(const QString &topic);
} // namespace SiteTopics

// This service as a site: every monitor's state retained at the broker (each
// value published when it changes and all again whenever the broker comes
// back; topics of monitors or screens no longer here cleared), its presence with
// a last will, and commands for its monitors taken as API requests, each
// answered on its response topic once the API has answered it.
class SitePublisher : public QObject
{
    Q_OBJECT
public:
    SitePublisher(MqttClient *client, Api *api, Fleet::Fleet *fleet, const MqttConfig &config,
                  const QMap<QString, QString> &rooms, QObject *parent = nullptr);
    // The online topic and the last will, for the client's options before it starts.
    static QString willTopic(const MqttConfig &config);

    quint64 commandsTaken() const { return commandCount; }

signals:
    void logLine(const QString &line);

private:
    void dirty(const QString &key);   // a monitor's topics are looked at again soon
    void flush();                     // the dirty monitors' topics published where they changed
    void put(const QString &topic, const QByteArray &payload);
    void connected();
    void received(const MqttClient::Message &message);
    void answer(const MqttClient::Message &to, int status, const QByteArray &body);

    MqttClient *client;
    Api *api;
    Fleet::Fleet *fleet;
    MqttConfig config;
    QMap<QString, QString> rooms;
    QMap<QString, QByteArray> retained;  // what the broker holds (or will once connected), by topic
    QSet<QString> dirtyKeys;
    QTimer *flusher = nullptr;
    quint64 commandCount = 0;
    bool quiet = false;                  // topics change in the map alone (all go out after)
    QSet<QString> away;                  // topics changed while they could not go out
};

// A centre: the monitors of the other sites (those named, or all), kept as
// their sites last told, listed beside this service's own as SITE~NAME, and
// changed by a command to their site whose answer is the request's. A site
// that is gone answers 503 at once; one that does not answer in time, 504.
class RemoteSites : public QObject, public RemoteMonitors
{
    Q_OBJECT
public:
    static constexpr int AnswerMs = Api::SendLimitMs + 5000; // a site's answer is waited for this long
    static constexpr int CommandExpiryS = 10; // the broker delivers a command this long at most
    static constexpr int BatchMs = 20;        // changes that come together go out as one event

    RemoteSites(MqttClient *client, const MqttConfig &config, QObject *parent = nullptr);

    bool owns(const QString &name) const override;
    QStringList names() const override;
    QJsonObject monitorJson(const QString &name, bool withScreens) const override;
    QJsonObject screenJson(const QString &name, int screen) const override;
    QJsonObject state() const override;
    QJsonArray sites() const override;
    void forward(const QString &route, const QStringList &args, const QByteArray &body, const Http::Respond &respond) override;

    int waiting() const { return pending.size(); }
    quint64 messagesTaken() const { return messageCount; }

signals:
    // An events message: "state" with the changes of a batch, "added", or "site".
    void event(const QJsonObject &message);
    void logLine(const QString &line);

private:
    struct Site {
        bool online = false;
        bool commands = true;
        QJsonArray rooms;
        int told = 0;        // monitors its info says it has
        qint64 sinceMs = -1; // when it went (or was last heard to be) online or not, on the clock
    };
    struct Remote {
        QString site, name;
        QJsonObject meta;                // online, type, screenCount, monitorName, room
        QMap<int, QJsonObject> screens;  // each screen's state, 1-8
    };
    struct Pending {
        Http::Respond respond;
        QString site, monitor;           // the monitor as the centre names it
        qint64 untilMs = 0;
    };
    bool wanted(const QString &site) const;
    void received(const MqttClient::Message &message);
    void answered(const MqttClient::Message &message);
    void siteChanged(const QString &site, bool online);
    // Every waiting request for a site (or for all, with site empty) answered with this.
    void failWaiting(const QString &site, int status, const QString &why);
    void change(const QString &name, int screen, const QString &key, const QJsonValue &value);
    void flush();
    void expire();
    QString replyTopic() const;

    MqttClient *client;
    MqttConfig config;
    QHash<QString, Site> siteList;
    QMap<QString, Remote> monitors;      // by SITE~NAME, so a site's monitors list together
    QHash<QByteArray, Pending> pending;  // by correlation data
    QJsonObject batch;                   // state changed since the last event
    QStringList added;                   // monitors first heard of since the last event
    QTimer *batcher = nullptr;
    QTimer *expirer = nullptr;
    QElapsedTimer clock;
    quint64 messageCount = 0;
};
