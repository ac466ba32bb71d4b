// The simulator's receiving side: arbitrary bytes arrive at one session, as a
// stream cut anywhere (serial) or as datagrams (UDP), and are framed, checked,
// answered and, after a jump, fed to the boot loader. The first byte picks the
// link kind and the card width, the rest are the reads (see FuzzBytes).
#include "fuzz/FuzzBytes.h"
#include "sim/SimBus.h"

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    norvik::fuzz::FuzzBytes input(data, size);
    const std::uint8_t setup = input.Byte();

    nsim::SimConfig config;
    config.trace = true; // the trace's text forms see every byte too
    nsim::ControllerConfig first;
    static constexpr int kWidths[] = {4, 7, 8, 12};
    first.cardBytes = kWidths[(setup >> 1) % 4];
    first.transactions = 3;
    nsim::ControllerConfig second;
    second.id = 2;
    second.sn = "00000002";
    config.controllers = {first, second};

    nsim::SimBus bus(config);
    bus.setTraceSink([](const QString &) {});
    nsim::SimSession session(bus, QStringLiteral("fuzz"), (setup & 1) != 0);
    while (!input.Empty()) {
        const std::uint8_t *start = nullptr;
        const std::size_t length = input.Chunk(start);
        (void)session.receive(QByteArray(reinterpret_cast<const char *>(start), static_cast<qsizetype>(length)));
    }
    return 0;
}
