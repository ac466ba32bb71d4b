// Reads one controller's identity over the network link (UDP) and prints it.
//   controller-info HOST [PORT [ID]]
#include <component/Controller.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

// A whole decimal number within [low, high], or -1.
long Number(const char *text, long low, long high)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*text != '\0' && *end == '\0' && value >= low && value <= high) ? value : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const long port = argc > 2 ? Number(argv[2], 1, 65535) : 1001;
    const long id = argc > 3 ? Number(argv[3], 1, 255) : 1;
    if (argc < 2 || argc > 4 || port < 0 || id < 0) {
        std::fprintf(stderr, "Usage: controller-info HOST [PORT [ID]]  (PORT 1..65535, default 1001; ID 1..255, "
                             "default 1)\n");
        return 2;
    }

    TController controller;
    controller.SetHost(argv[1]);
    controller.SetHostPort(static_cast<std::uint16_t>(port));
    controller.SetControllerID(static_cast<std::uint8_t>(id));
    controller.SetConnectMethod(cmTCPIP);
    try {
        if (!controller.Connect()) {
            std::fprintf(stderr, "controller-info: cannot open the network link to %s:%ld\n", argv[1], port);
            return 3;
        }
        TControllerInfo info{};
        const bool answered = controller.GetControllerInfo(info);
        controller.Disconnect();
        if (!answered) {
            std::fprintf(stderr, "controller-info: controller %ld at %s:%ld did not answer\n", id, argv[1], port);
            return 1;
        }
        std::printf("version %d.%d, type code %u, cards %u of %u, records %u of %u\n", info.Version >> 8,
                    info.Version & 0xFF, info.TypeCode, info.SortCardCount + info.UnsortCardCount, info.CardMax,
                    info.RecordCount, info.RecordMax);
        return 0;
    } catch (const std::exception &e) {
        // Socket faults, such as a host name that does not resolve.
        std::fprintf(stderr, "controller-info: %s\n", e.what());
        return 3;
    }
}
