#pragma once
// A controller's doors and outputs: four doors (state, open time, PINs), eight
// relays, the panic PIN, the controller's and the doors' display texts, the
// real-time I/O state built from them, and the 64 KiB external data memory
// (XRAM, zeroed at power-up) that the memory commands read and write directly.
#include "sim/SimReply.h"

#include <QJsonObject>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace nsim {

class SimDoors {
public:
    static constexpr int kDoors = 4;
    static constexpr int kRelays = 8;
    static constexpr int kXramSize = 0x10000;
    static constexpr int kBlockSize = 64;

    // Raw door status codes of the status reply (byte 6).
    static constexpr std::uint8_t kNormal = 0;
    static constexpr std::uint8_t kOpened = 3;      // opened by the output command, for its open time
    static constexpr std::uint8_t kForcedOpen = 8;
    static constexpr std::uint8_t kForcedClosed = 9;

    SimDoors();

    // The reply to a request of the door, output, display and memory codes;
    // nothing for other codes.
    std::optional<Reply> handle(std::uint8_t code, const QByteArray &data);

    // Bit r-1: relay r energised; bit 8+d-1: door d unlocked (opened or forced open).
    std::uint16_t ioState() const;
    std::uint8_t doorStatus(int door) const; // door 1..kDoors

    void addState(QJsonObject &o) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Normal, ForcedOpen, ForcedClosed };
    struct Door {
        Mode mode = Mode::Normal;
        Clock::time_point openUntil{};
        std::uint16_t openTimeS = 5;         // how long an opened door stays unlocked
        std::map<std::uint8_t, std::uint32_t> pins; // slot -> PIN
        int opens = 0;
    };
    struct Relay {
        std::uint8_t mode = 0;
        std::uint16_t timeS = 0;
        Clock::time_point onUntil{};
        int pulses = 0;
    };

    Reply output(const QByteArray &data);
    Reply memory(std::uint8_t code, const QByteArray &data);
    static std::optional<std::uint32_t> address(const QByteArray &data);

    std::array<Door, kDoors> m_doors;
    std::array<Relay, kRelays> m_relays;
    std::optional<std::pair<bool, std::uint16_t>> m_panic; // enabled, PIN as sent (low byte first)
    QByteArray m_lcdText;
    std::map<std::uint8_t, QByteArray> m_doorLcd; // display number -> 16 characters
    int m_doorLcdReads = 0;
    std::vector<std::uint8_t> m_xram;
    std::vector<bool> m_xramWritten;
};

} // namespace nsim
