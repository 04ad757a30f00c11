#include "framegatherer.h"

namespace {
int announcedLength(const char *p)
{
    return static_cast<unsigned char>(p[1]) | (static_cast<unsigned char>(p[2]) << 8);
}
} // namespace

void FrameGatherer::reset()
{
    buffer.clear();
}

QList<QByteArray> FrameGatherer::feed(const QByteArray &chunk, qint64 nowMs)
{
    QList<QByteArray> frames;
    if (!buffer.isEmpty() && nowMs - lastByteMs > StaleMs) {
        dropped += buffer.size();
        buffer.clear();
    }
    lastByteMs = nowMs;
    buffer.append(chunk);

    const char *p = buffer.constData();
    const int size = buffer.size();
    int pos = 0;
    while (pos < size) {
        if (p[pos] != StartByte) {
            ++pos;
            ++dropped;
            continue;
        }
        if (size - pos < 3)
            break;
        const int length = announcedLength(p + pos);
        if (length < MinFrameLength || length > MaxFrameLength) {
            ++pos; // false start: look for the next start byte after this one
            ++dropped;
            continue;
        }
        if (size - pos < length)
            break;
        frames.append(QByteArray(p + pos, length));
        pos += length;
    }
    buffer.remove(0, pos);
    return frames;
}

bool isDatagramFrame(const QByteArray &datagram)
{
    return datagram.size() >= 3 && datagram.at(0) == FrameGatherer::StartByte
        && announcedLength(datagram.constData()) == datagram.size();
}
