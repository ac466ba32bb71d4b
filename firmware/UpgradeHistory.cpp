#include "firmware/UpgradeHistory.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <exception>
#include <functional>
#include <optional>

namespace norvik {

namespace {

// Another writer (a second norvik-ctl, the window, a fleet run) may hold the
// write lock for a moment; a row waits this long for it before giving up.
constexpr int kBusyTimeoutMs = 5000;

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
    " message TEXT NOT NULL DEFAULT '')";
const char *const kColumns = "started, ended, link, address, controller_id, serial_number, type_code, version_before, "
                             "version_after, file_name, file_sha256, lines, resends, outcome, message";

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

    // Opens the file (created when missing) with the busy timeout and WAL set;
    // false with the reason in *error.
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
            *error = QStringLiteral("cannot open %1: %2").arg(path, SqlReason(db.lastError()));
            return false;
        }
        // WAL lets readers go on while one process writes; the busy timeout is
        // set first so that switching the journal waits for a writer too.
        return Exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(kBusyTimeoutMs), error) &&
               Exec(QStringLiteral("PRAGMA journal_mode = WAL"), error);
    }

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    bool Exec(const QString &sql, QString *error)
    {
        QSqlQuery query(Db());
        if (query.exec(sql))
            return true;
        *error = QStringLiteral("%1: %2").arg(sql.section(QLatin1Char(' '), 0, 1), SqlReason(query.lastError()));
        return false;
    }

    std::optional<int> SchemaVersion(QString *error)
    {
        QSqlQuery query(Db());
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
            *error = QStringLiteral("cannot read the schema version: %1").arg(SqlReason(query.lastError()));
            return std::nullopt;
        }
        return query.value(0).toInt();
    }

private:
    QString m_name;
    bool m_added = false;
};

// Creates the table on first use. BEGIN IMMEDIATE takes the write lock before
// the version is read, so that two first writers do not both create it.
bool EnsureSchema(Connection &connection, const QString &path, QString *error)
{
    if (!connection.Exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    const std::optional<int> version = connection.SchemaVersion(error);
    bool ok = version.has_value();
    if (ok && *version > kUpgradeHistorySchema) {
        *error = QStringLiteral("%1 has schema version %2, newer than this program's %3; it is left as it is")
                     .arg(path)
                     .arg(*version)
                     .arg(kUpgradeHistorySchema);
        ok = false;
    } else if (ok && *version < kUpgradeHistorySchema) {
        ok = connection.Exec(QString::fromLatin1(kCreateTable), error) &&
             connection.Exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_sn ON upgrades(serial_number)"), error) &&
             connection.Exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_started ON upgrades(started_utc)"), error) &&
             connection.Exec(QStringLiteral("PRAGMA user_version = %1").arg(kUpgradeHistorySchema), error);
    }
    QString ignored;
    if (!ok) {
        connection.Exec(QStringLiteral("ROLLBACK"), &ignored);
        return false;
    }
    return connection.Exec(QStringLiteral("COMMIT"), error);
}

QString CheckRecord(const UpgradeRecord &r)
{
    static const QStringList links{QStringLiteral("serial"), QStringLiteral("network"), QStringLiteral("modem")};
    static const QStringList outcomes{QStringLiteral("success"), QStringLiteral("failure"), QStringLiteral("interrupted")};
    if (!r.started.isValid())
        return QStringLiteral("the row has no start time");
    if (!links.contains(r.link))
        return QStringLiteral("unknown link '%1'").arg(r.link);
    if (!outcomes.contains(r.outcome))
        return QStringLiteral("unknown outcome '%1'").arg(r.outcome);
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
            Connection connection;
            if (!connection.Open(path, why) || !EnsureSchema(connection, path, why))
                return false;
            QSqlQuery insert(connection.Db());
            insert.prepare(QStringLiteral("INSERT INTO upgrades (started_utc, %1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                          "?, ?, ?, ?, ?, ?, ?)")
                               .arg(QLatin1String(kColumns)));
            insert.addBindValue(IsoUtc(record.started));
            insert.addBindValue(IsoWithOffset(record.started));
            insert.addBindValue(record.ended.isValid() ? QVariant(IsoWithOffset(record.ended)) : QVariant());
            insert.addBindValue(record.link);
            insert.addBindValue(TextValue(record.address));
            insert.addBindValue(record.controllerId >= 0 ? QVariant(record.controllerId) : QVariant());
            for (const QString *text : {&record.serialNumber, &record.typeCode, &record.versionBefore,
                                        &record.versionAfter, &record.fileName, &record.fileSha256})
                insert.addBindValue(TextValue(*text));
            insert.addBindValue(record.lines);
            insert.addBindValue(record.resends);
            insert.addBindValue(record.outcome);
            insert.addBindValue(TextValue(record.message));
            if (!insert.exec()) {
                *why = QStringLiteral("cannot add the row to %1: %2").arg(path, SqlReason(insert.lastError()));
                return false;
            }
            return true;
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
            Connection connection;
            if (!connection.Open(path, why))
                return false;
            const std::optional<int> version = connection.SchemaVersion(why);
            if (!version)
                return false;
            if (*version == 0)
                return true; // created, but no row written yet
            QString sql = QStringLiteral("SELECT %1 FROM upgrades WHERE 1 = 1").arg(QLatin1String(kColumns));
            if (!filter.serialNumber.isEmpty())
                sql += QStringLiteral(" AND serial_number = :sn");
            if (filter.since.isValid())
                sql += QStringLiteral(" AND started_utc >= :since");
            sql += QStringLiteral(" ORDER BY started_utc, id");
            QSqlQuery query(connection.Db());
            query.prepare(sql);
            if (!filter.serialNumber.isEmpty())
                query.bindValue(QStringLiteral(":sn"), filter.serialNumber);
            if (filter.since.isValid())
                query.bindValue(QStringLiteral(":since"), IsoUtc(filter.since));
            if (!query.exec()) {
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
                records->append(r);
            }
            return true;
        },
        error);
}

} // namespace norvik
