// The serial deframer and the datagram check: every split of a stream yields the
// same frames, garbage and false starts are skipped, nothing valid is lost.
#include <QtTest>

#include "framegatherer.h"
#include "frames.h"

namespace {
QByteArray readRequest(int id) { return Frame::readRequest(Frame::LinkSerial, 0x01, static_cast<std::uint8_t>(id)); }

QByteArray settingsReply(int fill)
{
    return Frame::build({Frame::LinkSerial, 0x04, 2, 5}, Frame::CmdRead, QByteArray(58, static_cast<char>(fill)));
}

QList<QByteArray> feedInChunks(FrameGatherer &g, const QByteArray &stream, int chunk, qint64 t = 0)
{
    QList<QByteArray> out;
    for (int i = 0; i < stream.size(); i += chunk)
        out += g.feed(stream.mid(i, chunk), t);
    return out;
}
} // namespace

class TestFrameGatherer : public QObject
{
    Q_OBJECT
private slots:
    void streams_data();
    void streams();
    void everySplitYieldsTheSameFrames();
    void truncatedFrameIsDroppedAfterAPause();
    void bufferStaysBounded();
    void datagrams_data();
    void datagrams();
};

void TestFrameGatherer::streams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("frames");
    const QByteArray a = readRequest(1), b = settingsReply(0x5A), c = readRequest(126);

    QTest::newRow("one frame") << a << QList<QByteArray>{a};
    QTest::newRow("back to back") << a + b + c << QList<QByteArray>{a, b, c};
    QTest::newRow("garbage before") << QByteArray::fromHex("0001ffdd") + a << QList<QByteArray>{a};
    QTest::newRow("garbage between") << a + QByteArray::fromHex("dd00") + b << QList<QByteArray>{a, b};
    QTest::newRow("lone start byte in garbage") << QByteArray::fromHex("5a") + a << QList<QByteArray>{a};
    QTest::newRow("false start, huge length") << QByteArray::fromHex("5affff") + a << QList<QByteArray>{a};
    QTest::newRow("false start, length below 11") << QByteArray::fromHex("5a0a00") + b << QList<QByteArray>{b};
    QTest::newRow("false start, zero length") << QByteArray::fromHex("5a0000") + a << QList<QByteArray>{a};
    QTest::newRow("start byte inside payload is data") << b + a << QList<QByteArray>{b, a};
    QTest::newRow("incomplete tail is held") << a + b.left(20) << QList<QByteArray>{a};
    QTest::newRow("only garbage") << QByteArray::fromHex("00112233445566778899") << QList<QByteArray>{};
}

void TestFrameGatherer::streams()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, frames);
    // Whole, in single bytes, and in chunks of three.
    for (int chunk : {stream.size(), 1, 3}) {
        FrameGatherer g;
        QCOMPARE(feedInChunks(g, stream, qMax(chunk, 1)), frames);
    }
}

void TestFrameGatherer::everySplitYieldsTheSameFrames()
{
    const QByteArray stream = QByteArray::fromHex("ee") + settingsReply(0x11) + readRequest(3)
        + QByteArray::fromHex("5a0100") + settingsReply(0x22);
    FrameGatherer whole;
    const QList<QByteArray> expected = whole.feed(stream, 0);
    QCOMPARE(expected.size(), 3);
    for (int i = 0; i <= stream.size(); ++i) {
        for (int j = i; j <= stream.size(); ++j) {
            FrameGatherer g;
            QList<QByteArray> got = g.feed(stream.left(i), 0);
            got += g.feed(stream.mid(i, j - i), 1);
            got += g.feed(stream.mid(j), 2);
            if (got != expected)
                QFAIL(qPrintable(QStringLiteral("split at %1 and %2").arg(i).arg(j)));
            QCOMPARE(g.buffered(), 0);
        }
    }
}

void TestFrameGatherer::truncatedFrameIsDroppedAfterAPause()
{
    const QByteArray good = settingsReply(0x33);
    FrameGatherer g;
    QVERIFY(g.feed(good.left(30), 0).isEmpty());
    QVERIFY(g.feed(good.left(10), 50).isEmpty()); // still the same truncated frame, no pause
    // The monitor's next answer comes after a pause: the stale part must not swallow it.
    QCOMPARE(g.feed(good, 50 + FrameGatherer::StaleMs + 1), QList<QByteArray>{good});
    QCOMPARE(g.buffered(), 0);

    FrameGatherer r;
    QVERIFY(r.feed(good.left(30), 0).isEmpty());
    r.reset(); // the link clears its receive state before each write
    QCOMPARE(r.feed(good, 1), QList<QByteArray>{good});
}

void TestFrameGatherer::bufferStaysBounded()
{
    FrameGatherer g;
    QByteArray junk(64 * 1024, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 7919) & 0xFF);
    const auto frames = feedInChunks(g, junk, 500);
    Q_UNUSED(frames);
    QVERIFY(g.buffered() < FrameGatherer::MaxFrameLength);
    // A huge announced length that is not impossible is held only up to its length.
    FrameGatherer h;
    QVERIFY(h.feed(QByteArray::fromHex("5a0004") + QByteArray(2000, '\x01'), 0).size() == 1);
    QVERIFY(h.buffered() < FrameGatherer::MaxFrameLength);
}

void TestFrameGatherer::datagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("isFrame");
    QByteArray eleven = QByteArray::fromHex("5a0b002000ff00ffff82dd");
    QByteArray wrong = eleven;
    wrong[1] = 12;
    QTest::newRow("length matches") << eleven << true;
    QTest::newRow("length says 12") << wrong << false;
    QTest::newRow("two frames in one datagram") << eleven + eleven << false;
    QTest::newRow("no start byte") << QByteArray::fromHex("5b0b002000ff00ffff82dd") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("two bytes") << QByteArray::fromHex("5a02") << false;
    QTest::newRow("settings reply") << settingsReply(1) << true;
}

void TestFrameGatherer::datagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, isFrame);
    QCOMPARE(isDatagramFrame(datagram), isFrame);
}

QTEST_GUILESS_MAIN(TestFrameGatherer)
#include "tst_framegatherer.moc"
