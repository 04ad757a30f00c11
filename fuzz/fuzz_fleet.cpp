// Fuzz target for the fleet's receive path: frames from monitors on a serial
// line (through the deframer) or on the LAN, while one read is outstanding.
// Beyond "no crash": a reply lands only on the monitor and screen that were
// asked, never touches the reserved record bytes, and the read ends at most once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <QCoreApplication>

#include "fleet.h"
#include "framegatherer.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}
QCoreApplication *app = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_fleet";
    static char *argv[] = {name, nullptr};
    app = new QCoreApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!app)
        LLVMFuzzerInitialize(nullptr, nullptr);
    if (size < 3)
        return 0;
    // Byte 0: link, screen asked (bits 1-3); byte 1: the type of the monitor asked.
    const bool serial = data[0] & 1;
    const int screen = (data[0] >> 1) & 7;
    auto fleet = std::make_unique<Fleet::Fleet>();
    Fleet::Address asked, other;
    if (serial) {
        asked = {QStringLiteral("/nonexistent/fuzz-line"), {}, 7, {}};
        other = {asked.port, {}, 9, {}};
    } else {
        // Loopback addresses: the read request the fleet writes stays on this machine.
        asked.ip = QStringLiteral("127.254.254.7");
        other.ip = QStringLiteral("127.254.254.9");
    }
    Fleet::Monitor &m = fleet->add(asked), &o = fleet->add(other);
    m.type = data[1];
    m.screenCount = 8;
    o.type = 4;
    o.screenCount = 3;
    for (Fleet::Monitor *mon : {&m, &o})
        for (Fleet::ScreenState &st : mon->screens)
            for (int i = ST_BasicData::SettingBytes; i < ST_BasicData::Size; ++i)
                st.record.setByte(i, static_cast<std::uint8_t>(i));
    const auto before = m.screens;
    const auto otherBefore = o.screens;
    int ended = 0;
    fleet->read(asked.key(), screen, [&](bool) { ++ended; });

    const QByteArray rest(reinterpret_cast<const char *>(data + 2), static_cast<int>(size - 2));
    if (serial) {
        FrameGatherer g;
        for (const QByteArray &f : g.feed(rest, 0))
            fleet->receive(asked, f);
    } else {
        // Datagrams: a length byte (top bit: from the other monitor), then that many bytes.
        for (int pos = 0; pos < rest.size();) {
            const auto head = static_cast<std::uint8_t>(rest.at(pos));
            fleet->receive((head & 0x80) ? other : asked, rest.mid(pos + 1, head & 0x7F));
            pos += 1 + (head & 0x7F);
        }
    }
    check(ended <= 1);
    check(o.screens[0].record == otherBefore[0].record && !o.screens[0].known);
    for (int s = 0; s < 8; ++s) {
        for (int i = ST_BasicData::SettingBytes; i < ST_BasicData::Size; ++i)
            check(m.screens[s].record.byte(i) == before[s].record.byte(i));
        check(s == screen || m.screens[s].record == before[s].record);
    }
    return 0;
}
