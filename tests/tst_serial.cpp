// The protocol object on the serial line, over real pseudo-terminals: what one
// call sends (packet groups, the paced whole record, reads, the bit setters),
// where a whole-record send goes when the operator picks something else during
// its pauses, the search against simulated monitors, the reply watch, a vanished
// line, and quitting in the middle of a send.
#include <QtTest>

#include <functional>
#include <memory>
#include <numeric>

#include "datastream.h"
#include "ptypair.h"
#include "seriallink.h"
#include "simulator.h"

// A call, the frames the peer then sees (as summary() writes them), what the
// operator does meanwhile (see recordKeepsItsTarget_data) and record byte `byte`
// before and after.
struct CallRow { std::function<void(DataStream *)> call; QString frames, steps = {}; int byte = 0, before = 0, after = 0; };
Q_DECLARE_METATYPE(CallRow)

namespace {
// Frames the panel never sends, written onto its line by the test: the peer has
// everything written before kMarker once kMarker is in; kUpdated (command 66)
// goes out when signalUpdateDevice is emitted and so shows where that came.
const QByteArray kMarker = QByteArray::fromHex("5a0b00000000000077dcdd");
const QByteArray kUpdated = QByteArray::fromHex("5a0b00000000000066cbdd");

// Appends the checksum (low byte of the sum of every byte) and the end byte.
QByteArray withSum(const QByteArray &head)
{
    return head + char(std::accumulate(head.begin(), head.end(), 0, [](int sum, char c) { return sum + quint8(c); })) + char(0xDD);
}

// Each frame as screen mask, ID, command, then its data byte when all are alike
// or "..": "04090100" is command 01 to ID 9, screen 3, carrying zeros.
QString summary(const QList<SeenFrame> &frames)
{
    QStringList out;
    for (const SeenFrame &s : frames) {
        const QByteArray data = s.bytes.mid(9, s.bytes.size() - 11);
        out << QString::fromLatin1(s.bytes.mid(4, 1).toHex() + s.bytes.mid(7, 2).toHex()
                                   + (data.isEmpty() || data.count(data.at(0)) == data.size() ? data.left(1).toHex() : ".."));
    }
    return out.join(' ');
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<SerialPeer> peer;
    std::unique_ptr<DataStream> ds;

    // Listed as a search reply would list it, every record byte set to fill.
    void addDevice(int id, int type, char fill = 0)
    {
        ds->slotUartRecvFrame(withSum(QByteArray::fromHex("5a0b000000") + char(type) + '\0' + char(id) + '\xff'));
        ds->deviceList.last()->basicData.bytes.fill(quint8(fill));
    }

    // What the peer got since the last call.
    QList<SeenFrame> seen()
    {
        ds->port->uartSend(kMarker.constData(), kMarker.size());
        (void)QTest::qWaitFor([this] { return !peer->frames.isEmpty() && peer->frames.last().bytes == kMarker; }, 5000);
        const QList<SeenFrame> out = std::exchange(peer->frames, {});
        return out.mid(0, out.size() - 1); // all but the marker (or, were it lost, a frame: a mismatch either way)
    }

private slots:
    void cleanup() { ds.reset(); peer.reset(); pty.reset(); }

    void init()
    {
        pty = std::make_unique<PtyPair>();
        peer = std::make_unique<SerialPeer>(*pty);
        ds = std::make_unique<DataStream>();
        ds->linkMode = DataStream::LinkSerial; // before anything is sent: nothing goes to the network
        ds->port->setSerialPort(pty->slavePath(), 38400);
        connect(ds.get(), &DataStream::signalUpdateDevice, this, [this] { ds->port->uartSend(kUpdated.constData(), kUpdated.size()); });
    }

    void oneCall_data()
    {
        // ID 9, three screens, is the only device, picked on screen 3, its record all zeros.
        QTest::addColumn<CallRow>("row");
        const char *command[] = {"", "01", "02", "04", "03", "00", "05"};
        for (int g = 1; g <= 6; ++g)
            QTest::addRow("group %d", g) << CallRow{[g](DataStream *d) { d->sendGroup(g); }, QStringLiteral("0409") + command[g] + "00 000066"};
        QTest::newRow("group 2 to all") << CallRow{[](DataStream *d) { d->sendToAll = true; d->sendGroup(2); }, "04ff0200 000066"};
        for (int g : {0, 7, -1})
            QTest::addRow("group %d", g) << CallRow{[g](DataStream *d) { d->sendGroup(g); }, "04090000 04090100 04090200 04090400 04090300 04090500 000066"};
        QTest::newRow("empty list, then none picked") << CallRow{[](DataStream *d) { d->clearDeviceList(); d->sendGroup(0); d->deviceList << new MachineDevice; d->sendGroup(1); }, ""};
        QTest::newRow("select, screen kept") << CallRow{[](DataStream *d) { QCOMPARE(d->selectDevice(0, -1), 3); }, "0409fe"};
        QTest::newRow("select, no screen yet") << CallRow{[](DataStream *d) { d->curDevice->screenMask = 0; QCOMPARE(d->selectDevice(0, -1), 3); }, "0109fe"};
        QTest::newRow("select screen 2, settings to all") << CallRow{[](DataStream *d) { d->sendToAll = true; QCOMPARE(d->selectDevice(0, 1), 3); }, "0209fe"};
        QTest::newRow("select out of range") << CallRow{[](DataStream *d) { QCOMPARE(d->selectDevice(1, 0), 0); QCOMPARE(d->selectDevice(-1, 0), 0); }, ""};
        QTest::newRow("UMD 1 on") << CallRow{[](DataStream *d) { d->setUmdSlotOn(0, 1); }, "040905.. 000066", {}, 21, 0x37, 0x3F};
        QTest::newRow("UMD 5 does not exist") << CallRow{[](DataStream *d) { d->setUmdSlotOn(4, 1); }, "04090500 000066", {}, 21, 0x00, 0x00};
        QTest::newRow("UMD 3 colour 5") << CallRow{[](DataStream *d) { d->setUmdSlotColor(2, 5); }, "04090500 000066", {}, 22, 0x8F, 0xDF};
        QTest::newRow("window 2 source 5") << CallRow{[](DataStream *d) { d->setMvWindowSource(1, 5); }, "04090000 000066", {}, 8, 0x07, 0x57};
        QTest::newRow("multiview on") << CallRow{[](DataStream *d) { d->enableMv(); }, "04090013 000066", {}, 7, 0x23, 0x13};
        QTest::newRow("multiview off") << CallRow{[](DataStream *d) { d->disableMv(); }, "0409000f 000066", {}, 7, 0x1F, 0x0F};
    }

    void oneCall()
    {
        QFETCH(CallRow, row);
        addDevice(9, 4);
        ds->selectDevice(0, 2);
        seen();
        ds->basicData.setByte(row.byte, quint8(row.before));
        row.call(ds.get());
        const QList<SeenFrame> got = seen();
        QCOMPARE(summary(got), row.frames);
        for (int i = 1; i + 1 < got.size(); ++i) // pauses of 450 to 1500 ms
            QVERIFY2(qAbs(got[i].atMs - got[i - 1].atMs - 975) < 525, qPrintable(QString::number(got[i].atMs - got[i - 1].atMs)));
        QCOMPARE(int(ds->curDevice->basicData.byte(row.byte)), row.after);
    }

    void recordKeepsItsTarget_data()
    {
        // ID 3 ('A' in every record byte and the UMD text) is picked on screen 3; IDs 8 ('B')
        // and 12 ('C') are listed. A step for each frame the peer sees: m = screen 1, r = new
        // record, u = new UMD text, d = pick ID 8 on screen 2, e = send group 1, a = send to
        // all, l = switch to LAN.
        QTest::addColumn<CallRow>("row");
        QTest::newRow("copy to screens 1 and 2") << CallRow{[](DataStream *d) { QVERIFY(d->sendAllToScreens({0, 1})); },
            "01030041 01030141 01030241 01030441 0208fe 01030341 02080142 000066 01030541 "
            "02030041 02030141 02030241 02030441 02030341 02030541 000066", "mrud-ea"};
        QTest::newRow("whole record") << CallRow{[](DataStream *d) { d->sendGroup(0); },
            "04030041 04030141 04030241 04030441 0208fe 04030341 02080142 000066 04030541 000066", "mrud-ea"};
        QTest::newRow("copy of ID 12") << CallRow{[](DataStream *d) { d->umdText = "CCCCCCCCCCCCCCCC"; QCOMPARE(d->copyDeviceSettings(2, 0), 0); },
            "04030043 04030143 04030243 04030443 0208fe 04030343 02080142 000066 04030543 000066", "mrud-ea"};
        QTest::newRow("link switched") << CallRow{[](DataStream *d) { d->sendGroup(0); }, "04030041 04030141", "-l"};
    }

    void recordKeepsItsTarget()
    {
        QFETCH(CallRow, row);
        addDevice(3, 4, 'A');
        addDevice(8, 4, 'B');
        addDevice(12, 4, 'C');
        ds->selectDevice(0, 2);
        ds->umdText = QString(16, 'A');
        seen();
        int n = 0, firstScreen = -1;
        QObject guard;
        connect(peer.get(), &SerialPeer::frameSeen, &guard, [&] {
            firstScreen = n ? firstScreen : ds->currentScreen();
            switch (n < row.steps.size() ? row.steps.at(n++).toLatin1() : '-') {
            case 'm': ds->setScreen(0); break;
            case 'r': ds->curDevice->basicData.bytes.fill('Z'); ds->basicData.bytes.fill('Z'); break;
            case 'u': ds->umdText = QString(16, 'Z'); break;
            case 'd': ds->selectDevice(1, 1); break;
            case 'e': ds->sendGroup(1); break;
            case 'a': ds->sendToAll = true; break;
            case 'l': ds->linkMode = DataStream::LinkNetwork; break;
            }
        });
        row.call(ds.get());
        QCOMPARE(summary(seen()), row.frames);
        // The screen the operator is on stays as the operator left it.
        QCOMPARE(firstScreen, 2);
        QCOMPARE(int(ds->curDevice->screenMask), row.steps.contains('d') ? 0x02 : 0x04);
    }

    void search_data()
    {
        QTest::addColumn<QStringList>("failures"); // as the simulator's operator types them
        QTest::addColumn<int>("duplicates");
        QTest::newRow("every reply twice") << QStringList{"fail duplicate-search-reply 1"} << 3;
        QTest::newRow("1-byte pieces behind garbage") << QStringList{"fail chunk 1", "fail chunk-gap-ms 1", "fail garbage 1"} << 0;
    }

    void search()
    {
        QFETCH(QStringList, failures);
        QFETCH(int, duplicates);
        Simulator sim;
        // The last ID, 126, with replies at full speed; slow replies from an ID with
        // probes after it, so a loaded machine cannot make them miss the search's end.
        const int last = duplicates ? 126 : 100;
        sim.monitors = {Sim::makeMonitor(4, 0, {}), Sim::makeMonitor(2, 5, {}), Sim::makeMonitor(5, last, {})};
        for (const QString &line : failures)
            QVERIFY(sim.command(line));
        sim.logFrames = true;
        QStringList log;
        connect(&sim, &Simulator::logLine, &sim, [&](const QString &line) { log << line; });
        SerialLink link(&sim);
        QString why;
        QVERIFY2(link.openPty(&why), qPrintable(why));
        ds->port->setSerialPort(link.path(), 38400);
        QSignalSpy progress(ds.get(), &DataStream::signalUartSearchProgress), idErrors(ds.get(), &DataStream::signalIDIP_Error);
        ds->startSearch();
        QVERIFY(QSignalSpy(ds.get(), &DataStream::signalSearchCompleted).wait(20000));
        const QStringList probes = log.filter("< ");
        QCOMPARE(probes.size(), 127);
        for (int id = 0; id < 127; ++id)
            QCOMPARE(probes[id], QStringLiteral("< 5a 0b 00 00 00 ff 00 %1 ff %2 dd").arg(id, 2, 16, QChar('0')).arg((0x63 + id) & 0xFF, 2, 16, QChar('0')));
        QCOMPARE(progress.count(), 126);
        QCOMPARE(int(progress.last()[0].value<uchar>()), 125);
        QCOMPARE(idErrors.count(), duplicates);
        QStringList listed;
        for (const MachineDevice *d : qAsConst(ds->deviceList))
            listed << QStringLiteral("ID %1 type %2").arg(int(d->deviceId)).arg(d->deviceType);
        QCOMPARE(listed, (QStringList{"ID 0 type 4", "ID 5 type 2", QStringLiteral("ID %1 type 5").arg(last)}));
    }

    // Replies that come late, after another screen or monitor has been picked or
    // read, stay with their own screen and monitor.
    void lateRepliesStayApart()
    {
        Simulator sim;
        sim.monitors = {Sim::makeMonitor(4, 5, {}), Sim::makeMonitor(4, 6, {})};
        for (const char *line : {"set 5 1 brightness 40", "set 5 3 brightness 60", "set 6 1 brightness 77", "fail delay-ms 300"})
            QVERIFY(sim.command(QString::fromLatin1(line)));
        SerialLink link(&sim);
        QString why;
        QVERIFY2(link.openPty(&why), qPrintable(why));
        ds->port->setSerialPort(link.path(), 38400);
        addDevice(5, 4);
        addDevice(6, 4);
        QSignalSpy frames(ds->port, &PortDevice::signalUartRecvFrame), applied(ds.get(), &DataStream::signalRecvBasicData);
        auto brightness = [](const MachineDevice *d) { return d->basicData.get(Field::brightness); };

        // Screen 1 is read, then screen 3 picked: screen 1's reply is not screen 3's record.
        ds->selectDevice(0, 0);
        ds->setScreen(2);
        QVERIFY(frames.wait(3000));
        QCOMPARE(applied.count(), 0);
        ds->selectDevice(0, 2);
        QVERIFY(applied.wait(3000));
        QCOMPARE(brightness(ds->curDevice), 60);

        // ID 5 is read, then ID 6 before 5 has answered: 5's reply stays off 6's record.
        ds->selectDevice(0, 0);
        ds->selectDevice(1, 0);
        QTRY_COMPARE(frames.count(), 4);
        QCOMPARE(applied.count(), 2);
        QCOMPARE(brightness(ds->deviceList[1]), 77);
        QCOMPARE(brightness(ds->deviceList[0]), 60);
    }

    // At a real line's speed a reply takes milliseconds to come in; frames sent to
    // another monitor meanwhile must not throw it away where a line is shared.
    void sharedLineKeepsReplies()
    {
        Simulator sim;
        sim.monitors = {Sim::makeMonitor(4, 5, {}), Sim::makeMonitor(4, 6, {})};
        SerialLink link(&sim);
        link.setLineRate(38400);
        QString why;
        QVERIFY2(link.openPty(&why), qPrintable(why));
        ds->port->setSerialPort(link.path(), 38400);
        ds->port->keepInputOnWrite = true; // a line many monitors answer on
        addDevice(5, 4);
        addDevice(6, 4);
        const DataStream::SendTarget toSix = ds->targetFor(*ds->deviceList[1], 0, ST_BasicData(), {});
        bool replyStarted = false;
        connect(ds->port->serial, &QSerialPort::readyRead, ds.get(), [&] {
            if (!std::exchange(replyStarted, true)) // the first bytes of ID 5's reply are in
                ds->sendGroups(toSix, {1});
        });
        QSignalSpy applied(ds.get(), &DataStream::signalRecvBasicData);
        for (int round = 1; round <= 5; ++round) {
            replyStarted = false;
            ds->selectDevice(0, 0);
            QVERIFY(applied.wait(3000));
        }
        QTRY_COMPARE(sim.monitors[1].commandsApplied, 5);
        QCOMPARE(applied.count(), 5);
    }

    void replyWatch()
    {
        addDevice(5, 1);
        // ID 5 answers the read of its screen 3: record bytes 0-7 and 10-21, input text, name.
        peer->answer = [reply = withSum(QByteArray::fromHex("5a42000004010005fe00" "101112131415161718191a1b1c1d1e1f20212223")
                                        + QByteArray(18, 'x') + "CAM FIVE        ")](const QByteArray &) { return reply; };
        QSignalSpy received(ds.get(), &DataStream::signalRecvBasicData), lost(ds.get(), &DataStream::signalDeviceTimeout);
        QCOMPARE(ds->selectDevice(0, 2), 1);
        QVERIFY(received.wait(3000));
        QCOMPARE(peer->frames[0].bytes.toHex(), QByteArray("5a0b000004ff0005fe6bdd")); // the read request
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(ds->curDevice->basicData.bytes.data()), 24).toHex(),
                 QByteArray("1011121314151617" "0000" "18191a1b1c1d1e1f20212223" "0000"));
        QVERIFY(received[0][0].value<ST_BasicData>() == ds->curDevice->basicData);
        QCOMPARE(ds->curDevice->inputText[2] + ds->curDevice->deviceName, QString(18, 'x') + "CAM FIVE        ");

        // Silent from now on: the next read's reply time runs out, then eight more do.
        // A frame of the other link, either way round, is no sign of life (and lists nobody).
        peer->answer = nullptr;
        ds->selectDevice(0, 2);
        ds->linkMode = DataStream::LinkNetwork;
        pty->write(withSum(QByteArray::fromHex("5a0b000000010006ff"))); // in long before the reply time is out
        QTRY_COMPARE(ds->timeoutCount, 1);
        ds->linkMode = DataStream::LinkSerial;
        ds->slotUdpRecvFrame(QStringLiteral("192.0.2.6"), withSum(QByteArray::fromHex("5a0b000000010006ff")));
        for (int n = 2; n <= 9; ++n)
            ds->slotRecvTimerTimeout();
        QCOMPARE(lost.count(), 1);
        // Any frame of its own link is: counting starts again.
        pty->write(withSum(QByteArray::fromHex("5a0b00000001000501")));
        QTRY_COMPARE(ds->timeoutCount, 0);
        for (int n = 1; n <= 9; ++n)
            ds->slotRecvTimerTimeout();
        QCOMPARE(lost.count(), 2);

        peer.reset();
        pty->closeMaster(); // the adapter is unplugged
        QTRY_VERIFY_WITH_TIMEOUT(!ds->port->isSerialOpen(), 5000);
    }

    // Last: once told to quit, DataStream stays quitting for the rest of the process.
    // The send runs inside the application's own loop, as in the panel; a quit() with
    // no such loop running would make every later nested event loop return at once.
    void quitEndsTheSend()
    {
        addDevice(3, 1);
        ds->selectDevice(0, 0);
        seen();
        const auto quitOnFrame = connect(peer.get(), &SerialPeer::frameSeen, qApp, &QCoreApplication::quit); // in the first pause
        QTimer::singleShot(0, this, [this] { ds->sendGroup(0); });
        QElapsedTimer inLoop;
        inLoop.start();
        QCoreApplication::exec();
        disconnect(quitOnFrame);
        QVERIFY2(inLoop.elapsed() < 400, qPrintable(QString::number(inLoop.elapsed())));
        QVERIFY(DataStream::quitting() && DataStream::waitMs(1000) < 400);
        QCOMPARE(summary(seen()), QStringLiteral("01030000"));
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
