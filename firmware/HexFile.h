#pragma once
// Intel-HEX firmware files: the type code and version stored in the image,
// the work file whose record lines the boot loader is fed, and its loading.
// Text is 8-bit: lines are read and written as Latin-1.
#include <QString>
#include <QStringList>

namespace norvik {

struct HexFileInfo {
    bool ok = false;    // a ":407780" line was found in a file with record lines
    QString typeCode;   // decimal text, e.g. "261"
    QString version;    // "major.minor" in decimal, e.g. "2.10"
};

// Type code and version from characters 126..133 of every line containing
// ":407780" (later lines win). Raises EConvertError for a short or
// non-hexadecimal field, EInOutError when the file cannot be read.
HexFileInfo ReadHexFileInfo(const QString &fileName);

// Writes the work file: every line with ";" appended, cut at the record whose
// address field reads "77c0" (replaced by ":00000001ff;"), CR LF line ends,
// old content discarded. Raises EInOutError on any file fault.
void ConvertHexFile(const QString &source, const QString &target);

// Number of record lines (lines starting with ':'); 0 for a missing file.
int CountHexLines(const QString &fileName);

// The record lines of the file, in order, without line ends.
QStringList LoadHexLines(const QString &fileName);

// Where the work file "temp.hex" lives: the executable's folder, or a
// private folder under the user's runtime or cache folder when that one cannot
// be written or is a system folder. Empty when no such folder can be made;
// `why` then says why.
QString WorkFilePath(QString *why = nullptr);

// Whether an absolute folder is, or lies under, one where the system keeps its
// programs and libraries (/usr, /bin, /sbin, /lib and its 32/64-bit kin, /opt).
// Root can write there, but a work file does not belong there.
bool IsSystemFolder(const QString &folder);

// The first of "norvik-burner" under each of `bases` that is, or can be made,
// a folder of this user's only (mode 0700); empty when none, `why` then
// naming each folder tried and what was wrong with it.
QString PrivateWorkFolder(const QStringList &bases, QString *why = nullptr);

} // namespace norvik
