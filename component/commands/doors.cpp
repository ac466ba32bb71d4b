// Door control commands: opening, forcing and releasing a door, its timing,
// its state, the door and panic PINs, and the texts of the controller's
// display and of a door's display.
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <cstring>

namespace {

using namespace norvik::args;

constexpr std::uint8_t kCodeSetDoorOpenTime = 0x04;
constexpr std::uint8_t kCodeOutput = 0x09; // the controller's output command, shared with the relays
constexpr std::uint8_t kCodeForceOpen = 0x0A;
constexpr std::uint8_t kCodeForceClose = 0x0B;
constexpr std::uint8_t kCodeResumeNormal = 0x0C;
constexpr std::uint8_t kCodeDoorStatus = 0x20;
constexpr std::uint8_t kCodeLCDText = 0x38;
constexpr std::uint8_t kCodeDoorPIN = 0x48;
constexpr std::uint8_t kCodePanicPIN = 0x49;
constexpr std::uint8_t kCodeDoorLCDText = 0x54;
constexpr std::uint8_t kCodeConfirm = 0xFF;

// The displays show exactly 16 characters.
constexpr std::size_t kLCDWidth = 16;

// The controller's raw door state folded into the six states applications
// know (0 to 5); a raw value that firmware may add later reads as 2.
std::uint8_t ReportedDoorState(std::uint8_t raw)
{
    switch (raw) {
    case 0:
        return 0;
    case 3:
    case 7:
        return 1;
    case 1:
    case 4:
        return 3;
    case 8:
        return 4;
    case 9:
        return 5;
    default:
        return 2;
    }
}

} // namespace

bool TBasicCom::OpenDoorNow(std::uint8_t door, std::uint8_t value1, std::uint8_t value2)
{
    // Door d is output 2d of the output command (the relays are the odd outputs).
    const std::uint8_t data[3] = {Low8(2 * door), value1, value2};
    return LengthOnly(Exchange(kCodeOutput, data, 3), 7);
}

bool TBasicCom::ForceOpenDoorNow(std::uint8_t door)
{
    return LengthOnly(Exchange(kCodeForceOpen, &door, 1), 7);
}

bool TBasicCom::ForceCloseDoorNow(std::uint8_t door)
{
    return LengthOnly(Exchange(kCodeForceClose, &door, 1), 7);
}

bool TBasicCom::ResumeDoorNormalNow(std::uint8_t door)
{
    return LengthOnly(Exchange(kCodeResumeNormal, &door, 1), 7);
}

int TBasicCom::SetDoorOpenTime(std::uint8_t door, std::uint8_t value1, std::uint8_t value2)
{
    // The controller takes the two timing values in the opposite order.
    const std::uint8_t data[3] = {door, value2, value1};
    return TriStateStatus(Exchange(kCodeSetDoorOpenTime, data, 3, PauseRuleB()));
}

bool TBasicCom::GetDoorStatus(std::uint8_t door, std::uint8_t &state)
{
    // The controller needs 100 ms to sample the door before it answers.
    if (Exchange(kCodeDoorStatus, &door, 1, 100) != 8)
        return false;
    if (ReplyBuffer[5] != door) // another door's state is no answer to this question
        return false;
    state = ReportedDoorState(ReplyBuffer[6]);
    return true;
}

bool TBasicCom::SendSetDoorPIN(std::uint8_t door, std::uint8_t slot, std::int32_t pin)
{
    const auto value = static_cast<std::uint32_t>(pin);
    const std::uint8_t data[9] = {door, slot, 0x00, 0x00, Low8(value), High8(value), Low8(value >> 16),
                                  Low8(value >> 24), 0x00};
    return BoolStatus(Exchange(kCodeDoorPIN, data, 9));
}

bool TBasicCom::SendSetPanicPIN(bool enable, int pin)
{
    const std::uint8_t data[4] = {static_cast<std::uint8_t>(enable ? 1 : 0), 0x00, Low8(pin), High8(pin)};
    return BoolStatus(Exchange(kCodePanicPIN, data, 4));
}

bool TBasicCom::SendSetPanicPIN(bool enable, const std::string &pin)
{
    // Keyed in as digits, the PIN travels two digits per byte, last pair first:
    // "12" becomes "0012" and goes out as 12 00.
    std::string text = Trimmed(pin);
    if (text.size() < 4)
        text.insert(0, 4 - text.size(), '0');
    const std::uint8_t lastPair = HexPair(text, 2, "PIN");
    const std::uint8_t firstPair = HexPair(text, 0, "PIN");
    const std::uint8_t data[4] = {static_cast<std::uint8_t>(enable ? 1 : 0), 0x00, lastPair, firstPair};
    return BoolStatus(Exchange(kCodePanicPIN, data, 4));
}

int TBasicCom::SendSetLCDText(const std::string &text)
{
    AtLeast(text.size(), kLCDWidth, "Text", "characters");
    std::uint8_t data[1 + kLCDWidth] = {0x00};
    std::memcpy(data + 1, text.data(), kLCDWidth);
    return TriStateStatusEcho(Exchange(kCodeLCDText, data, sizeof data), kCodeLCDText);
}

int TBasicCom::SendSetDoorLCDText(const std::string &text, std::uint8_t door, bool flag)
{
    AtLeast(text.size(), kLCDWidth, "Text", "characters");
    std::uint8_t data[1 + kLCDWidth + 1] = {0x00};
    std::memcpy(data + 1, text.data(), kLCDWidth);
    // Each door has two displays, 2d - 1 and 2d; the flag picks the second.
    data[1 + kLCDWidth] = Low8(flag ? 2 * door : 2 * door - 1);
    return TriStateByCount(Exchange(kCodeDoorLCDText, data, sizeof data));
}

int TBasicCom::SendReadDoorLCDText()
{
    const std::uint8_t data[2] = {kCodeDoorLCDText, 0x00};
    return TriStateByCount(Exchange(kCodeConfirm, data, 2));
}
