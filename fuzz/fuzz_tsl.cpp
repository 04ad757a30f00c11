// Fuzz target for the tally message parsers and stream decoders. Beyond "no crash" it checks
// that labels stay within what was received, that the packets and messages do not depend on
// how the stream is chopped, that every packet is well formed and bounded, and that a packet
// stuffed again comes through a fresh decoder unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>

#include "tsl.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses a chunk size; the rest is the input.
    const int chunk = 1 + data[0] % 31;
    const QByteArray in(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));
    auto chopped = [&](auto decoder) {
        QVector<QByteArray> got;
        for (int i = 0; i < in.size(); i += chunk)
            got += decoder.feed(in.mid(i, chunk));
        return got;
    };

    for (const Tsl::Display &d : Tsl::parseV31(in))
        check(d.version == 31 && d.index >= 0 && d.index <= 126 && d.label.size() <= 16);
    for (const Tsl::Display &d : Tsl::parseV5(in))
        check(d.version == 50 && d.label.size() <= in.size() && (d.hasLabel || d.label.isEmpty()));

    Tsl::V5StreamDecoder whole;
    const QVector<QByteArray> packets = whole.feed(in);
    check(whole.pending().size() <= Tsl::V5StreamDecoder::MaxPacket && chopped(Tsl::V5StreamDecoder()) == packets);
    for (const QByteArray &p : packets) {
        check(p.size() >= 2 && p.size() <= Tsl::V5StreamDecoder::MaxPacket);
        check(p.size() == 2 + (static_cast<std::uint8_t>(p.at(0)) | static_cast<std::uint8_t>(p.at(1)) << 8));
        const QByteArray stuffed = "\xfe\x02" + QByteArray(p).replace('\xfe', QByteArray("\xfe\xfe"));
        check(Tsl::V5StreamDecoder().feed(stuffed) == QVector<QByteArray>{p});
    }

    const QVector<QByteArray> messages = Tsl::V31StreamDecoder().feed(in);
    check(chopped(Tsl::V31StreamDecoder()) == messages);
    for (const QByteArray &m : messages)
        check(m.size() == 18 && Tsl::parseV31(m).size() == 1);
    return 0;
}
