#pragma once

#include <QByteArray>
#include <QList>

// Delimits frames in a byte stream (the serial line). A frame opens with the
// start byte 0x5A and announces its total length, little-endian, in bytes 1-2.
//
// The gatherer waits for the three header bytes, then for the announced length,
// hands out exactly one frame at a time and keeps whatever follows. Bytes outside
// a frame are skipped up to the next start byte; an impossible length is a false
// start, and scanning resumes at the byte after it. A partial frame that stalls
// for longer than StaleMs is dropped: the monitor's next frame arrives after a pause,
// not inside one. The buffer never holds more than one incomplete frame.
class FrameGatherer
{
public:
    static constexpr char StartByte = 0x5A;
    static constexpr int MinFrameLength = 11;   // header 9 + checksum + end byte
    static constexpr int MaxFrameLength = 1024; // replies are well below this
    static constexpr qint64 StaleMs = 200;

    // Takes a chunk received at nowMs (any monotonic clock in milliseconds) and
    // returns the frames it completes, in order.
    QList<QByteArray> feed(const QByteArray &chunk, qint64 nowMs);
    void reset();

    int buffered() const { return buffer.size(); }
    qint64 droppedBytes() const { return dropped; }

private:
    QByteArray buffer;
    qint64 lastByteMs = 0;
    qint64 dropped = 0;
};

// A datagram is one frame when it opens with the start byte and its bytes 1-2
// equal its own length; any other datagram is dropped on its own.
bool isDatagramFrame(const QByteArray &datagram);
