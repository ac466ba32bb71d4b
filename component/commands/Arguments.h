#pragma once
// Reading the caller's arguments into frame bytes, shared by the command
// families. Whatever the controller cannot carry is refused here, before a
// byte of the frame goes out; every message starts with the argument's name,
// as applications and norvik-ctl call it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace norvik::args {

inline std::uint8_t Low8(long long value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

inline std::uint8_t High8(long long value)
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// The value of a hexadecimal digit character, -1 for any other byte.
int HexDigit(char c);
// The text without the blanks (spaces and control characters) around it.
std::string Trimmed(const std::string &text);

// A decimal card number (blanks around it allowed) as the controller stores it,
// 0 to 4294967295. Anything else raises EConvertError: a number that does not
// fit would otherwise go out with its upper bits dropped and admit another card.
std::uint32_t CardNumber(const std::string &text, const char *name);

// A card number held as a signed 32-bit value (blanks around it allowed),
// -2147483648 to 2147483647; anything else raises EConvertError.
std::int32_t SignedCardNumber(const std::string &text, const char *name);

// The byte written by the hexadecimal digits text[pos], text[pos + 1];
// EConvertError when they are not two hexadecimal digits (or missing).
std::uint8_t HexPair(const std::string &text, std::size_t pos, const char *name);

// A date text "YYMMDD": exactly six characters (EArgumentError otherwise),
// each pair decimal digits (EConvertError otherwise), one byte per pair.
void DecimalDate(const std::string &text, const char *name, std::uint8_t (&out)[3]);

// EArgumentError unless size >= needed: "<name>: needs at least <needed> <unit>, got <size>".
void AtLeast(std::size_t size, std::size_t needed, const char *name, const char *unit = "entries");
// EArgumentError unless size == needed.
void Exactly(std::size_t size, std::size_t needed, const char *name, const char *unit = "bytes");
// EArgumentError unless low <= value <= high.
void InRange(long long value, long long low, long long high, const char *name);
// The same for one element of a list argument, which `what` names:
// "<name>: <what> <value> is outside <low> to <high>".
void InRange(long long value, long long low, long long high, const char *name, const char *what);

// The first `count` entries of a list argument as the bytes they stand for.
// EArgumentError when the list is shorter, or when a used entry lies outside
// 0 to 255: a floor time of 300 s must not reach the controller as 44 s.
std::vector<std::uint8_t> ByteEntries(const std::vector<int> &list, std::size_t count, const char *name);

// A transaction read writes the 22-byte form, or 14 bytes when the short form
// is allowed (4-byte cards) and asked for with size 14. EArgumentError unless
// size says the caller's buffer holds what will be written.
void RecordBuffer(int size, bool shortFormAllowed, const char *name);

} // namespace norvik::args
