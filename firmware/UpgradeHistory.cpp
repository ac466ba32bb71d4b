#include "firmware/UpgradeHistory.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>

#include <exception>
#include <functional>
#include <optional>

namespace norvik {

namespace {

// Another writer (a second norvik-ctl, the window, a fleet run) may hold the
// write lock for a moment; one statement waits this long for it.
constexpr int kBusyTimeoutMs = 5000;
// SQLite answers "database is locked" at once, without waiting, where waiting
// could deadlock two connections: switching a new file to WAL (a reader
// asking for the exclusive lock) is such a step. A call that meets it starts
// over on a fresh connection, after a short random pause, for this long in all.
constexpr int kRetryForMs = 15000;

const char *const kCreateTable =
    "CREATE TABLE IF NOT EXISTS upgrades ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " started TEXT NOT NULL,"     // ISO 8601 with the local offset, as the installer saw the clock
    " started_utc TEXT NOT NULL," // the same moment in UTC: sorts and compares as text
    " ended TEXT,"
    " link TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " controller_id INTEGER,"     // NULL when not known
    " serial_number TEXT NOT NULL DEFAULT '',"
    " type_code TEXT NOT NULL DEFAULT '',"
    " version_before TEXT NOT NULL DEFAULT '',"
    " version_after TEXT NOT NULL DEFAULT '',"
    " file_name TEXT NOT NULL DEFAULT '',"
    " file_sha256 TEXT NOT NULL DEFAULT '',"
    " lines INTEGER NOT NULL DEFAULT 0,"
    " resends INTEGER NOT NULL DEFAULT 0,"
    " outcome TEXT NOT NULL,"
    " message TEXT NOT NULL DEFAULT '',"
    " kind TEXT NOT NULL DEFAULT 'download')"; // "download" or "verify"
// Schema 1 had no kind: every row it holds is a download.
const char *const kAddKind = "ALTER TABLE upgrades ADD COLUMN kind TEXT NOT NULL DEFAULT 'download'";
const char *const kColumns = "started, ended, link, address, controller_id, serial_number, type_code, version_before, "
                             "version_after, file_name, file_sha256, lines, resends, outcome, message, kind";
// What a schema-1 file gives for the same columns.
const char *const kColumnsV1 = "started, ended, link, address, controller_id, serial_number, type_code, version_before, "
                               "version_after, file_name, file_sha256, lines, resends, outcome, message, 'download'";

QString IsoWithOffset(const QDateTime &time)
{
    if (!time.isValid())
        return {};
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QString IsoUtc(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

// Qt binds a null QString as SQL NULL: an empty field is stored as ''.
QVariant TextValue(const QString &text)
{
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

QString SqlReason(const QSqlError &error)
{
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

// SQLITE_BUSY or SQLITE_LOCKED (extended codes carry them in the low byte).
bool IsBusy(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok && (code == 5 || code == 6);
}

// One private connection for one call: QSqlDatabase connections belong to the
// thread that made them, and a name used once never meets another thread.
class Connection {
public:
    Connection()
    {
        static QAtomicInteger<quint64> counter;
        m_name = QStringLiteral("norvik-history-%1").arg(counter.fetchAndAddRelaxed(1));
    }
    ~Connection()
    {
        if (m_added) {
            {
                QSqlDatabase db = QSqlDatabase::database(m_name, false);
                db.close();
            }
            QSqlDatabase::removeDatabase(m_name);
        }
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens the file (created when missing) with the busy timeout set; false
    // with the reason in *error.
    bool Open(const QString &path, QString *error)
    {
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
            *error = QStringLiteral("Qt's SQLite driver is not installed (Debian package libqt6sql6-sqlite)");
            return false;
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_added = true;
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        if (!db.open()) {
            Note(db.lastError());
            *error = QStringLiteral("cannot open %1: %2").arg(path, SqlReason(db.lastError()));
            return false;
        }
        return true;
    }

    // WAL lets readers go on while one process writes. A file is switched
    // once, by its first writer; later connections find it so and change
    // nothing. Outside a transaction: SQLite switches only there.
    bool UseWal(QString *error)
    {
        QSqlQuery query(Db());
        if (!query.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !query.next()) {
            Note(query.lastError());
            *error = QStringLiteral("PRAGMA journal_mode: %1").arg(SqlReason(query.lastError()));
            return false;
        }
        return true;
    }

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    bool Exec(const QString &sql, QString *error)
    {
        QSqlQuery query(Db());
        if (query.exec(sql))
            return true;
        Note(query.lastError());
        *error = QStringLiteral("%1: %2").arg(sql.section(QLatin1Char(' '), 0, 1), SqlReason(query.lastError()));
        return false;
    }

    // Runs a prepared statement, noting a locked database like Exec.
    bool Run(QSqlQuery &query)
    {
        if (query.exec())
            return true;
        Note(query.lastError());
        return false;
    }

    std::optional<int> SchemaVersion(QString *error)
    {
        QSqlQuery query(Db());
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
            Note(query.lastError());
            *error = QStringLiteral("cannot read the schema version: %1").arg(SqlReason(query.lastError()));
            return std::nullopt;
        }
        return query.value(0).toInt();
    }

    // Whether a statement of this connection met a database that another
    // connection held locked: then the whole call is worth trying again.
    bool MetLock() const { return m_metLock; }
    void Note(const QSqlError &error) { m_metLock = m_metLock || IsBusy(error); }

private:
    QString m_name;
    bool m_added = false;
    bool m_metLock = false;
};

// Lays out a new file, or brings an older one to this schema in place (every
// row kept; schema 1's rows are downloads). Called inside BEGIN IMMEDIATE:
// the write lock is taken before the version is read, so that processes that
// open a new or an old file at once lay it out or migrate it only once.
bool EnsureSchema(Connection &connection, const QString &path, QString *error)
{
    const std::optional<int> version = connection.SchemaVersion(error);
    if (!version)
        return false;
    if (*version > kUpgradeHistorySchema) {
        *error = QStringLiteral("%1 has schema version %2, newer than this program's %3; it is left as it is")
                     .arg(path)
                     .arg(*version)
                     .arg(kUpgradeHistorySchema);
        return false;
    }
    if (*version == kUpgradeHistorySchema)
        return true;
    if (*version == 1 && !connection.Exec(QString::fromLatin1(kAddKind), error))
        return false;
    return connection.Exec(QString::fromLatin1(kCreateTable), error) &&
           connection.Exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_sn ON upgrades(serial_number)"), error) &&
           connection.Exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_started ON upgrades(started_utc)"), error) &&
           connection.Exec(QStringLiteral("PRAGMA user_version = %1").arg(kUpgradeHistorySchema), error);
}

// Runs attempt on a fresh connection, again while it fails on a locked
// database and time is left; the last attempt's reason is the one said.
bool WithRetries(const std::function<bool(Connection &, QString *)> &attempt, QString *error)
{
    const QDeadlineTimer deadline(kRetryForMs);
    for (int round = 0;; ++round) {
        bool metLock = false;
        {
            Connection connection;
            if (attempt(connection, error))
                return true;
            metLock = connection.MetLock();
        }
        if (!metLock)
            return false;
        // Random, so that writers that collided do not collide again in step.
        const int pauseMs = QRandomGenerator::global()->bounded(5, 20 + 10 * std::min(round, 10));
        if (deadline.remainingTime() < pauseMs) {
            *error = QStringLiteral("%1 (still locked by another program after %2 s)").arg(*error).arg(kRetryForMs / 1000);
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(pauseMs));
    }
}

QString CheckRecord(const UpgradeRecord &r)
{
    static const QStringList links{QStringLiteral("serial"), QStringLiteral("network"), QStringLiteral("modem")};
    static const QStringList downloadOutcomes{QStringLiteral("success"),    QStringLiteral("current"),
                                              QStringLiteral("refused"),    QStringLiteral("downloaded"),
                                              QStringLiteral("failure"),    QStringLiteral("interrupted")};
    static const QStringList verifyOutcomes{QStringLiteral("verified"), QStringLiteral("mismatch"),
                                            QStringLiteral("failure")};
    if (!r.started.isValid())
        return QStringLiteral("the row has no start time");
    if (!links.contains(r.link))
        return QStringLiteral("unknown link '%1'").arg(r.link);
    if (r.kind != QLatin1String("download") && r.kind != QLatin1String("verify"))
        return QStringLiteral("unknown kind '%1'").arg(r.kind);
    if (!(r.kind == QLatin1String("verify") ? verifyOutcomes : downloadOutcomes).contains(r.outcome))
        return QStringLiteral("unknown outcome '%1' for a %2 row").arg(r.outcome, r.kind);
    return {};
}

// Runs body and turns anything it raises into an error text: the history
// must never end a download.
bool Guarded(const std::function<bool(QString *)> &body, QString *error)
{
    QString message;
    bool ok = false;
    try {
        ok = body(&message);
    } catch (const std::exception &e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("unexpected error");
    }
    if (!ok && error)
        *error = message.isEmpty() ? QStringLiteral("unknown error") : message;
    return ok;
}

QString Text(const QSqlQuery &query, int column)
{
    return query.value(column).toString();
}

// The rows that match, read as the file's schema holds them. A reader
// changes nothing, not even the journal: an older file is migrated by its
// next writer.
bool Select(Connection &connection, const QString &path, const UpgradeFilter &filter, QList<UpgradeRecord> *records,
            QString *why)
{
    const std::optional<int> version = connection.SchemaVersion(why);
    if (!version)
        return false;
    if (*version == 0)
        return true; // created, but no row written yet
    // A newer layout is read for the columns this program knows.
    const bool hasKind = *version >= 2;
    QString sql = QStringLiteral("SELECT %1 FROM upgrades WHERE 1 = 1")
                      .arg(QLatin1String(hasKind ? kColumns : kColumnsV1));
    if (!filter.serialNumber.isEmpty())
        sql += QStringLiteral(" AND serial_number = :sn");
    if (filter.since.isValid())
        sql += QStringLiteral(" AND started_utc >= :since");
    if (!filter.kind.isEmpty())
        sql += hasKind ? QStringLiteral(" AND kind = :kind") : QStringLiteral(" AND 'download' = :kind");
    sql += QStringLiteral(" ORDER BY started_utc, id");
    QSqlQuery query(connection.Db());
    query.prepare(sql);
    if (!filter.serialNumber.isEmpty())
        query.bindValue(QStringLiteral(":sn"), filter.serialNumber);
    if (filter.since.isValid())
        query.bindValue(QStringLiteral(":since"), IsoUtc(filter.since));
    if (!filter.kind.isEmpty())
        query.bindValue(QStringLiteral(":kind"), filter.kind);
    if (!connection.Run(query)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, SqlReason(query.lastError()));
        return false;
    }
    while (query.next()) {
        UpgradeRecord r;
        r.started = QDateTime::fromString(Text(query, 0), Qt::ISODate);
        r.ended = QDateTime::fromString(Text(query, 1), Qt::ISODate);
        r.link = Text(query, 2);
        r.address = Text(query, 3);
        r.controllerId = query.value(4).isNull() ? -1 : query.value(4).toInt();
        r.serialNumber = Text(query, 5);
        r.typeCode = Text(query, 6);
        r.versionBefore = Text(query, 7);
        r.versionAfter = Text(query, 8);
        r.fileName = Text(query, 9);
        r.fileSha256 = Text(query, 10);
        r.lines = query.value(11).toInt();
        r.resends = query.value(12).toInt();
        r.outcome = Text(query, 13);
        r.message = Text(query, 14);
        r.kind = Text(query, 15);
        records->append(r);
    }
    if (query.lastError().isValid()) {
        connection.Note(query.lastError()); // a lock met half way: read again
        *why = QStringLiteral("cannot read %1: %2").arg(path, SqlReason(query.lastError()));
        return false;
    }
    return true;
}

// Within the open BEGIN IMMEDIATE: the schema, the row, the commit; rolled
// back (and so not half written) when any of them fails.
bool Insert(Connection &connection, const QString &path, const UpgradeRecord &record, QString *why)
{
    bool ok = EnsureSchema(connection, path, why);
    if (ok) {
        QSqlQuery insert(connection.Db());
        insert.prepare(QStringLiteral("INSERT INTO upgrades (started_utc, %1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                      "?, ?, ?, ?, ?, ?)")
                           .arg(QLatin1String(kColumns)));
        insert.addBindValue(IsoUtc(record.started));
        insert.addBindValue(IsoWithOffset(record.started));
        insert.addBindValue(record.ended.isValid() ? QVariant(IsoWithOffset(record.ended)) : QVariant());
        insert.addBindValue(record.link);
        insert.addBindValue(TextValue(record.address));
        insert.addBindValue(record.controllerId >= 0 ? QVariant(record.controllerId) : QVariant());
        for (const QString *text : {&record.serialNumber, &record.typeCode, &record.versionBefore, &record.versionAfter,
                                    &record.fileName, &record.fileSha256})
            insert.addBindValue(TextValue(*text));
        insert.addBindValue(record.lines);
        insert.addBindValue(record.resends);
        insert.addBindValue(record.outcome);
        insert.addBindValue(TextValue(record.message));
        insert.addBindValue(record.kind);
        ok = connection.Run(insert);
        if (!ok)
            *why = QStringLiteral("cannot add the row to %1: %2").arg(path, SqlReason(insert.lastError()));
    }
    if (ok && connection.Exec(QStringLiteral("COMMIT"), why))
        return true;
    QString ignored;
    connection.Exec(QStringLiteral("ROLLBACK"), &ignored);
    return false;
}

} // namespace

QString UpgradeHistoryPath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return QDir(data).filePath(QStringLiteral("norvik/history.sqlite"));
}

QString FileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

bool AppendUpgradeRecord(const UpgradeRecord &record, QString *error)
{
    return Guarded(
        [&record](QString *why) {
            if (const QString bad = CheckRecord(record); !bad.isEmpty()) {
                *why = bad;
                return false;
            }
            const QString path = UpgradeHistoryPath();
            if (path.isEmpty()) {
                *why = QStringLiteral("the system names no data folder for the upgrade history");
                return false;
            }
            if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
                *why = QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).absolutePath());
                return false;
            }
            return WithRetries([&](Connection &connection, QString *reason) {
                return connection.Open(path, reason) && connection.UseWal(reason) &&
                       connection.Exec(QStringLiteral("BEGIN IMMEDIATE"), reason) &&
                       Insert(connection, path, record, reason);
            }, why);
        },
        error);
}

bool ReadUpgradeRecords(const UpgradeFilter &filter, QList<UpgradeRecord> *records, QString *error)
{
    records->clear();
    return Guarded(
        [&filter, records](QString *why) {
            const QString path = UpgradeHistoryPath();
            if (path.isEmpty() || !QFileInfo::exists(path))
                return true; // nothing downloaded yet
            return WithRetries([&](Connection &connection, QString *reason) {
                records->clear();
                return connection.Open(path, reason) && Select(connection, path, filter, records, reason);
            }, why);
        },
        error);
}

} // namespace norvik
