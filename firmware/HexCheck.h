#pragma once
// A firmware file checked record by record before it goes near a controller:
// the boot loader answers a broken record with "N" over and over until the
// download stalls, so hex-info names every such line in advance.
#include <QList>
#include <QString>

#include <optional>

namespace norvik {

struct HexProblem {
    int line = 0;   // 1-based line number; 0 for a problem of the whole file
    QString reason; // "checksum is 0x12, should be 0x34", "truncated record", ...
    bool record = false; // a broken record line (rather than a stray line or a whole-file remark)
};

struct HexCheckResult {
    int recordLines = 0;       // lines starting with ':'
    int cutLine = 0;           // line of the record at "77c0" where the download stops; 0 if none
    QList<HexProblem> problems;
};

// Reads the file (Latin-1, CR LF or LF line ends) and checks every record line:
// hexadecimal digits only, at least count, address, type and checksum, the
// length its count field announces, a known record type, and the checksum.
// Non-empty lines that are not records are reported too (the download skips
// them). Raises norvik::EInOutError with the system's reason when the file
// cannot be read.
HexCheckResult CheckHexFile(const QString &fileName);

// Why the file must not be downloaded, if it must not: the first broken record
// the download would send (one before the cut line), or a file without a single
// record line (empty, or not HEX at all), which would leave the controller in
// its boot loader with nothing to write. Stray lines and records past the cut
// never reach the boot loader and do not count.
std::optional<HexProblem> DownloadRefusal(const HexCheckResult &check);

// The refusal as norvik-ctl words it: where, why, and that nothing was sent.
QString DownloadRefusalText(const QString &path, const HexProblem &problem);

} // namespace norvik
