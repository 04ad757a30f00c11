#include "httpgate.h"

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <memory>
#include <optional>

namespace Http {

namespace {
constexpr int kSweepMs = 1000;
constexpr int kHeaderRoom = 16 * 1024; // request line and headers beyond the body limit
constexpr qint64 kMostUnread = 1024 * 1024; // answers waiting for a client that does not read them

QByteArray methodName(QHttpServerRequest::Method m)
{
    switch (m) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    default: return "OTHER";
    }
}

// A response the adapter writes itself: to connections it refuses before the
// HTTP library has read a whole request.
QByteArray rawResponse(int status, const char *reason, const QByteArray &json)
{
    return QByteArray("HTTP/1.1 ") + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size())
        + "\r\nConnection: close\r\n\r\n" + json;
}

// One request of a connection, answered in the order the requests came.
struct Pending {
    std::optional<QHttpServerResponder> responder;
    std::optional<Response> answer; // given, and waiting for the answers before it
    bool close = false;             // the client asked to close after this answer
};
} // namespace

// Accepts connections up to the client cap and keeps each within its bounds:
// a request's size and the time it takes to arrive, an idle connection's life.
class Gate : public QTcpServer
{
public:
    struct Guard {
        qint64 lastActivityMs = 0;
        qint64 pendingSinceMs = -1;   // a request begun and not yet whole since then
        qint64 requestBytes = 0;      // bytes of the request being read
        bool webSocket = false;
        bool refused = false;
        bool http10 = false;          // the request being read is HTTP/1.0
        QVector<std::shared_ptr<Pending>> pending;
        QPointer<QTcpSocket> socket;
    };

    Gate(const Limits &l, QObject *parent) : QTcpServer(parent), limits(l)
    {
        clock.start();
        sweeper = new QTimer(this);
        connect(sweeper, &QTimer::timeout, this, &Gate::sweep);
        sweeper->start(kSweepMs);
    }

    Guard *guard(QTcpSocket *s) { return guards.contains(s) ? &guards[s] : nullptr; }
    // Connections open. The HTTP library cuts every signal of a socket it hands
    // to its WebSocket server: such a one is seen gone by its guard alone.
    int count() const
    {
        return static_cast<int>(std::count_if(guards.begin(), guards.end(), [](const Guard &g) { return !g.socket.isNull(); }));
    }
    qint64 now() const { return clock.elapsed(); }
    int threshold() const { return limits.maxBody + kHeaderRoom; }

    void refuse(QTcpSocket *s, int status, const char *reason, const QByteArray &json)
    {
        Guard *g = guard(s);
        if (!g || g->refused)
            return;
        g->refused = true;
        s->write(rawResponse(status, reason, json));
        s->flush();
        s->disconnectFromHost();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *s = new QTcpSocket(this);
        if (!s->setSocketDescriptor(descriptor)) {
            delete s;
            return;
        }
        if (count() >= limits.maxClients) {
            s->write(rawResponse(503, "Service Unavailable", R"({"error":"too many clients"})"));
            s->disconnectFromHost();
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QTimer::singleShot(kSweepMs, s, &QObject::deleteLater);
            return;
        }
        // Bytes wait in the socket until a request is whole: this bounds them.
        s->setReadBufferSize(threshold());
        guards.insert(s, Guard{now(), -1, 0, false, false, false, {}, s});
        // A client that takes its answers is busy, not idle.
        connect(s, &QTcpSocket::bytesWritten, this, [this, s] {
            if (Guard *g = guard(s))
                g->lastActivityMs = now();
        });
        connect(s, &QObject::destroyed, this, [this, s] { guards.remove(s); });
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            if (Guard *g = guard(s)) {
                for (const auto &p : qAsConst(g->pending))
                    p->responder.reset(); // answers still to come go nowhere
                g->pending.clear();
            }
        });
        // Connected before the HTTP library's own handler: it sees the bytes first.
        connect(s, &QTcpSocket::readyRead, this, [this, s] {
            Guard *g = guard(s);
            if (!g || g->webSocket)
                return;
            g->lastActivityMs = now();
            if (g->refused) {
                if (s->isTransactionStarted())
                    s->commitTransaction();
                s->readAll();
                return;
            }
            // Answers pile up for a client that sends requests and reads nothing:
            // past a bound it is closed rather than served further.
            if (s->bytesToWrite() > kMostUnread) {
                g->refused = true;
                s->abort();
                return;
            }
            // The HTTP library keeps a request's bytes in the socket (a read
            // transaction) until it is whole, and reads what is new each time.
            if (!s->isTransactionStarted()) {
                g->requestBytes = 0;
                g->http10 = s->peek(256).split('\n').value(0).trimmed().endsWith("HTTP/1.0");
            }
            g->requestBytes += s->bytesAvailable();
            if (g->requestBytes >= threshold())
                refuse(s, 413, "Payload Too Large", R"({"error":"request too large"})");
        });
        addPendingConnection(s);
    }

private:
    void sweep()
    {
        guards.removeIf([](const auto &g) { return g.value().socket.isNull(); });
        const qint64 t = now();
        const QList<QTcpSocket *> sockets = guards.keys();
        for (QTcpSocket *s : sockets) {
            Guard &g = guards[s];
            if (g.webSocket || g.refused)
                continue;
            if (s->isTransactionStarted() || s->bytesAvailable() > 0) {
                if (g.pendingSinceMs < 0)
                    g.pendingSinceMs = t;
                else if (t - g.pendingSinceMs > limits.requestTimeoutMs)
                    refuse(s, 408, "Request Timeout", R"({"error":"request not complete in time"})");
            } else {
                g.pendingSinceMs = -1;
                // Idle, or answers left unread as long: a close would wait for them.
                if (g.pending.isEmpty() && t - g.lastActivityMs > limits.idleMs)
                    s->bytesToWrite() > 0 ? s->abort() : s->disconnectFromHost();
            }
        }
    }

    Limits limits;
    QHash<QTcpSocket *, Guard> guards;
    QTimer *sweeper = nullptr;
    QElapsedTimer clock;
};

class Server::Backend : public QAbstractHttpServer
{
public:
    Backend(Server *owner, Gate *gate, const Limits &limits, Handler handler, Upgrade upgrade)
        : QAbstractHttpServer(owner), owner(owner), gate(gate), limits(limits), handler(std::move(handler)),
          upgrade(std::move(upgrade))
    {
        connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &Backend::takeWebSockets);
    }

protected:
    bool handleRequest(const QHttpServerRequest &r, QTcpSocket *socket) override
    {
        Gate::Guard *g = gate->guard(socket);
        if (!g || g->refused)
            return true; // a refused connection gets nothing more
        Request req = convert(r);
        g->lastActivityMs = gate->now();
        if (req.webSocket && !wellFormedUpgrade(req)) {
            refusals.insert(socket, Response{400, R"({"error":"bad WebSocket upgrade: GET with Connection: Upgrade, Sec-WebSocket-Version: 13 and a Sec-WebSocket-Key of 16 bytes"})", "application/json", {}});
            return false;
        }
        if (req.webSocket) {
            Response verdict = upgrade(req);
            if (verdict.status == 0) {
                g->webSocket = true;
                socket->setReadBufferSize(0);
                return true; // the library answers the handshake
            }
            refusals.insert(socket, verdict);
            return false; // no upgrade: missingHandler() writes the refusal
        }
        auto pending = std::make_shared<Pending>();
        pending->responder.emplace(makeResponder(r, socket));
        // The client asked to close after this answer (HTTP/1.0 unless it keeps the connection alive).
        const QByteArray connection = req.header("connection").toLower();
        pending->close = connection.contains("close") || (g->http10 && !connection.contains("keep-alive"));
        g->pending.append(pending);
        QPointer<QTcpSocket> alive(socket);
        Gate *gateOf = gate;
        handler(req, [pending, alive, gateOf](const Response &resp) {
            if (!pending->responder || !alive || pending->answer)
                return;
            pending->answer = resp;
            flush(gateOf, alive.data());
        });
        return true;
    }

    // Answers go out in the order their requests came: one given early waits for
    // those before it.
    static void flush(Gate *gate, QTcpSocket *socket)
    {
        Gate::Guard *g = gate->guard(socket);
        if (!g)
            return;
        while (!g->pending.isEmpty() && g->pending.first()->answer) {
            const std::shared_ptr<Pending> p = g->pending.takeFirst();
            Response out = *p->answer;
            if (p->close)
                out.headers += {{"Connection", "close"}};
            write(*p->responder, out);
            p->responder.reset();
            g->lastActivityMs = gate->now();
            if (p->close) {
                for (const auto &later : qAsConst(g->pending))
                    later->responder.reset();
                g->pending.clear();
                socket->disconnectFromHost(); // once the answer is written
                return;
            }
        }
        if (socket->bytesToWrite() > kMostUnread)
            socket->abort();
    }

    void missingHandler(const QHttpServerRequest &r, QTcpSocket *socket) override
    {
        Response resp = refusals.take(socket);
        if (resp.status == 0)
            resp = Response{404, R"({"error":"not found"})", "application/json", {}};
        Gate::Guard *g = gate->guard(socket);
        if (!g) {
            QHttpServerResponder responder = makeResponder(r, socket);
            return write(responder, resp);
        }
        auto pending = std::make_shared<Pending>();
        pending->responder.emplace(makeResponder(r, socket));
        pending->answer = resp;
        g->pending.append(pending);
        flush(gate, socket);
    }

private:
    static void write(QHttpServerResponder &responder, const Response &resp)
    {
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(resp.status));
        responder.writeHeader("Content-Type", resp.type);
        responder.writeHeader("Content-Length", QByteArray::number(resp.body.size()));
        for (const auto &h : resp.headers)
            responder.writeHeader(h.first, h.second);
        responder.writeBody(resp.body);
    }

    static bool wellFormedUpgrade(const Request &r)
    {
        return r.method == "GET" && r.header("connection").toLower().contains("upgrade")
            && r.header("sec-websocket-version").trimmed() == "13"
            && QByteArray::fromBase64(r.header("sec-websocket-key").trimmed()).size() == 16;
    }

    Request convert(const QHttpServerRequest &r) const
    {
        Request req;
        req.method = methodName(r.method());
        req.path = r.url().path();
        req.query = r.query();
        for (const auto &h : r.headers())
            req.headers.insert(h.first.toLower(), h.second);
        req.body = r.body();
        req.peer = r.remoteAddress();
        req.webSocket = req.header("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
        return req;
    }

    void takeWebSockets()
    {
        while (hasPendingWebSocketConnections()) {
            std::unique_ptr<QWebSocket> ws = nextPendingWebSocketConnection();
            if (!ws)
                break;
            ws->setMaxAllowedIncomingFrameSize(static_cast<quint64>(limits.maxBody));
            ws->setMaxAllowedIncomingMessageSize(static_cast<quint64>(limits.maxBody));
            Request req;
            req.method = "GET";
            req.path = ws->requestUrl().path();
            req.query = QUrlQuery(ws->requestUrl());
            const QNetworkRequest nr = ws->request();
            for (const QByteArray &name : nr.rawHeaderList())
                req.headers.insert(name.toLower(), nr.rawHeader(name));
            req.peer = ws->peerAddress();
            req.webSocket = true;
            emit owner->webSocket(ws.release(), req);
        }
    }

    Server *owner;
    Gate *gate;
    Limits limits;
    Handler handler;
    Upgrade upgrade;
    QHash<QTcpSocket *, Response> refusals;
};

Server::Server(const Limits &limits, Handler handler, Upgrade upgrade, QObject *parent) : QObject(parent)
{
    // The library's own notes on refused upgrades go to the debug log only.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
    gate = new Gate(limits, this);
    backend = new Backend(this, gate, limits, std::move(handler), std::move(upgrade));
}

Server::~Server() = default;

bool Server::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (!gate->listen(address, port)) {
        *error = gate->errorString();
        return false;
    }
    backend->bind(gate);
    return true;
}

quint16 Server::port() const
{
    return gate->serverPort();
}

int Server::clients() const
{
    return gate->count();
}

} // namespace Http
