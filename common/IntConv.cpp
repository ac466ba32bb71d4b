#include "common/IntConv.h"

#include "common/Errors.h"

#include <cstdint>

namespace norvik {

std::string InvalidIntegerMessage(const std::string &text)
{
    return "'" + text + "' is not a valid integer value";
}

std::optional<int> TryStrToInt(const std::string &text)
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

    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }

    std::int64_t result;
    if (hex) {
        // Hexadecimal texts cover the whole 32-bit pattern ($FFFFFFFF is -1).
        result = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        if (negative)
            result = -result;
    } else {
        result = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
        if (result > INT32_MAX || result < INT32_MIN)
            return std::nullopt;
    }
    return static_cast<int>(result);
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
