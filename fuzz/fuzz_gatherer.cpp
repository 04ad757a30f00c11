// Fuzz target for the serial deframer. Beyond "no crash" it checks that the
// frames do not depend on how the stream is chopped, that every frame is well
// formed, that the buffer stays bounded, and that after a pause a valid frame
// comes through whatever garbage came before.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>

#include "framegatherer.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

const QByteArray kValid = QByteArray::fromHex("5a0b000001ff0001fe64dd");
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose a chunk size; the rest is the stream.
    const int chunk = 1 + ((data[0] << 8 | data[1]) % 97);
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), static_cast<int>(size - 2));

    FrameGatherer whole;
    const QList<QByteArray> expected = whole.feed(stream, 0);
    check(whole.buffered() < FrameGatherer::MaxFrameLength);
    for (const QByteArray &f : expected) {
        check(f.size() >= FrameGatherer::MinFrameLength && f.size() <= FrameGatherer::MaxFrameLength);
        check(static_cast<std::uint8_t>(f.at(0)) == 0x5A);
        check((static_cast<std::uint8_t>(f.at(1)) | static_cast<std::uint8_t>(f.at(2)) << 8) == f.size());
    }

    FrameGatherer chopped;
    QList<QByteArray> got;
    for (int i = 0; i < stream.size(); i += chunk) {
        got += chopped.feed(stream.mid(i, chunk), 0);
        check(chopped.buffered() < FrameGatherer::MaxFrameLength);
    }
    check(got == expected);
    check(chopped.buffered() == whole.buffered());

    // Resync: after a pause the next monitor frame arrives whole.
    const QList<QByteArray> after = chopped.feed(kValid, FrameGatherer::StaleMs + 1);
    check(after.size() == 1 && after.first() == kValid);
    return 0;
}
