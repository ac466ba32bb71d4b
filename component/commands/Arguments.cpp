#include "component/commands/Arguments.h"

#include "common/Errors.h"
#include "common/IntConv.h"

#include <cstdint>
#include <optional>

namespace norvik::args {

namespace {

std::string Named(const char *name, const std::string &message)
{
    return std::string(name) + ": " + message;
}

} // namespace

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Trimmed(const std::string &text)
{
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && blank(text[first]))
        ++first;
    while (last > first && blank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::uint32_t CardNumber(const std::string &text, const char *name)
{
    const std::optional<long long> value = TryStrToInt64(Trimmed(text));
    if (!value)
        throw EConvertError(Named(name, InvalidIntegerMessage(text)));
    if (*value < 0 || *value > 0xFFFFFFFFLL)
        throw EConvertError(Named(name, "'" + text + "' is not a card number from 0 to 4294967295"));
    return static_cast<std::uint32_t>(*value);
}

std::int32_t SignedCardNumber(const std::string &text, const char *name)
{
    const std::optional<long long> value = TryStrToInt64(Trimmed(text));
    if (!value)
        throw EConvertError(Named(name, InvalidIntegerMessage(text)));
    if (*value < INT32_MIN || *value > INT32_MAX)
        throw EConvertError(Named(name, "'" + text + "' is not a card number from -2147483648 to 2147483647"));
    return static_cast<std::int32_t>(*value);
}

std::uint8_t HexPair(const std::string &text, std::size_t pos, const char *name)
{
    const int high = pos < text.size() ? HexDigit(text[pos]) : -1;
    const int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
    if (high < 0 || low < 0) {
        const std::string pair = pos < text.size() ? text.substr(pos, 2) : std::string();
        throw EConvertError(Named(name, InvalidIntegerMessage("$" + pair)));
    }
    return static_cast<std::uint8_t>(high * 16 + low);
}

void DecimalDate(const std::string &text, const char *name, std::uint8_t (&out)[3])
{
    if (text.size() != 6)
        throw EArgumentError(Named(name, "'" + text + "' is not a date of six digits (YYMMDD)"));
    for (int i = 0; i < 3; ++i) {
        const char high = text[static_cast<std::size_t>(2 * i)];
        const char low = text[static_cast<std::size_t>(2 * i + 1)];
        if (high < '0' || high > '9' || low < '0' || low > '9')
            throw EConvertError(Named(name, InvalidIntegerMessage(text.substr(static_cast<std::size_t>(2 * i), 2))));
        out[i] = static_cast<std::uint8_t>((high - '0') * 10 + (low - '0'));
    }
}

void AtLeast(std::size_t size, std::size_t needed, const char *name, const char *unit)
{
    if (size < needed)
        throw EArgumentError(Named(name, "needs at least " + std::to_string(needed) + " " + unit + ", got " +
                                             std::to_string(size)));
}

void Exactly(std::size_t size, std::size_t needed, const char *name, const char *unit)
{
    if (size != needed)
        throw EArgumentError(Named(name, "needs exactly " + std::to_string(needed) + " " + unit + ", got " +
                                             std::to_string(size)));
}

void InRange(long long value, long long low, long long high, const char *name)
{
    if (value < low || value > high)
        throw EArgumentError(Named(name, std::to_string(value) + " is outside " + std::to_string(low) + " to " +
                                             std::to_string(high)));
}

void InRange(long long value, long long low, long long high, const char *name, const char *what)
{
    if (value < low || value > high)
        throw EArgumentError(Named(name, std::string(what) + " " + std::to_string(value) + " is outside " +
                                             std::to_string(low) + " to " + std::to_string(high)));
}

std::vector<std::uint8_t> ByteEntries(const std::vector<int> &list, std::size_t count, const char *name)
{
    AtLeast(list.size(), count, name);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        InRange(list[i], 0, 255, name, ("entry " + std::to_string(i) + " value").c_str());
        bytes.push_back(static_cast<std::uint8_t>(list[i]));
    }
    return bytes;
}

void RecordBuffer(int size, bool shortFormAllowed, const char *name)
{
    if (size >= 22 || (shortFormAllowed && size == 14))
        return;
    throw EArgumentError(Named(name, std::to_string(size) + " bytes cannot hold the record: the read writes 22 bytes" +
                                         (shortFormAllowed ? std::string(" (14 with a size of exactly 14)")
                                                           : std::string(" for 7-, 8- and 12-byte cards"))));
}

} // namespace norvik::args
