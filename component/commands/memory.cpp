// Memory and I/O commands: direct access to the controller's external data
// memory (XRAM), switching a relay output on for a time, and the real-time
// state of the inputs and outputs.
#include "component/BasicCom.h"

#include "common/Errors.h"
#include "common/IntConv.h"
#include "component/commands/Arguments.h"

namespace {

using namespace norvik::args;

constexpr std::uint8_t kCodeOutput = 0x09; // the controller's output command, shared with the doors
constexpr std::uint8_t kCodeWriteByteXRAM = 0x4A;
constexpr std::uint8_t kCodeReadByteXRAM = 0x4B;
constexpr std::uint8_t kCodeReadBlockXRAM = 0x4C;
constexpr std::uint8_t kCodeIOStatus = 0x4E;

constexpr int kXRAMBlock = 64;

// XRAM addresses go out least significant byte first.
void PutAddress(std::uint8_t *target, std::uint32_t address)
{
    for (int i = 0; i < 4; ++i)
        target[i] = Low8(address >> (8 * i));
}

} // namespace

bool TBasicCom::DirectReadBlockXRAM(std::uint32_t address, std::uint8_t *buffer, int /*unused*/)
{
    std::uint8_t data[4];
    PutAddress(data, address);
    SendOnly(ControllerID, kCodeReadBlockXRAM, data, 4);
    // The block comes back raw, not framed, once the controller has read it out.
    Pause(100);
    const int count = DirectReceive(buffer);
    m_lastReplyStatus = count > 0 ? 0 : -1;
    return count == kXRAMBlock;
}

bool TBasicCom::DirectReadByteXRAM(std::uint32_t address, std::uint8_t &value)
{
    std::uint8_t data[4];
    PutAddress(data, address);
    if (Exchange(kCodeReadByteXRAM, data, 4) != 7)
        return false;
    value = ReplyBuffer[5]; // the byte read travels where other answers carry their status
    m_lastReplyStatus = 0;
    return true;
}

bool TBasicCom::DirectWriteByteXRAM(std::uint32_t address, std::uint8_t value)
{
    std::uint8_t data[5];
    PutAddress(data, address);
    data[4] = value;
    return BoolStatus(Exchange(kCodeWriteByteXRAM, data, 5));
}

bool TBasicCom::TurnOnIORelay(std::uint8_t relay, std::uint8_t mode, std::uint16_t time)
{
    // The mode fills the top four bits of the timing word, the time its low twelve.
    InRange(mode, 0, 15, "Mode");
    const int timing = mode * 4096 + time % 4096;
    // Relay r is output 2r - 1 of the output command (the doors are the even outputs).
    const std::uint8_t data[3] = {Low8(2 * relay - 1), High8(timing), Low8(timing)};
    return LengthOnly(Exchange(kCodeOutput, data, 3), 7);
}

bool TBasicCom::GetIORealTimeStatus(std::uint8_t unit, std::uint16_t &state)
{
    if (Exchange(kCodeIOStatus, &unit, 1, 200) != 11)
        return false;
    // The state arrives as four hexadecimal digit characters, most significant first.
    int value = 0;
    for (int i = 6; i <= 9; ++i) {
        const int digit = HexDigit(static_cast<char>(ReplyBuffer[i]));
        if (digit < 0) {
            const std::string chars(reinterpret_cast<const char *>(ReplyBuffer + 6), 4);
            throw norvik::EConvertError(norvik::InvalidIntegerMessage("$" + chars));
        }
        value = value * 16 + digit;
    }
    state = static_cast<std::uint16_t>(value);
    return true;
}
