// Card list commands: writing one card into the controller's sorted or unsorted
// list (or taking it out again), one frame per card. The controller keeps a
// 17-byte record per card; controllers for 7-, 8- and 12-byte card numbers
// reuse the start-date and zone fields of that record for the extra card bytes.
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <cstddef>
#include <string>

namespace args = norvik::args;

namespace {

constexpr std::uint8_t kCodeAddSorted = 0x24;
constexpr std::uint8_t kCodeAddSortedFlagged = 0x34;
constexpr std::uint8_t kCodeAddUnsorted = 0x25;
constexpr std::uint8_t kCodeAddSortedB = 0x31;
constexpr std::uint8_t kCodeAddUnsortedB = 0x32;
constexpr std::uint8_t kCodeAddSortedC = 0x52;
constexpr std::uint8_t kCodeAddUnsortedC = 0x53;

// Sent in place of a 7- or 8-byte card number by the forms that have no room for one.
constexpr std::uint32_t kFixedCard = 9999;

// Written when the caller does not use dates: valid from 2000-01-01 to 2063-12-31.
const std::string kNoStartDate = "000101";
const std::string kNoEndDate = "631231";

// The request data of one add-card frame, filled front to back.
struct CardData {
    std::uint8_t bytes[32] = {};
    int n = 0;

    void Put(std::uint8_t value) { bytes[n++] = value; }
    void PutIndex(int index)
    {
        Put(args::High8(index));
        Put(args::Low8(index));
    }
    void PutNumber(std::uint32_t number)
    {
        Put(static_cast<std::uint8_t>(number >> 24));
        Put(static_cast<std::uint8_t>(number >> 16));
        Put(static_cast<std::uint8_t>(number >> 8));
        Put(static_cast<std::uint8_t>(number));
    }
    // Top card byte 0, then the 32-bit number.
    void PutCard(std::uint32_t number)
    {
        Put(0);
        PutNumber(number);
    }
    // The D, F and H forms: the first `count` extra-list entries, one byte each.
    void PutExtraList(const std::vector<int> &list, std::size_t count)
    {
        for (std::uint8_t b : args::ByteEntries(list, count, "ExtraList"))
            Put(b);
    }
};

std::uint32_t DecimalCard(const std::string &cardNo)
{
    return args::CardNumber(cardNo, "CardNo");
}

// The A forms (and deleting a card) carry a wide card number in the record
// itself; the others have room for 4-byte numbers only.
enum class RecordKind { WideLayout, FourByteCard };

// The 17-byte card record. With the wide layout a 7-, 8- or 12-byte card text
// is read as 24 hexadecimal digits H0..H11 (left-padded with "0"): H8..H11 go
// to the number, H4 to the top byte (8 and 12 bytes), H5..H7 to the start
// date and, for 12 bytes, H0..H3 to the zone bytes. Only the pairs that go out
// are converted. Without it, 7- and 8-byte controllers get the fixed card 9999.
void PutRecord(CardData &data, TCardBytes width, RecordKind kind, const std::string &cardNo,
               const std::vector<int> &zoneList, bool useDates, int code, const std::string &startDate,
               const std::string &endDate)
{
    const bool wide = kind == RecordKind::WideLayout && width != cbNormal;
    std::uint8_t card[5] = {};
    std::uint8_t zones[4] = {};
    std::uint8_t start[3] = {};
    std::uint8_t end[3] = {};
    bool zonesFromCard = false;

    if (wide) {
        const std::string digits =
            cardNo.size() < 24 ? std::string(24 - cardNo.size(), '0') + cardNo : cardNo.substr(0, 24);
        const auto h = [&digits](int i) { return args::HexPair(digits, static_cast<std::size_t>(2 * i), "CardNo"); };
        if (width == cbCard12Bytes) {
            for (int i = 0; i < 4; ++i)
                zones[i] = h(i);
            zonesFromCard = true;
        }
        card[0] = width == cbCard7Bytes ? 0 : h(4);
        for (int i = 0; i < 3; ++i)
            start[i] = h(5 + i);
        for (int i = 0; i < 4; ++i)
            card[1 + i] = h(8 + i);
    } else {
        const bool fixed = width == cbCard7Bytes || width == cbCard8Bytes;
        const std::uint32_t number = fixed ? kFixedCard : DecimalCard(cardNo);
        for (int i = 0; i < 4; ++i)
            card[1 + i] = static_cast<std::uint8_t>(number >> (24 - 8 * i));
    }

    if (!zonesFromCard) {
        // A zone of 256 would otherwise reach the controller as zone 0.
        const std::vector<std::uint8_t> given = args::ByteEntries(zoneList, 4, "ZoneList");
        for (int i = 0; i < 4; ++i)
            zones[i] = given[static_cast<std::size_t>(3 - i)];
    }
    if (!wide)
        args::DecimalDate(useDates ? startDate : kNoStartDate, "StartDate", start);
    args::DecimalDate(useDates ? endDate : kNoEndDate, "EndDate", end);

    for (std::uint8_t b : card)
        data.Put(b);
    for (std::uint8_t b : zones)
        data.Put(b);
    data.Put(args::High8(code));
    data.Put(args::Low8(code));
    for (std::uint8_t b : start)
        data.Put(b);
    for (std::uint8_t b : end)
        data.Put(b);
}

std::uint8_t SortedCode(bool flag)
{
    return flag ? kCodeAddSortedFlagged : kCodeAddSorted;
}

// The B forms' 16 bytes go out last entry first. 12-byte controllers take
// entries 0..15, the others entries 4..19 (0..3 are not sent).
void PutReversedBlock(CardData &data, TCardBytes width, const std::vector<int> &byteList)
{
    const std::size_t first = width == cbCard12Bytes ? 0 : 4;
    args::AtLeast(byteList.size(), first + 16, "ByteList");
    for (std::size_t i = first; i < first + 16; ++i)
        args::InRange(byteList[i], 0, 255, "ByteList", ("entry " + std::to_string(i) + " value").c_str());
    for (std::size_t i = first + 16; i > first; --i)
        data.Put(args::Low8(byteList[i - 1]));
}

void PutRawText(CardData &data, const std::string &rawText, bool isLong)
{
    const std::size_t length = isLong ? 26 : 16;
    args::AtLeast(rawText.size(), length, "RawText", "characters");
    for (std::size_t i = 0; i < length; ++i)
        data.Put(static_cast<std::uint8_t>(rawText[i]));
}

} // namespace

// --- A: the card record --------------------------------------------------------------

int TBasicCom::AddSortedCardA(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                              int code, const std::string &startDate, const std::string &endDate, bool flag)
{
    CardData data;
    data.PutIndex(index);
    PutRecord(data, CardBytes, RecordKind::WideLayout, cardNo, zoneList, useDates, code, startDate, endDate);
    return TriStateByCount(Exchange(SortedCode(flag), data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardA(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                                const std::string &startDate, const std::string &endDate)
{
    CardData data;
    PutRecord(data, CardBytes, RecordKind::WideLayout, cardNo, zoneList, useDates, code, startDate, endDate);
    return TriStateByCount(Exchange(kCodeAddUnsorted, data.bytes, data.n));
}

// --- D, F, H: the record and 5 or 10 extra bytes; E: the record and a 16-bit value ----

int TBasicCom::AddSortedCardD(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                              int code, const std::string &startDate, const std::string &endDate, bool flag,
                              const std::vector<int> &extraList)
{
    CardData data;
    data.PutIndex(index);
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.PutExtraList(extraList, 5);
    return TriStateByCount(Exchange(SortedCode(flag), data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardD(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                                const std::string &startDate, const std::string &endDate,
                                const std::vector<int> &extraList)
{
    CardData data;
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.PutExtraList(extraList, 5);
    return TriStateByCount(Exchange(kCodeAddUnsorted, data.bytes, data.n));
}

int TBasicCom::AddSortedCardE(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                              int code, int extraValue, const std::string &startDate, const std::string &endDate,
                              bool flag)
{
    CardData data;
    data.PutIndex(index);
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.Put(args::High8(extraValue));
    data.Put(args::Low8(extraValue));
    return TriStateByCount(Exchange(SortedCode(flag), data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardE(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                                int extraValue, const std::string &startDate, const std::string &endDate)
{
    CardData data;
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.Put(args::High8(extraValue));
    data.Put(args::Low8(extraValue));
    return TriStateByCount(Exchange(kCodeAddUnsorted, data.bytes, data.n));
}

int TBasicCom::AddSortedCardF(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                              int code, const std::string &startDate, const std::string &endDate, bool flag,
                              const std::vector<int> &extraList)
{
    CardData data;
    data.PutIndex(index);
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.PutExtraList(extraList, 10);
    return TriStateByCount(Exchange(SortedCode(flag), data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardF(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                                const std::string &startDate, const std::string &endDate,
                                const std::vector<int> &extraList)
{
    CardData data;
    PutRecord(data, CardBytes, RecordKind::FourByteCard, cardNo, zoneList, useDates, code, startDate, endDate);
    data.PutExtraList(extraList, 10);
    return TriStateByCount(Exchange(kCodeAddUnsorted, data.bytes, data.n));
}

// The controller takes the H form exactly as the F form.
int TBasicCom::AddSortedCardH(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                              int code, const std::string &startDate, const std::string &endDate, bool flag,
                              const std::vector<int> &extraList)
{
    return AddSortedCardF(index, cardNo, zoneList, useDates, code, startDate, endDate, flag, extraList);
}

int TBasicCom::AddUnSortedCardH(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                                const std::string &startDate, const std::string &endDate,
                                const std::vector<int> &extraList)
{
    return AddUnSortedCardF(cardNo, zoneList, useDates, code, startDate, endDate, extraList);
}

// --- B: a 16-byte block; C: a 16- or 26-character text -------------------------------

int TBasicCom::AddSortedCardB(int index, const std::vector<int> &byteList)
{
    CardData data;
    data.PutIndex(index);
    PutReversedBlock(data, CardBytes, byteList);
    return TriStateByCount(Exchange(kCodeAddSortedB, data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardB(const std::string &cardNo, const std::vector<int> &byteList)
{
    CardData data;
    data.PutCard(CardBytes == cbNormal ? DecimalCard(cardNo) : kFixedCard);
    PutReversedBlock(data, CardBytes, byteList);
    return TriStateByCount(Exchange(kCodeAddUnsortedB, data.bytes, data.n));
}

int TBasicCom::AddSortedCardC(int index, const std::string &rawText, bool isLong)
{
    CardData data;
    data.PutIndex(index);
    PutRawText(data, rawText, isLong);
    return TriStateByCount(Exchange(kCodeAddSortedC, data.bytes, data.n));
}

int TBasicCom::AddUnSortedCardC(const std::string &cardNo, const std::string &rawText, bool isLong)
{
    CardData data;
    const bool fixed = CardBytes == cbCard7Bytes || CardBytes == cbCard8Bytes;
    data.PutCard(fixed ? kFixedCard : DecimalCard(cardNo));
    PutRawText(data, rawText, isLong);
    return TriStateByCount(Exchange(kCodeAddUnsortedC, data.bytes, data.n));
}

// --- taking a card out -----------------------------------------------------------------

bool TBasicCom::SendDelOneCard(const std::string &cardNo)
{
    // The controller has no delete command: the card is written back with an
    // end date (2000-01-01) before its start date (2000-01-02), so it is valid
    // on no day, and with no zones.
    static const std::vector<int> noZones(4, 0);
    return AddUnSortedCardA(cardNo, noZones, true, 0, "000102", "000101") == 1;
}
