#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

// The service's one door to an MQTT broker (MQTT 5): connect, publish,
// subscribe, messages in. Everything libmosquitto offers beyond that stays in
// this adapter, driven by the Qt event loop: its socket on notifiers, its
// keep-alive on a timer; nothing blocks and no thread is started.
//
// The client connects by itself and, when the connection drops or does not
// come up, tries again with a growing pause (1 s doubling to 30 s). Each
// connection starts clean: subscriptions are made again on every connect, and
// what was published but not acknowledged when a connection dropped is let go,
// never sent late on the next one (a command must not reach a monitor after
// its asker was told it failed). Publishing while not connected is refused.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 30000;
    static constexpr int MostPayload = 256 * 1024; // larger messages in are dropped (and logged)

    struct Options {
        QString host = QStringLiteral("127.0.0.1");
        quint16 port = 1883;
        bool tls = false;        // mqtts://: the broker's certificate is checked against caFile
        QString caFile;          // empty: the system's certificate authorities
        QString clientId;
        QString user;            // empty: none
        QByteArray password;
        int keepAliveS = 30;
        // The last will: published by the broker, retained, when this client drops off unannounced.
        QString willTopic;       // empty: none
        QByteArray willPayload;
    };

    struct Message {
        QString topic;
        QByteArray payload;
        bool retained = false;
        QString responseTopic;   // MQTT 5: where the sender wants its answer; empty: none
        QByteArray correlation;  // MQTT 5: what the answer must carry back
    };

    // A broker URL "mqtt://HOST[:PORT]" (port 1883) or "mqtts://HOST[:PORT]" (8883)
    // into options; false with *error set when it is none.
    static bool parseUrl(const QString &url, Options *out, QString *error);

    explicit MqttClient(const Options &options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting (and keeps at it). Call once.
    void start();
    // Disconnects cleanly: the will is not published; the client stays down.
    void stop();
    bool isConnected() const { return up; }

    // Queues a message for the broker: false (nothing kept) when not connected or
    // the library refuses it. expirySeconds > 0 sets the MQTT 5 message expiry:
    // the broker lets the message go when it has not delivered it by then.
    bool publish(const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false,
                 const QString &responseTopic = QString(), const QByteArray &correlation = QByteArray(),
                 int expirySeconds = 0);
    // Subscriptions, kept and made again on every connect (QoS 1).
    void subscribe(const QString &filter);
    void unsubscribe(const QString &filter);

    // Messages published but not yet acknowledged by the broker (QoS 1).
    int unacknowledged() const;
    // Counted since start.
    quint64 messagesIn() const { return inCount; }
    quint64 messagesOut() const { return outCount; }
    quint64 connects() const { return connectCount; }

signals:
    void connected();
    // The connection dropped, or an attempt failed: why, for a log. Said once per
    // connection lost (not again for every failed attempt that follows).
    void disconnected(const QString &why);
    void message(const MqttClient::Message &message);
    void logLine(const QString &line);

private:
    enum Work { Read, Write, Misc };

    // libmosquitto's callbacks, with this client as their user data. They run inside the
    // library's calls: what they find for the signals waits in `later`.
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *props);
    static void onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *props);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props);
    static void onPublish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *props);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();        // a fresh handle, connecting
    void connecting(int rc); // the connection asked for (rc: whether that went), its socket watched
    void dropHandle();     // the handle and its notifiers gone; unacknowledged messages with it
    void retryLater(const QString &why);
    void service(Work work); // reads, writes and keep-alive, as the socket and timer ask
    void watchSocket();
    void sendSubscribe(const QString &filter);

    Options options;
    mosquitto *handle = nullptr;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QTimer *keepAlive = nullptr;   // libmosquitto's misc loop: pings, retries
    QTimer *retry = nullptr;
    int retryMs = FirstRetryMs;
    bool up = false;
    bool running = false;
    bool saidDown = false;         // the loss of the last connection was said
    QStringList filters;
    QVector<int> pending;          // message IDs not yet acknowledged
    QVector<std::function<void()>> later; // signals found by the callbacks
    struct Lookup;                         // a broker's name looked up away from the event loop
    std::shared_ptr<Lookup> lookup;        // the one under way, if any
    QString lostWhy;               // why the connection went, as the callbacks saw it
    QString libraryError;          // the library's last error message on this handle
    quint64 inCount = 0, outCount = 0, connectCount = 0;
};

Q_DECLARE_METATYPE(MqttClient::Message)
