#pragma once
// Sample firmware images for rehearsals and tests: Intel-HEX text of 64-byte
// data records over a chosen range that always holds the identity record at
// 0x7780 (type code at 0x77BA..0x77BB, version at 0x77BC..0x77BD, as the burner
// reads them) and the record at 0x77C0 (where the burner cuts lower-case files),
// then the end-of-file record. Every line ends with CR LF.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace nsim {

struct HexGenOptions {
    std::uint16_t typeCode = 1;
    std::uint16_t version = 0x0205;
    std::uint32_t start = 0x7000; // address of the first record, a multiple of 0x40
    int records = 32;             // 64-byte records from start
    bool upperCase = false;       // lower case is what real firmware files use
    QString output;               // file to write; "-" for stdout
};

constexpr int kHexRecordBytes = 64;
constexpr std::uint32_t kIdentityRecord = 0x7780;
constexpr std::uint32_t kCutRecord = 0x77C0;

// The data byte the generator puts at an address outside the identity bytes.
std::uint8_t hexGenFill(std::uint32_t address);

// Checks the range; on success returns the whole file text.
bool generateHex(const HexGenOptions &options, QByteArray *text, QString *error);

struct HexGenParse {
    enum Kind { Ok, Help, Error } kind = Ok;
    QString error;
    HexGenOptions options;
};
HexGenParse parseHexGenArguments(const QStringList &args);
QString hexGenHelpText();

} // namespace nsim
