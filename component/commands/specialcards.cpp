// Special cards and card options: an individual card with its date and two
// times of day, the numbered emergency cards, the card ID mask, and the two
// settings of the card option command (allow any card, present-card delay).
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <cstdio>

namespace args = norvik::args;

namespace {

constexpr std::uint8_t kCodeCardOption = 0x41;
constexpr std::uint8_t kCodeEmergencyCard = 0x4D;
constexpr std::uint8_t kCodeCardIDMask = 0x4F;
constexpr std::uint8_t kCodeIndividualCard = 0x57;

// First data byte of the card option command: which option it sets.
constexpr std::uint8_t kOptionAllowAnyCard = 0x01;
constexpr std::uint8_t kOptionPresentCardDelay = 0x02;

// What the emergency-card command does with its slot, as the letter the controller reads.
constexpr std::uint8_t kEmergencyLock = 'L';
constexpr std::uint8_t kEmergencyAllow = 'A';
constexpr std::uint8_t kEmergencyClear = 'C';

// The controller needs this long to store an emergency card or the mask before it answers.
constexpr int kEmergencyCardPauseMs = 100;
constexpr int kCardIDMaskPauseMs = 200;

void PutTimeOfDay(std::uint8_t *target, const QTime &time)
{
    target[0] = static_cast<std::uint8_t>(time.hour());
    target[1] = static_cast<std::uint8_t>(time.minute());
    target[2] = static_cast<std::uint8_t>(time.second());
}

} // namespace

int TBasicCom::SendSetIndividualCard(int index, std::uint8_t value, const std::string &cardNo, int number,
                                     const std::string &date, const QDateTime &time1, const QDateTime &time2,
                                     bool allCards)
{
    // FF FF FF FF addresses every card; the card text is then not read.
    const std::uint32_t card = allCards ? 0xFFFFFFFFu : args::CardNumber(cardNo, "CardNo");
    std::uint8_t day[3];
    args::DecimalDate(date, "Date", day);
    if (!time1.time().isValid() || !time2.time().isValid())
        return -1;

    std::uint8_t data[18] = {
        args::High8(index),
        args::Low8(index),
        static_cast<std::uint8_t>(card >> 24),
        static_cast<std::uint8_t>(card >> 16),
        static_cast<std::uint8_t>(card >> 8),
        static_cast<std::uint8_t>(card),
        args::High8(number),
        args::Low8(number),
        value,
        day[0],
        day[1],
        day[2],
    };
    PutTimeOfDay(data + 12, time1.time());
    PutTimeOfDay(data + 15, time2.time());
    return TriStateStatus(Exchange(kCodeIndividualCard, data, 18));
}

bool TBasicCom::SendSetEmergencyCard(std::uint8_t slot, const std::string &cardNo, bool lock)
{
    // The controller reads the card number as eight hexadecimal characters;
    // a negative number goes out as its 32-bit two's complement.
    const std::int32_t card = args::SignedCardNumber(cardNo, "CardNo");
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(static_cast<std::uint32_t>(card)));
    std::uint8_t data[10] = {slot, lock ? kEmergencyLock : kEmergencyAllow};
    for (int i = 0; i < 8; ++i)
        data[2 + i] = static_cast<std::uint8_t>(digits[i]);
    return BoolStatus(Exchange(kCodeEmergencyCard, data, 10, kEmergencyCardPauseMs));
}

bool TBasicCom::SendClearEmergencyCard(std::uint8_t slot)
{
    const std::uint8_t data[10] = {slot, kEmergencyClear, '0', '0', '0', '0', '0', '0', '0', '0'};
    return BoolStatus(Exchange(kCodeEmergencyCard, data, 10, kEmergencyCardPauseMs));
}

bool TBasicCom::SetCardIDMask(std::uint8_t value, const std::string &mask)
{
    args::AtLeast(mask.size(), 8, "Mask", "characters");
    std::uint8_t data[6] = {0x00};
    for (int i = 0; i < 4; ++i)
        data[1 + i] = args::HexPair(mask, static_cast<std::size_t>(2 * i), "Mask");
    data[5] = value;
    // Any 7-byte answer counts as accepted, whatever its status byte.
    return LengthOnly(Exchange(kCodeCardIDMask, data, 6, kCardIDMaskPauseMs), 7);
}

bool TBasicCom::SetAllowAnyCard(bool allow)
{
    const std::uint8_t data[5] = {kOptionAllowAnyCard, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(allow ? 1 : 0)};
    return BoolStatus(Exchange(kCodeCardOption, data, 5, PauseRuleB()));
}

bool TBasicCom::SetPresentCardDelay(std::uint16_t delay)
{
    // The one value of these settings that the controller takes low byte first.
    const std::uint8_t data[5] = {kOptionPresentCardDelay, args::Low8(delay), args::High8(delay), 0x00, 0x00};
    return BoolStatus(Exchange(kCodeCardOption, data, 5, PauseRuleB()));
}
