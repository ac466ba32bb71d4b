#include "common/IntConv.h"

#include "common/Errors.h"

#include <cstdint>

namespace norvik {

std::string InvalidIntegerMessage(const std::string &text)
{
    return "'" + text + "' is not a valid integer value";
}

namespace {

// The shared grammar; bits is 32 or 64, the width the value must fit.
std::optional<long long> Parse(const std::string &text, int bits)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;

    const std::uint64_t limit = bits == 32 ? 0xFFFFFFFFull : 0xFFFFFFFFFFFFFFFFull;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<std::uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<std::uint64_t>(c - 'A' + 10);
        else
            return std::nullopt;
        const std::uint64_t base = hex ? 16 : 10;
        if (value > (limit - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }

    if (hex) {
        // Hexadecimal texts cover the whole bit pattern ($FFFFFFFF is -1 in 32 bits).
        long long result = bits == 32 ? static_cast<long long>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)))
                                      : static_cast<long long>(value);
        return negative ? -result : result;
    }
    const std::uint64_t maxMagnitude = (bits == 32 ? 0x7FFFFFFFull : 0x7FFFFFFFFFFFFFFFull) + (negative ? 1 : 0);
    if (value > maxMagnitude)
        return std::nullopt;
    if (negative)
        return value == maxMagnitude ? (bits == 32 ? static_cast<long long>(INT32_MIN) : INT64_MIN)
                                     : -static_cast<long long>(value);
    return static_cast<long long>(value);
}

} // namespace

std::optional<int> TryStrToInt(const std::string &text)
{
    const std::optional<long long> value = Parse(text, 32);
    if (!value)
        return std::nullopt;
    return static_cast<int>(*value);
}

std::optional<long long> TryStrToInt64(const std::string &text)
{
    return Parse(text, 64);
}

int StrToInt(const std::string &text)
{
    if (const auto value = TryStrToInt(text))
        return *value;
    throw EConvertError(InvalidIntegerMessage(text));
}

int StrToInt(const QString &text)
{
    return StrToInt(text.toLatin1().toStdString());
}

} // namespace norvik
