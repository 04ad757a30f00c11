#include "webpage.h"

#include <QFile>
#include <QRegularExpression>

// Q_INIT_RESOURCE may not be used inside a namespace.
static void initResource()
{
    Q_INIT_RESOURCE(web); // the resource lives in a static library
}

namespace {
const char *typeOf(const QString &file)
{
    if (file.endsWith(QLatin1String(".js")))
        return "text/javascript; charset=utf-8";
    if (file.endsWith(QLatin1String(".css")))
        return "text/css; charset=utf-8";
    if (file.endsWith(QLatin1String(".svg")))
        return "image/svg+xml";
    return "text/html; charset=utf-8";
}
} // namespace

bool WebPage::serve(const Http::Request &r, Http::Response *out)
{
    static const bool loaded = (initResource(), true);
    Q_UNUSED(loaded);
    QString file;
    if (r.path == QLatin1String("/") || r.path == QLatin1String("/index.html"))
        file = QStringLiteral("index.html");
    else if (r.path.startsWith(QLatin1String("/ui/")))
        file = r.path.mid(4);
    else
        return false;
    *out = Http::Response{};
    out->type = "text/plain; charset=utf-8";
    static const QRegularExpression plainName(QStringLiteral("^[a-z0-9-]+\\.(html|js|css|svg)$"));
    QFile f(QStringLiteral(":/web/") + file);
    if (r.method != "GET" && r.method != "HEAD") {
        out->status = 405;
        out->body = "the page takes GET\n";
        out->headers += {{"Allow", "GET, HEAD"}};
    } else if (!plainName.match(file).hasMatch() || !f.open(QIODevice::ReadOnly)) {
        out->status = 404;
        out->body = "no such file\n";
    } else {
        out->type = typeOf(file);
        out->body = r.method == "HEAD" ? QByteArray() : f.readAll();
        // Everything comes from the service itself; nothing runs that it did not send.
        // 'self' covers the service's own ws: and wss: URLs, and no other host's.
        out->headers += {{"Content-Security-Policy",
                          "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                          "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"},
                         {"Cache-Control", "no-cache"}};
    }
    return true;
}
