// The fleet against simulated monitors on one serial line: replies taken only
// as the answer of the request they match, setting frames that do not wait for
// a read, round robin past a silent monitor, users served in turn; and on a
// host on two networks, in namespaces made here.
#include <QtTest>

#include "fleet.h"
#include "netlab.h"
#include "networklink.h"
#include "seriallink.h"
#include "simulator.h"

class TestFleet : public QObject
{
    Q_OBJECT
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<SerialLink> link;
    std::unique_ptr<Fleet::Fleet> fleet;
    QStringList done; // "KEY@SCREEN +" or "-" as each read ends

    // Monitors ID 5 and 6 (type 4, three screens) answer on the line; ID 9 is listed but silent.
    void start(std::initializer_list<const char *> commands = {})
    {
        sim = std::make_unique<Simulator>();
        sim->monitors = {Sim::makeMonitor(4, 5, {}), Sim::makeMonitor(4, 6, {})};
        for (const char *c : commands)
            QVERIFY(sim->command(QString::fromLatin1(c)));
        link = std::make_unique<SerialLink>(sim.get());
        QString why;
        QVERIFY2(link->openPty(&why), qPrintable(why));
        fleet = std::make_unique<Fleet::Fleet>(38400);
        for (int id : {5, 6, 9}) {
            Fleet::Monitor &m = fleet->add({link->path(), {}, id, {}});
            m.type = 4;
            m.screenCount = 3;
        }
    }
    QString key(int id) const { return QStringLiteral("serial:%1#%2").arg(link->path()).arg(id); }
    void read(int id, int screen, const QString &user = {})
    {
        fleet->read(key(id), screen, [this, id, screen](bool ok) { done << QStringLiteral("%1@%2 %3").arg(id).arg(screen + 1).arg(ok ? '+' : '-'); }, user);
    }
    int brightness(int id, int screen) { return fleet->find(key(id))->screens[screen].record.get(Field::brightness); }
    void tally(int id)
    {
        fleet->send(key(id), "tally", [](Fleet::Fleet::Setting *s) { s->group = 6; s->record.set(Field::tally, 1); return true; });
    }

private slots:
    void initTestCase() { qRegisterMetaType<Field>(); } // Qt 5's QSignalSpy takes registered types alone
    void cleanup() { fleet.reset(); link.reset(); sim.reset(); done.clear(); }

    void lateRepliesAnswerNothing()
    {
        start({"set 5 1 brightness 40", "set 6 3 brightness 60", "set 6 1 brightness 77", "fail delay-ms 1300"});
        // Each reply comes while the next request, to another monitor or screen, waits for its own: none is taken.
        read(5, 0);
        read(6, 0);
        read(6, 2);
        QTRY_COMPARE_WITH_TIMEOUT(done, (QStringList{"5@1 -", "6@1 -", "6@3 -"}), 5000);
        QVERIFY(!fleet->find(key(6))->screens[0].known && !fleet->find(key(6))->screens[2].known);
        QVERIFY(sim->command("fail delay-ms 0"));
        done.clear();
        read(6, 0);
        read(6, 2);
        read(5, 0);
        QTRY_COMPARE_WITH_TIMEOUT(done, (QStringList{"6@1 +", "6@3 +", "5@1 +"}), 5000);
        QCOMPARE(QVector<int>({brightness(5, 0), brightness(6, 2), brightness(6, 0)}), QVector<int>({40, 60, 77}));
    }

    void settingFramesDoNotWaitForReads()
    {
        // The replies come in slowly, in pieces; the line runs at a real line's speed.
        start({"fail chunk 8", "fail chunk-gap-ms 30"});
        link->setLineRate(38400);
        int tallyAtSilence = -1;
        read(9, 0); // silent: the tally to 5 goes out before its time runs out
        tally(5);
        fleet->read(key(9), 0, [&](bool) { tallyAtSilence = sim->monitors[0].commandsApplied; });
        // A frame to 6 while 5's reply comes in does not cost that reply.
        connect(sim.get(), &Simulator::logLine, fleet.get(), [this](const QString &line) {
            if (line.startsWith("ID 5 screen 1: read"))
                QTimer::singleShot(50, fleet.get(), [this] { tally(6); });
        });
        QTRY_COMPARE_WITH_TIMEOUT(tallyAtSilence, 1, 5000);
        read(5, 0);
        QTRY_COMPARE_WITH_TIMEOUT(done, (QStringList{"9@1 -", "5@1 +"}), 5000);
        QCOMPARE(sim->monitors[1].commandsApplied, 1);
    }

    // What a setting frame carries is the screen's state until the next read:
    // only the bytes its group carries to the type, only on its screens.
    void sentFramesBecomeTheState()
    {
        start({"set 5 1 brightness 40"});
        read(5, 0);
        QTRY_COMPARE(done, QStringList{"5@1 +"});
        const int umd2 = fleet->find(key(5))->screens[0].record.get(Field::umd2Color);
        QSignalSpy changed(fleet.get(), &Fleet::Fleet::fieldChanged);
        bool sent = false;
        fleet->send(key(5), "picture", [](Fleet::Fleet::Setting *s) {
            s->screenMask = 0x01;
            s->group = 1;
            s->record.set(Field::brightness, 70);
            s->record.set(Field::volume, 9); // group 4's byte: not carried
            return true;
        }, [&](bool written) { sent = written; });
        fleet->send(key(5), "umd", [](Fleet::Fleet::Setting *s) { s->group = 6; s->record.set(Field::umd2Color, 5); return true; });
        QTRY_VERIFY(sent);
        QCOMPARE(changed.value(0), (QVariantList{key(5), 0, QVariant::fromValue(Field::brightness), 40, 70}));
        QCOMPARE(brightness(5, 0), 70);
        QVERIFY(fleet->find(key(5))->screens[0].record.get(Field::volume) != 9);
        QCOMPARE(brightness(5, 1), 0); // screen 2, never read, not in the frame
        QTRY_COMPARE(sim->monitors[0].commandsApplied, 2);
        QCOMPARE(fleet->find(key(5))->screens[0].record.get(Field::umd2Color), umd2); // type 2's byte alone
        // A read asked for before a frame goes out, answered late with what the
        // monitor showed before the frame: the reply does not take it back.
        sim->failures.delayMs = 700;
        changed.clear();
        read(5, 0);
        fleet->send(key(5), "picture", [](Fleet::Fleet::Setting *s) { s->group = 1; s->record.set(Field::brightness, 30); return true; });
        QTRY_COMPARE(done.size(), 2);
        sim->failures.delayMs = 0;
        QCOMPARE(brightness(5, 0), 30);
        QCOMPARE(changed.size(), 1);
    }

    void roundRobinPastASilentMonitor()
    {
        start();
        int readsOfFive = 0;
        connect(fleet.get(), &Fleet::Fleet::recordRead, fleet.get(), [&](const QString &k) { readsOfFive += k == key(5); });
        QSignalSpy offline(fleet.get(), &Fleet::Fleet::onlineChanged);
        for (int id : {5, 6, 9})
            fleet->watch(key(id), 0, 0);
        // Three time-outs make ID 9 offline; between two of them the others are read.
        QTRY_VERIFY_WITH_TIMEOUT(offline.contains(QVariantList{key(9), false}), 8000);
        QVERIFY2(readsOfFive >= 3, qPrintable(QString::number(readsOfFive)));
    }

    // Users in turn, an urgent read before them all; a user with more than a
    // link's room waiting has the rest ended at once, without the others waiting.
    // A monitor that falls silent and comes back as another type at its ID is asked its type again.
    void replacedWhileSilent()
    {
        start();
        fleet->watch(key(6), 0, 200);
        QTRY_VERIFY(fleet->find(key(6))->screens[0].known);
        sim->monitors.removeLast(); // silent, then another monitor at ID 6
        QTRY_VERIFY_WITH_TIMEOUT(!fleet->find(key(6))->online, 8000);
        sim->monitors.append(Sim::makeMonitor(2, 6, {}));
        QTRY_COMPARE_WITH_TIMEOUT(fleet->find(key(6))->type, 2, 8000);
    }

    void usersServedInTurn()
    {
        start();
        for (int i = 0; i < 5; ++i)
            read(5, i % 3, "bridge");
        read(6, 0, "script");
        fleet->read(key(6), 2, [this](bool ok) { done << QStringLiteral("page %1").arg(ok ? '+' : '-'); }, "page", true);
        QTRY_COMPARE(done.size(), 7);
        QCOMPARE(done.mid(0, 3), (QStringList{"5@1 +", "page +", "6@1 +"})); // the first was on its way
        done.clear();
        for (int i = 0; i < 4096 + 76; ++i) // one on its way, 4096 waiting
            read(9, 0, "flood");
        read(5, 1, "script");
        QTRY_COMPARE(done.size(), 75);
        QCOMPARE(done.count("9@1 -"), 75);
        QTRY_VERIFY(done.contains("5@2 +")); // after the read on its way, not after the flood
        QCOMPARE(fleet->find(key(9))->failures, 1);
    }

    // Screens watched together are read spread over their cadence, not in one
    // burst; each user keeps its own cadence for a screen both watch.
    void watchedCadence()
    {
        start();
        QElapsedTimer clock;
        clock.start();
        QVector<qint64> at;
        int secondScreen = 0;
        connect(fleet.get(), &Fleet::Fleet::recordRead, fleet.get(), [&](const QString &k, int screen) {
            if (k == key(6) && screen == 1)
                ++secondScreen;
            else
                at << clock.elapsed();
        });
        for (int id : {5, 6})
            for (int screen : {0, 2})
                fleet->watch(key(id), screen, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(at.size() >= 4, 8000);
        // Together they would all come within a few tens of ms; spread, the fourth at 3/4 of it.
        QVERIFY2(at[3] - at[0] >= 1500, qPrintable(QString::number(at[3] - at[0])));
        fleet->watch(key(6), 1, 300, "page");
        fleet->watch(key(6), 1, 600000, "bridge");
        QTRY_VERIFY_WITH_TIMEOUT(secondScreen >= 4, 5000);
    }

    // The fleet's host on 10.78.1.0/24 and 10.78.2.0/24, a monitors' namespace
    // behind each. Behind the second also 10.79.2.5, in no local subnet: it is
    // reached through the interface whose third address field matches. (The
    // last test: this thread stays in the fleet's namespace.)
    void twoNetworks()
    {
        QString why;
        if (!NetLab::available(&why))
            QSKIP(qPrintable(why));
        NetLab net;
        const QString here = net.addNamespace("fleet");
        Simulator sims[2];
        std::unique_ptr<NetworkLink> links[2];
        const QStringList ips{"10.78.1.7", "10.78.2.9", "10.79.2.5"};
        for (int n = 0; n < 2; ++n) {
            const QString ns = net.addNamespace(QStringLiteral("mons%1").arg(n + 1));
            const QStringList mons = n ? QStringList{"10.78.2.9/24", "10.79.2.5/24"} : QStringList{"10.78.1.7/24"};
            QVERIFY(!net.link(here, {QStringLiteral("10.78.%1.1/24").arg(n + 1)}, ns, mons).isEmpty());
            for (const QString &m : mons)
                sims[n].monitors << Sim::makeMonitor(4, 0, m.section('/', 0, 0));
            links[n] = std::make_unique<NetworkLink>(&sims[n]);
            QVERIFY2(links[n]->adopt(net.udpSocketIn(ns, "0.0.0.0", NetworkLink::MonitorPort), &why), qPrintable(why));
        }
        QVERIFY(NetLab::enter(here));
        fleet = std::make_unique<Fleet::Fleet>();
        QStringList found;
        fleet->discoverLan([&](const QStringList &f) { found = f; });
        QTRY_COMPARE_WITH_TIMEOUT(found, (QStringList{"lan:10.79.2.5", "lan:10.78.1.7", "lan:10.78.2.9"}), 5000);
        // Reads of all three, interleaved as fast as the line sends them: every one answered.
        for (int i = 0; i < 30; ++i)
            fleet->read("lan:" + ips[i % 3], i % 3, [&, i](bool ok) { done << ips[i % 3] + (ok ? " +" : " -"); });
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 30, 40000);
        QVERIFY2(done.filter(" -").isEmpty(), qPrintable(done.join(", ")));
    }
};

QTEST_GUILESS_MAIN(TestFleet)
#include "tst_fleet.moc"
