#include "mqttclient.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace {
// libmosquitto's result in words (MOSQ_ERR_ERRNO leaves the reason in errno); a reason
// code from the broker (MQTT 5, 0x80 and above) in its own words.
QString reason(int rc)
{
    if (rc >= 0x80)
        return QString::fromUtf8(mosquitto_reason_string(rc));
    return QString::fromLocal8Bit(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
}
} // namespace

bool MqttClient::parseUrl(const QString &text, Options *out, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    const auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("broker URL \"%1\": %2").arg(text, why);
        return false;
    };
    if (!url.isValid())
        return fail(url.errorString().section(QLatin1Char(';'), 0, 0));
    const bool tls = url.scheme() == QLatin1String("mqtts");
    if (!tls && url.scheme() != QLatin1String("mqtt"))
        return fail(QStringLiteral("not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"));
    if (url.host().isEmpty())
        return fail(QStringLiteral("no host"));
    if (!url.userInfo().isEmpty())
        return fail(QStringLiteral("a user or password belongs in the configuration, not in the URL"));
    if (!(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("a broker URL has no path, query or fragment"));
    const int port = url.port(tls ? 8883 : 1883);
    if (port == 0 || text.section(QLatin1String("://"), 1).section(QLatin1Char('/'), 0, 0).endsWith(QLatin1Char(':')))
        return fail(QStringLiteral("no port number"));
    out->host = url.host();
    out->port = static_cast<quint16>(port);
    out->tls = tls;
    return true;
}

MqttClient::MqttClient(const Options &o, QObject *parent) : QObject(parent), options(o)
{
    static const int library = mosquitto_lib_init();
    Q_UNUSED(library);
    qRegisterMetaType<MqttClient::Message>();
    keepAlive = new QTimer(this);
    keepAlive->setInterval(1000);
    connect(keepAlive, &QTimer::timeout, this, [this] { service(Misc); });
    retry = new QTimer(this);
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &MqttClient::attempt);
}

// A broker's name being looked up on a thread of its own (see attempt()): whether the
// client let the handle go meanwhile, which the thread then destroys.
struct MqttClient::Lookup {
    std::mutex mutex;
    bool abandoned = false;
};

// Without stop() the connection closes without a DISCONNECT: the broker publishes the
// will, as for a crash. No signal goes out.
MqttClient::~MqttClient()
{
    running = false;
    dropHandle();
}

void MqttClient::start()
{
    if (running)
        return;
    running = true;
    attempt();
}

void MqttClient::stop()
{
    running = false;
    retry->stop();
    // A DISCONNECT, written at once: the broker lets the will go (even one still answering
    // the CONNECT before it).
    if (handle && !lookup)
        mosquitto_disconnect_v5(handle, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    dropHandle();
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain,
                         const QString &responseTopic, const QByteArray &correlation, int expirySeconds)
{
    if (!up || correlation.size() > 0xFFFF)
        return false;
    mosquitto_property *props = nullptr;
    int rc = MOSQ_ERR_SUCCESS;
    if (!responseTopic.isEmpty())
        rc = mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !correlation.isEmpty())
        rc = mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                           static_cast<uint16_t>(correlation.size()));
    if (rc == MOSQ_ERR_SUCCESS && expirySeconds > 0)
        rc = mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, static_cast<uint32_t>(expirySeconds));
    int mid = 0;
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_publish_v5(handle, &mid, topic.toUtf8().constData(), payload.size(), payload.constData(), qos,
                                  retain, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    ++outCount;
    if (qos > 0)
        pending.append(mid);
    watchSocket();
    return true;
}

void MqttClient::subscribe(const QString &filter)
{
    if (filters.contains(filter))
        return;
    filters.append(filter);
    if (up)
        sendSubscribe(filter);
    watchSocket();
}

void MqttClient::unsubscribe(const QString &filter)
{
    if (filters.removeAll(filter) == 0 || !up)
        return;
    mosquitto_unsubscribe_v5(handle, nullptr, filter.toUtf8().constData(), nullptr);
    watchSocket();
}

int MqttClient::unacknowledged() const
{
    return pending.size();
}

// Not sent for a filter the library finds malformed (or a connection found broken as it is
// written, subscribed again on the next); said on the next service().
void MqttClient::sendSubscribe(const QString &filter)
{
    const int rc = mosquitto_subscribe_v5(handle, nullptr, filter.toUtf8().constData(), 1, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        later.append([this, line = QStringLiteral("mqtt: subscription to %1 not sent: %2").arg(filter, reason(rc))] {
            emit logLine(line);
        });
}

void MqttClient::onConnect(mosquitto *h, void *self, int rc, int, const mosquitto_property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (h != c->handle)
        return;
    if (rc != 0) { // the library closes the connection after this
        c->lostWhy = QStringLiteral("the broker refused the connection: %1").arg(reason(rc));
        return;
    }
    c->up = true;
    c->saidDown = false;
    c->retryMs = FirstRetryMs;
    ++c->connectCount;
    for (const QString &filter : std::as_const(c->filters))
        c->sendSubscribe(filter);
    c->later.append([c] { emit c->connected(); });
}

void MqttClient::onDisconnect(mosquitto *h, void *self, int rc, const mosquitto_property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (h == c->handle && c->lostWhy.isEmpty())
        c->lostWhy = rc == MOSQ_ERR_SUCCESS ? QStringLiteral("closed") : reason(rc);
}

void MqttClient::onMessage(mosquitto *h, void *self, const mosquitto_message *m, const mosquitto_property *props)
{
    auto *c = static_cast<MqttClient *>(self);
    if (h != c->handle)
        return;
    Message message;
    message.topic = QString::fromUtf8(m->topic);
    if (m->payloadlen > MostPayload) {
        c->later.append([c, line = QStringLiteral("mqtt: a message of %1 bytes on %2 dropped (at most %3)")
                                       .arg(m->payloadlen).arg(message.topic).arg(MostPayload)] {
            emit c->logLine(line);
        });
        return;
    }
    message.payload = QByteArray(static_cast<const char *>(m->payload), m->payloadlen);
    message.retained = m->retain;
    char *text = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
        message.responseTopic = QString::fromUtf8(text);
        std::free(text);
    }
    void *data = nullptr;
    uint16_t size = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &size, false)) {
        message.correlation = QByteArray(static_cast<const char *>(data), size);
        std::free(data);
    }
    c->later.append([c, message] {
        ++c->inCount;
        emit c->message(message);
    });
}

void MqttClient::onPublish(mosquitto *h, void *self, int mid, int reasonCode, const mosquitto_property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (h != c->handle)
        return;
    c->pending.removeOne(mid);
    if (reasonCode >= 0x80)
        c->later.append([c, line = QStringLiteral("mqtt: the broker did not take message %1: %2").arg(mid).arg(reason(reasonCode))] {
            emit c->logLine(line);
        });
}

// The library's own account of an error (a certificate refused, say), for the reason given.
void MqttClient::onLog(mosquitto *h, void *self, int level, const char *text)
{
    auto *c = static_cast<MqttClient *>(self);
    if (h == c->handle && level == MOSQ_LOG_ERR)
        c->libraryError = QString::fromUtf8(text);
}

void MqttClient::attempt()
{
    dropHandle();
    if (!running)
        return;
    const QByteArray id = options.clientId.toUtf8();
    handle = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!handle)
        return retryLater(reason(MOSQ_ERR_ERRNO));
    mosquitto_connect_v5_callback_set(handle, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(handle, &MqttClient::onDisconnect);
    mosquitto_message_v5_callback_set(handle, &MqttClient::onMessage);
    mosquitto_publish_v5_callback_set(handle, &MqttClient::onPublish);
    int rc = mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Small messages go out at once: a command's answer must not wait for the next one.
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_int_option(handle, MOSQ_OPT_TCP_NODELAY, 1);
    if (rc == MOSQ_ERR_SUCCESS && !options.willTopic.isEmpty())
        rc = mosquitto_will_set_v5(handle, options.willTopic.toUtf8().constData(), options.willPayload.size(),
                                   options.willPayload.constData(), 1, true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !options.user.isEmpty())
        rc = mosquitto_username_pw_set(handle, options.user.toUtf8().constData(),
                                       options.password.isEmpty() ? nullptr : options.password.constData());
    if (rc == MOSQ_ERR_SUCCESS && options.tls) {
        const QByteArray ca = options.caFile.toLocal8Bit();
        rc = mosquitto_tls_set(handle, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
                               nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return retryLater(QStringLiteral("TLS with %1: %2").arg(ca.isEmpty() ? QStringLiteral("/etc/ssl/certs") : options.caFile, reason(rc)));
    }
    if (rc != MOSQ_ERR_SUCCESS)
        return retryLater(reason(rc));
    // Does not wait for the connection: the socket reports it. An address is taken at
    // once; a name is looked up by the library, which may take seconds when a name server
    // is slow or away, so that is done on a thread of its own while the event loop goes on
    // (the handle is the thread's alone until it is done). The library's log callback is
    // set only after: it would run on that thread.
    const QByteArray host = options.host.toUtf8();
    const int keepAliveS = qMax(5, options.keepAliveS);
    if (!QHostAddress(options.host).isNull())
        return connecting(mosquitto_connect_bind_async(handle, host.constData(), options.port, keepAliveS, nullptr));
    lookup = std::make_shared<Lookup>();
    std::thread([l = lookup, h = handle, host, port = options.port, keepAliveS, self = this] {
        const int result = mosquitto_connect_bind_async(h, host.constData(), port, keepAliveS, nullptr);
        const std::lock_guard<std::mutex> lock(l->mutex);
        if (l->abandoned) // the client let it go meanwhile, or is gone
            return mosquitto_destroy(h);
        // Queued to the client, which cannot be destroyed while this holds the lock.
        QMetaObject::invokeMethod(self, [self, l, result] {
            if (self->lookup == l)
                self->connecting(result);
        }, Qt::QueuedConnection);
    }).detach();
}

void MqttClient::connecting(int rc)
{
    lookup.reset();
    mosquitto_log_callback_set(handle, &MqttClient::onLog);
    if (rc != MOSQ_ERR_SUCCESS)
        return retryLater(reason(rc));
    keepAlive->start();
    watchSocket();
}

void MqttClient::dropHandle()
{
    if (lookup) { // the thread still has the handle: it lets it go when done
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->abandoned = true;
        lookup.reset();
        handle = nullptr;
    }
    delete reader;
    delete writer;
    reader = writer = nullptr;
    keepAlive->stop();
    up = false;
    pending.clear();
    later.clear();
    lostWhy.clear();
    libraryError.clear();
    if (handle)
        mosquitto_destroy(std::exchange(handle, nullptr));
}

void MqttClient::retryLater(const QString &why)
{
    const bool say = !saidDown;
    saidDown = true;
    dropHandle();
    retry->start(retryMs);
    retryMs = qMin(2 * retryMs, LastRetryMs);
    if (say)
        emit disconnected(QStringLiteral("%1:%2: %3").arg(options.host).arg(options.port).arg(why));
}

void MqttClient::service(Work work)
{
    mosquitto *const h = handle;
    if (!h)
        return;
    const int rc = work == Read ? mosquitto_loop_read(h, 1) : work == Write ? mosquitto_loop_write(h, 1) : mosquitto_loop_misc(h);
    if (rc != MOSQ_ERR_SUCCESS && lostWhy.isEmpty())
        lostWhy = reason(rc);
    // What the callbacks found goes out now, outside the library: a slot may stop this client.
    const auto found = std::exchange(later, {});
    for (const auto &say : found) {
        if (handle != h)
            return;
        say();
    }
    if (handle != h)
        return;
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(h) >= 0)
        return watchSocket();
    QString why = lostWhy.isEmpty() ? QStringLiteral("connection lost") : lostWhy;
    if (!libraryError.isEmpty())
        why += QStringLiteral(" (%1)").arg(libraryError);
    retryLater(why);
}

void MqttClient::watchSocket()
{
    if (!handle || lookup)
        return;
    const int fd = mosquitto_socket(handle);
    if (fd < 0)
        return;
    if (!reader) {
        reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(reader, &QSocketNotifier::activated, this, [this] { service(Read); });
        writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(writer, &QSocketNotifier::activated, this, [this] { service(Write); });
    }
    writer->setEnabled(mosquitto_want_write(handle));
}
