#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrlQuery>
#include <QVector>

#include <functional>

class QTcpSocket;
class QWebSocket;
class QTimer;

// The service's own view of HTTP: a request in, a response out, and WebSocket
// connections handed over. Everything the HTTP library offers beyond that stays
// inside this adapter, so a newer library changes this file alone.
namespace Http {

struct Request {
    QByteArray method;                   // "GET", "PATCH" ...
    QString path;                        // decoded, without the query
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QHostAddress peer;
    bool webSocket = false;              // an upgrade to a WebSocket
    QByteArray header(const char *name) const { return headers.value(QByteArray(name)); }
};

struct Response {
    int status = 200;
    QByteArray body;
    QByteArray type = "application/json";
    QVector<QPair<QByteArray, QByteArray>> headers;
};

// Called once per request, with the request's answer (at once or later).
using Respond = std::function<void(const Response &)>;
using Handler = std::function<void(const Request &, const Respond &)>;
// A WebSocket upgrade: 0 to accept it, else the status (and body) it is refused with.
using Upgrade = std::function<Response(const Request &)>;

struct Limits {
    int maxBody = 64 * 1024;       // larger request bodies are refused with 413
    int maxClients = 64;           // connections at once, HTTP and WebSocket
    int requestTimeoutMs = 10000;  // a request must arrive whole within this
    int idleMs = 120000;           // an HTTP connection without a request is closed after this
};

class Gate;

class Server : public QObject
{
    Q_OBJECT
public:
    Server(const Limits &limits, Handler handler, Upgrade upgrade, QObject *parent = nullptr);
    ~Server() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    int clients() const;

signals:
    // An accepted WebSocket, owned by the receiver from now on.
    void webSocket(QWebSocket *socket, const Http::Request &request);

private:
    class Backend;
    Backend *backend = nullptr;
    Gate *gate = nullptr;
};

} // namespace Http
