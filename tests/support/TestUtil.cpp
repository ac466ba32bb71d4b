#include "tests/support/TestUtil.h"

#include <cstdio>
#include <stdexcept>

namespace norvik::test {

std::string Hex(const std::uint8_t *data, int count)
{
    std::string out;
    char cell[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", data[i]);
        if (i)
            out += ' ';
        out += cell;
    }
    return out;
}

std::string Hex(const std::vector<std::uint8_t> &bytes)
{
    return Hex(bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<std::uint8_t> Bytes(const std::string &hex)
{
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits += c;
    if (digits.size() % 2)
        throw std::invalid_argument("odd number of hex digits: " + hex);
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace norvik::test
