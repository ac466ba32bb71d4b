// Identity, info and boot-loader commands: reading the firmware and memory
// counters, the serial number and bus ID, the device IDs, reset, and the switch
// into the boot loader before a firmware upgrade.
#include "component/BasicCom.h"

#include <cstring>

namespace {

constexpr std::uint8_t kCodeReset = 0x02;
constexpr std::uint8_t kCodeSetControllerID = 0x03;
constexpr std::uint8_t kCodeSetDeviceID = 0x26;
constexpr std::uint8_t kCodeSetControllerSN = 0x27;
constexpr std::uint8_t kCodeGetControllerSN = 0x28;
constexpr std::uint8_t kCodeReadControllerID = 0x29;
constexpr std::uint8_t kCodeReadDeviceID = 0x35;
constexpr std::uint8_t kCodeEndSetDeviceID = 0x36;
constexpr std::uint8_t kCodeBeginSetDeviceID = 0x37;
constexpr std::uint8_t kCodeControllerInfo = 0x42;
constexpr std::uint8_t kCodeJumpBootloader = 0xE0;

// The SN commands select the controller by its serial number, not by its bus
// address, so that a controller with an unknown or duplicate ID can be reached.
constexpr std::uint8_t kAddressBySN = 0x00;

constexpr int kSNLength = 8;

bool IsSNText(const std::string &text)
{
    return text.size() == kSNLength;
}

void CopySN(std::uint8_t *target, const std::string &text)
{
    std::memcpy(target, text.data(), kSNLength);
}

// A one-byte field (the low 8 bits of value) followed by the 8 characters of
// text: the data of the SN writes and of the device-ID read.
using ByteAndText = std::uint8_t[1 + kSNLength];

void FillByteAndText(ByteAndText &data, unsigned value, const std::string &text)
{
    data[0] = static_cast<std::uint8_t>(value & 0xFF);
    CopySN(data + 1, text);
}

std::uint16_t Word(const std::uint8_t *reply, int high)
{
    return static_cast<std::uint16_t>(reply[high] * 256 + reply[high + 1]);
}

} // namespace

int TBasicCom::ResetController()
{
    return TriStateStatus(Exchange(kCodeReset, nullptr, 0));
}

bool TBasicCom::SendJumpBootloader()
{
    // The controller expects the fixed pattern 00 11 22 .. FF as the data of
    // this command, and needs 50 ms before it answers.
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i)
        data[i] = static_cast<std::uint8_t>(i * 0x11);
    return BoolStatus(Exchange(kCodeJumpBootloader, data, 16, 50));
}

bool TBasicCom::GetControllerInfo(TControllerInfo &info)
{
    if (Exchange(kCodeControllerInfo, nullptr, 0, 100) != 20)
        return false;
    // Wire order is type code first, then version.
    info.TypeCode = Word(ReplyBuffer, 5);
    info.Version = Word(ReplyBuffer, 7);
    info.CardMax = Word(ReplyBuffer, 9);
    info.RecordMax = Word(ReplyBuffer, 11);
    info.SortCardCount = Word(ReplyBuffer, 13);
    info.UnsortCardCount = Word(ReplyBuffer, 15);
    info.RecordCount = Word(ReplyBuffer, 17);
    return true;
}

bool TBasicCom::GetControllerSN(std::uint8_t *buffer)
{
    if (Exchange(kCodeGetControllerSN, nullptr, 0) != 14)
        return false;
    std::memcpy(buffer, ReplyBuffer + 5, kSNLength);
    return true;
}

bool TBasicCom::SendSetControllerSN(const std::string &sn, unsigned id)
{
    if (!IsSNText(sn))
        return false;
    ByteAndText data;
    FillByteAndText(data, id, sn);
    return BoolStatus(Exchange(kAddressBySN, kCodeSetControllerSN, data, sizeof data));
}

void TBasicCom::SendSetControllerID(int id, const std::string &sn)
{
    if (!IsSNText(sn))
        return;
    ByteAndText data;
    FillByteAndText(data, static_cast<unsigned>(id), sn);
    SendOnly(kAddressBySN, kCodeSetControllerID, data, sizeof data);
}

int TBasicCom::SendReadControllerID(const std::string &sn)
{
    if (!IsSNText(sn))
        return -1;
    std::uint8_t data[kSNLength];
    CopySN(data, sn);
    const int count = Exchange(kAddressBySN, kCodeReadControllerID, data, sizeof data);
    if (count == 0)
        return -1;
    // A short or over-long answer is not a confirmation of the ID just written.
    if (count != 14)
        return 0;
    if (CalCheckSum(ReplyBuffer, 13) != ReplyBuffer[13])
        return 0;
    if (std::memcmp(ReplyBuffer + 5, data, kSNLength) != 0)
        return 0;
    return ReplyBuffer[1];
}

bool TBasicCom::BeginSetDeviceID()
{
    return BoolStatusEcho(Exchange(kCodeBeginSetDeviceID, nullptr, 0), kCodeBeginSetDeviceID);
}

int TBasicCom::SendSetDeviceID(int value, int selector, const std::string &text)
{
    if (!IsSNText(text))
        return -1;
    std::uint8_t data[2 + kSNLength];
    data[0] = static_cast<std::uint8_t>(selector & 0xFF);
    data[1] = static_cast<std::uint8_t>(value & 0xFF);
    CopySN(data + 2, text);
    return TriStateStatus(Exchange(kCodeSetDeviceID, data, sizeof data));
}

int TBasicCom::SendReadDeviceID(int selector, const std::string &text)
{
    if (!IsSNText(text))
        return -1;
    ByteAndText data;
    FillByteAndText(data, static_cast<unsigned>(selector), text);
    if (Exchange(kCodeReadDeviceID, data, sizeof data, 100) != 9)
        return -1;
    m_lastReplyStatus = ReplyBuffer[5]; // this answer carries a status before its data
    if (ReplyBuffer[5] != 0)
        return 0;
    // The echo must name the selector asked for. Only its low 8 bits go out,
    // so a selector beyond 255 can never be confirmed: answering 0x104 with 4
    // would report a different device's value as this one's.
    if (ReplyBuffer[6] != selector)
        return -1;
    const std::uint8_t value = ReplyBuffer[7];
    if (value >= '0' && value <= '9')
        return value - '0';
    if (value >= 'A' && value <= 'Z')
        return value - 'A' + 10;
    return value;
}

bool TBasicCom::EndSetDeviceID()
{
    return BoolStatusEcho(Exchange(kCodeEndSetDeviceID, nullptr, 0), kCodeEndSetDeviceID);
}

bool TBasicCom::BookmarkFront()
{
    // Same request as the info query; only a 6-byte answer means the bookmark was set.
    return LengthOnly(Exchange(kCodeControllerInfo, nullptr, 0), 6);
}
