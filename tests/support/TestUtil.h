#pragma once
// Small helpers shared by the test programs.
#include <cstdint>
#include <string>
#include <vector>

namespace norvik::test {

// "33 01 02 00 36" for assertion messages and comparisons.
std::string Hex(const std::uint8_t *data, int count);
std::string Hex(const std::vector<std::uint8_t> &bytes);

// Parses "33 01 02 00 36" (blanks optional) into bytes.
std::vector<std::uint8_t> Bytes(const std::string &hex);

} // namespace norvik::test
