#pragma once
// The upgrade history: one row for every firmware download, whoever ran it
// (the window, norvik-ctl download, norvik-ctl fleet), in one SQLite database
// in the user's data folder, so that an installer can say afterwards which
// controller runs which firmware since when. Several processes may write at
// once; each call opens its own connection, so any thread may call, but one
// thread per process is what the programs do.
#include <QDateTime>
#include <QList>
#include <QString>

namespace norvik {

struct UpgradeRecord {
    QDateTime started, ended; // local time with offset, stored as ISO 8601
    QString link;             // "serial", "network" or "modem"
    QString address;          // "host:port" for the network, the port name otherwise
    int controllerId = -1;
    QString serialNumber, typeCode, versionBefore, versionAfter; // empty when not read
    QString fileName, fileSha256;
    int lines = 0, resends = 0; // record lines sent once each, and sent again
    // A download: "success" (verified after the restart), "current", "refused",
    // "downloaded" (the restart is pending), "failure" or "interrupted".
    // A verification: "verified", "mismatch" or "failure".
    QString outcome;
    QString kind = QStringLiteral("download"); // "download" or "verify"
    QString message;
};

// Appends one row; never throws. A database another process holds locked is
// waited for (a few seconds at most); false with *error set when the row could
// not be written.
bool AppendUpgradeRecord(const UpgradeRecord &record, QString *error);

// Which rows to read back: all when every field is empty.
struct UpgradeFilter {
    QString serialNumber; // exactly this SN
    QDateTime since;      // started at or after this moment
    QString kind;         // "download" or "verify"
};

// The rows that match, oldest first; never throws. A database that does not
// exist yet holds no rows (and is not created). False with *error set when it
// could not be read.
bool ReadUpgradeRecords(const UpgradeFilter &filter, QList<UpgradeRecord> *records, QString *error);

// <user data folder>/norvik/history.sqlite: one file shared by the window and
// norvik-ctl (XDG_DATA_HOME moves it on Linux). Empty when the system names
// no data folder.
QString UpgradeHistoryPath();

// The schema version this build writes (PRAGMA user_version of the file). A
// writer brings an older file to it in place, every row kept; readers read
// both.
constexpr int kUpgradeHistorySchema = 2;

// Lower-case hex SHA-256 of a file's bytes; empty when it cannot be read.
QString FileSha256(const QString &path);

} // namespace norvik
