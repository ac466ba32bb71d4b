#pragma once
// Whole-text integer conversion shared by the window, the component and the
// command line: leading blanks, an optional sign, then decimal digits or
// hexadecimal after "$" (or "0x"). Anything else, an empty text or a value
// outside 32 bits raises EConvertError "'<text>' is not a valid integer value".
#include <QString>
#include <optional>
#include <string>

namespace norvik {

int StrToInt(const std::string &text);
int StrToInt(const QString &text);

// The same rules without raising: empty when the text does not convert.
std::optional<int> TryStrToInt(const std::string &text);
// The same rules over 64 bits (card numbers, addresses): decimal within the
// signed 64-bit range, hexadecimal up to 16 digits as the whole bit pattern.
std::optional<long long> TryStrToInt64(const std::string &text);

// The message of the conversion error for a text.
std::string InvalidIntegerMessage(const std::string &text);

} // namespace norvik
