#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>

#include "exitstatus.h"
#include "mqttclient.h"
#include "target.h"
#include "tallybridge.h"

// How a service joins the others of a facility through an MQTT broker: as a site
// it publishes its monitors and takes commands for them; as a centre it shows
// the monitors of the sites it names beside its own.
struct MqttConfig {
    bool on = false;                      // an "mqtt" section was given
    QString broker;                       // the URL as written, for the log
    MqttClient::Options client;
    QString site;                         // this service's site name: its topics are telvanor/SITE/...
    bool publish = true;                  // its own monitors go out
    bool commands = true;                 // it takes commands for them
    bool allSites = false;                // "sites": "*": every site the broker has
    QStringList sites;                    // the other sites it shows
};

// What telvanord is told in its configuration file (JSON).
struct ServiceConfig {
    QString path;
    QMap<QString, Fleet::Target> monitors;    // by name
    QStringList names;                    // in file order
    bool discoverLan = false;
    QStringList discoverSerial;           // serial ports searched at start
    int baud = 38400;
    int readEveryMs = 5000;               // each screen of each monitor is read this often
    QString presetsDir;
    QHostAddress listen = QHostAddress(QHostAddress::LocalHost);
    QString listenText = QStringLiteral("127.0.0.1");
    quint16 port = 8080;
    QString tokenFile;
    QByteArray token;                     // empty: no token asked for
    int maxClients = 64;
    QStringList corsOrigins;
    QStringList hosts;                    // Host names browsers may reach it by, in lower case
    QString stateDir;                     // what the monitors cannot tell back is kept here; empty: nowhere
    QString stateFrom;                    // where stateDir was given, for the log: the key or $STATE_DIRECTORY
    QMap<QString, QString> rooms;         // room of each monitor named in "rooms", by monitor name
    MqttConfig mqtt;
    bool hasBridge = false;
    QString bridgeMapPath;
    BridgeMap bridgeMap;
};

namespace ServiceConfigLimits {
constexpr int MinReadEveryMs = 1000;
constexpr int MostClients = 1000;
constexpr int MinTokenLength = 16;
constexpr int MostNameLength = 64;
}

// Whether a monitor or preset name is one the service takes: 1-64 of A-Z a-z 0-9 _ -.
bool validName(const QString &name);
// The name of a monitor found by a search, from where it is: "lan-10-0-0-7", "serial-ttyUSB0-5".
QString nameForPlace(const Fleet::Target &t);

// What the file is read for: to start, which makes the presets folder when it is
// missing, or to check, which changes nothing (a folder still to make is fine
// when the nearest folder above it that exists is one the service can write).
enum class ConfigUse { Start, Check };

// Reads and checks the file and what it names (token file, presets folder, bridge
// map). The state folder is "state", else the first folder of $STATE_DIRECTORY
// (systemd's StateDirectory=), else none; it is neither made nor judged here (a
// folder the service cannot write to is logged at start, not refused). ExitOk, or ExitFile with *error "FILE:LINE: reason". Refused too: a key
// given twice in one object, and two names for one monitor (ports and addresses
// compared in the form Fleet::parseTarget gives them).
int readServiceConfig(const QString &path, ServiceConfig *out, QString *error, ConfigUse use = ConfigUse::Start);
