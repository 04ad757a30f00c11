#include "target.h"

#include <QFileInfo>
#include <QHostAddress>

#include <algorithm>

#include "machinedevice.h"

namespace Fleet {

namespace {
bool number(const QString &text, int *out)
{
    bool ok = false;
    *out = text.toInt(&ok, 10);
    return ok;
}

// Four parts of 1-3 decimal digits, 0-255 each. A leading zero does not make a
// part octal, as QHostAddress and inet_aton read it ("010" is 10, not 8), and
// "0x" parts are refused.
bool lanAddress(const QString &text, QString *out)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    quint32 address = 0;
    for (const QString &p : parts) {
        int n = 0;
        const bool digits = std::all_of(p.begin(), p.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
        if (parts.size() != 4 || p.isEmpty() || p.size() > 3 || !digits || !number(p, &n) || n > 255)
            return false;
        address = address << 8 | quint32(n);
    }
    *out = QHostAddress(address).toString();
    return true;
}
} // namespace

QString canonicalPort(const QString &port)
{
    const QString real = QFileInfo(port.contains(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port).canonicalFilePath();
    return real.isEmpty() ? port : real;
}

QString Target::text() const
{
    QString t = serial ? QStringLiteral("serial:%1#%2").arg(port).arg(id) : QStringLiteral("lan:%1").arg(ip);
    return screen >= 0 ? t + QStringLiteral("@%1").arg(screen + 1) : t;
}

bool parseTarget(const QString &text, Target *out, QString *error)
{
    Target t;
    t.name = text;
    QString rest = text;
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    if (at > 0) {
        int screen = 0;
        if (!number(rest.mid(at + 1), &screen) || screen < 1 || screen > MachineDevice::MaxScreens) {
            *error = QStringLiteral("bad screen in target '%1' (1-8)").arg(text);
            return false;
        }
        t.screen = screen - 1;
        rest = rest.left(at);
    }
    if (rest.startsWith(QLatin1String("lan:"))) {
        if (!lanAddress(rest.mid(4), &t.ip)) {
            *error = QStringLiteral("bad address in target '%1' (lan:A.B.C.D)").arg(text);
            return false;
        }
    } else if (rest.startsWith(QLatin1String("serial:"))) {
        t.serial = true;
        const int hash = rest.lastIndexOf(QLatin1Char('#'));
        t.port = rest.mid(7, hash - 7);
        if (hash < 0 || t.port.isEmpty() || !number(rest.mid(hash + 1), &t.id) || t.id < 0
            || t.id > 126) {
            *error = QStringLiteral("bad serial target '%1' (serial:PORT#ID, ID 0-126)").arg(text);
            return false;
        }
        t.device = t.port;
        t.port = canonicalPort(t.port);
    } else {
        *error = QStringLiteral("unknown target '%1' (lan:A.B.C.D, serial:PORT#ID or a name from --targets)").arg(text);
        return false;
    }
    *out = t;
    return true;
}

} // namespace Fleet
