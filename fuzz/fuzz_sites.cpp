// Fuzz target for what a broker delivers to a service: a message built from the
// input goes to a site (its command topics, its own retained state) and to a
// centre showing every site, with no broker connected: nothing goes out.
// Beyond "no crash": the centre names its remote monitors SITE~NAME with both
// parts valid names, each answers as JSON with its site, and a request forwarded
// to one is answered exactly once (at once: there is no broker).
// Input: flags (bit 0 retained, bit 1 a correlation), then "TOPIC\nRESPONSE TOPIC\nPAYLOAD".
#include <cstdint>
#include <cstdlib>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include "api.h"
#include "config.h"
#include "fleet.h"
#include "sites.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

// A site "here" with one monitor (at an address the fleet's IPv4 socket cannot send to), showing every other site.
struct World {
    QTemporaryDir dir;
    Fleet::Fleet fleet;
    MqttClient client{MqttClient::Options{}};
    Api api{&fleet, Api::Options{dir.path(), 5000, false, {}, {}, {}, {}, 30000, QStringLiteral("here"), {}}};
    MqttConfig config{true, {}, {}, QStringLiteral("here"), true, true, true, {}};
    SitePublisher site{&client, &api, &fleet, config, {{QStringLiteral("cam1"), QStringLiteral("Studio")}}};
    RemoteSites centre{&client, config};
    World()
    {
        Fleet::Target t;
        QString why;
        Fleet::parseTarget(QStringLiteral("lan:fe80::7"), &t, &why);
        api.addMonitor(QStringLiteral("cam1"), t);
        api.setRemote(&centre);
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_sites";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World *world = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
        return new World;
    }();
    if (size < 1)
        return 0;
    const QByteArray in(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QList<QByteArray> parts = in.split('\n');
    MqttClient::Message m;
    m.retained = data[0] & 1;
    m.topic = QString::fromUtf8(parts.value(0));
    m.responseTopic = QString::fromUtf8(parts.value(1));
    m.payload = in.mid(parts.value(0).size() + parts.value(1).size() + 2);
    if (data[0] & 2)
        m.correlation = "0123456789abcdef";
    emit world->client.message(m);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    for (const QString &n : world->centre.names()) {
        check(world->centre.owns(n) && validName(n.section(SiteTopics::Separator, 0, 0))
              && validName(n.section(SiteTopics::Separator, 1)) && n.count(SiteTopics::Separator) == 1);
        const QJsonObject o = world->centre.monitorJson(n, true);
        check(o.value("name").toString() == n && o.value("site").toString() == n.section(SiteTopics::Separator, 0, 0));
        int answers = 0;
        world->api.command("PATCH", QStringLiteral("/api/v1/monitors/%1/screens/1").arg(n), m.payload,
                            [&answers](const Http::Response &r) { ++answers, check(r.status >= 400); });
        check(answers == 1);
    }
    return 0;
}
