#pragma once

#include <QString>

#include "fleet.h"

namespace Fleet {

// Where a monitor is: "lan:10.0.0.7" or "serial:/dev/ttyUSB0#5". In a copy a
// screen may follow: "lan:10.0.0.7@2".
struct Target {
    QString name;     // as written by the caller (a target file name or the target itself)
    bool serial = false;
    QString ip;
    QString port;     // the device the port leads to (canonicalPort): one port has one name
    QString device;   // the port as written, which opens it: a link follows an adapter plugged back
    int id = 0;
    int screen = -1;  // 0-7 when given with @N

    QString key() const { return serial ? port + QLatin1Char('#') + QString::number(id) : ip; }
    // Where the fleet finds the monitor.
    Address address() const
    {
        Address a;
        a.port = serial ? port : QString();
        a.device = serial ? device : QString();
        a.ip = serial ? QString() : ip;
        a.id = serial ? id : 0;
        return a;
    }
    QString text() const;
};

// Reads "lan:A.B.C.D", "serial:PORT#ID", each optionally followed by "@SCREEN".
// One monitor has one form: the address written back in plain decimal
// ("10.0.0.07" is 10.0.0.7), the port as canonicalPort() gives it.
bool parseTarget(const QString &text, Target *out, QString *error);

// A serial port by the device it leads to: the real path behind symbolic links
// (/dev/serial/by-id/... is /dev/ttyUSB0) when the port exists, else as written.
// A bare name is taken from /dev, as the serial port opens it.
QString canonicalPort(const QString &port);

} // namespace Fleet
