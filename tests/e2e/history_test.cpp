// The upgrade history: rows written in this process and by norvik-ctl
// downloads (two at once, against two simulators), read back with
// norvik-ctl history as JSON and CSV; the file's schema and the migration of
// an older one; a row or a file that must be refused; many writers at once
// losing no row; and a history that cannot be written never failing a download.
#include "firmware/UpgradeHistory.h"
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace norvik;
using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

// Points the history (of this process and the norvik-ctl it starts) into a private folder.
class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_oldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", m_oldDataHome); }

    CtlResult Ctl(const QStringList &args) const { return RunCtl(QStringLiteral(NORVIK_CTL_PATH), args); }

    // The value a query on the history file gives, as text (empty when it gives none).
    static QString Pragma(const QString &sql)
    {
        QString value;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
            db.setDatabaseName(UpgradeHistoryPath());
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            EXPECT_TRUE(query.exec(sql)) << sql.toStdString();
            if (query.next())
                value = query.value(0).toString();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("probe"));
        return value;
    }

    QTemporaryDir m_dir;
    QByteArray m_oldDataHome;
};

UpgradeRecord Row(const QString &sn, const QDateTime &started, const QString &outcome, const QString &message)
{
    UpgradeRecord r;
    r.started = started;
    r.ended = started.addSecs(65);
    r.link = QStringLiteral("network");
    r.address = QStringLiteral("10.0.0.7:1001");
    r.controllerId = 3;
    r.serialNumber = sn;
    r.typeCode = QStringLiteral("261");
    r.versionBefore = QStringLiteral("2.5");
    r.versionAfter = outcome == QLatin1String("success") ? QStringLiteral("2.10") : QString();
    r.fileName = QStringLiteral("/srv/fw/main.hex");
    r.fileSha256 = QString(64, QLatin1Char('a'));
    r.lines = 32;
    r.resends = 2;
    r.outcome = outcome;
    r.message = message;
    return r;
}

// Every field, the times with their offsets, for comparing whole rows.
QStringList Fields(const UpgradeRecord &r)
{
    return {r.started.toString(Qt::ISODate), r.ended.toString(Qt::ISODate), r.link, r.address,
            QString::number(r.controllerId), r.serialNumber, r.typeCode, r.versionBefore, r.versionAfter, r.fileName,
            r.fileSha256, QString::number(r.lines), QString::number(r.resends), r.outcome, r.message};
}

TEST_F(History, RowsRoundTripAndAreListedAsJsonAndCsv)
{
    // Nothing downloaded yet: no rows, and reading creates no file.
    QList<UpgradeRecord> read;
    QString error;
    ASSERT_TRUE(ReadUpgradeRecords({}, &read, &error)) << error.toStdString();
    EXPECT_TRUE(read.isEmpty());
    EXPECT_FALSE(QFile::exists(UpgradeHistoryPath()));

    // The night the clocks go back: the second row reads earlier but happened later.
    const QDateTime day(QDate(2026, 10, 25), QTime(2, 50), QTimeZone(7200));
    const QList<UpgradeRecord> rows{
        Row(QStringLiteral("00000001"), day, QStringLiteral("success"), QStringLiteral("Download Successful")),
        Row(QStringLiteral("00000002"), QDateTime(QDate(2026, 10, 25), QTime(2, 10), QTimeZone(3600)),
            QStringLiteral("failure"), QStringLiteral("line 4, \"N\"\nthen silence")),
        Row(QStringLiteral("00000001"), day.addDays(2), QStringLiteral("interrupted"), QStringLiteral("Download stopped.")),
    };
    for (const UpgradeRecord &r : rows)
        ASSERT_TRUE(AppendUpgradeRecord(r, &error)) << error.toStdString();

    ASSERT_TRUE(ReadUpgradeRecords({}, &read, &error)) << error.toStdString();
    ASSERT_EQ(read.size(), 3);
    for (qsizetype i = 0; i < 3; ++i)
        EXPECT_EQ(Fields(read[i]), Fields(rows[i]));

    // The same rows through norvik-ctl history, with each filter.
    struct Case {
        QStringList args;
        QStringList outcomes;
    };
    const Case cases[] = {
        {{}, {"success", "failure", "interrupted"}},
        {{"--sn", "00000001"}, {"success", "interrupted"}},
        {{"--since", "2026-10-25T01:00:00Z"}, {"failure", "interrupted"}},
        {{"--since", "2026-10-26", "--sn", "00000002"}, {}},
    };
    for (const Case &c : cases) {
        const CtlResult json = Ctl(QStringList{"history", "--json"} + c.args);
        ASSERT_EQ(json.exitCode, 0) << json.describe().toStdString();
        bool ok = false;
        const QJsonArray records = json.onlyObject(&ok)["records"].toArray();
        ASSERT_TRUE(ok) << json.describe().toStdString();
        QStringList outcomes;
        for (const QJsonValue &r : records)
            outcomes << r["outcome"].toString();
        EXPECT_EQ(outcomes, c.outcomes) << c.args.join(' ').toStdString();
    }

    // CSV: the header, then each row with its message quoted as it must be.
    const CtlResult csv = Ctl({"history", "--csv", "--sn", "00000002"});
    EXPECT_EQ(csv.outText(), "started,ended,link,address,id,sn,type_code,version_before,version_after,file,file_sha256,"
                             "lines,resends,kind,outcome,message\n2026-10-25T02:10:00+01:00,2026-10-25T02:11:05+01:00,"
                             "network,10.0.0.7:1001,3,00000002,261,2.5,,/srv/fw/main.hex," + QString(64, 'a') +
                             ",32,2,download,failure,\"line 4, \"\"N\"\"\nthen silence\"\n");

    // Table: one line per row under the header.
    const CtlResult text = Ctl({"history", "--sn", "00000001"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.outText().count('\n'), 3) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains("2026-10-25 02:50:00  1:05")) << text.describe().toStdString();

    for (const QStringList &bad : {QStringList{"history", "--since", "29.03.2026"},
                                   QStringList{"history", "--since", "2026-02-30"},
                                   QStringList{"history", "--json", "--csv"}}) {
        const CtlResult refused = Ctl(bad);
        EXPECT_EQ(refused.exitCode, 2) << refused.describe().toStdString();
    }
}

TEST_F(History, TheFileCarriesItsSchemaAndRefusesWhatItCannotHold)
{
    QString error;
    const UpgradeRecord good = Row(QStringLiteral("00000009"), QDateTime::currentDateTime(), QStringLiteral("success"),
                                   QString());
    // Writers that meet on a new file, each with its own connection, as processes do: none loses its row.
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < 40; ++i)
                failed += AppendUpgradeRecord(good, nullptr) ? 0 : 1;
        });
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(Pragma(QStringLiteral("SELECT count(*) FROM upgrades")), QStringLiteral("160"));
    EXPECT_EQ(Pragma(QStringLiteral("PRAGMA user_version")), QString::number(kUpgradeHistorySchema));
    EXPECT_EQ(Pragma(QStringLiteral("PRAGMA journal_mode")), QStringLiteral("wal"));

    UpgradeRecord unknown = good;
    unknown.outcome = QStringLiteral("maybe");
    EXPECT_FALSE(AppendUpgradeRecord(unknown, &error));

    // A file a newer program laid out is left alone, not written into.
    Pragma(QStringLiteral("PRAGMA user_version = 7"));
    EXPECT_FALSE(AppendUpgradeRecord(good, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("newer"))) << error.toStdString();
    EXPECT_EQ(Pragma(QStringLiteral("SELECT count(*) FROM upgrades")), QStringLiteral("160"));
}

TEST_F(History, TwoDownloadsAtOnceAreBothRecorded)
{
    const QString firmware = SampleFirmware(QStringLiteral(NORVIK_HEXGEN_PATH), m_dir.filePath(QStringLiteral("fw.hex")));
    SimProcess sims[2] = {SimProcess(QStringLiteral(NORVIK_SIM_PATH)), SimProcess(QStringLiteral(NORVIK_SIM_PATH))};
    QProcess ctls[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(sims[i].start({"--udp", "127.0.0.1:0", "--type-code", "261", "--restart-on-end"}))
            << sims[i].errorText().toStdString();
        ctls[i].setStandardInputFile(QProcess::nullDevice());
        ctls[i].start(QStringLiteral(NORVIK_CTL_PATH), {"--host", "127.0.0.1", "--udp-port",
                                                        QString::number(sims[i].udpPort()), "download", firmware, "--yes"});
    }
    for (QProcess &ctl : ctls) {
        ASSERT_TRUE(ctl.waitForFinished(30000));
        EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    }

    QFile image(firmware);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly));
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex());
    const CtlResult r = Ctl({"history", "--json"});
    bool ok = false;
    const QJsonArray records = r.onlyObject(&ok)["records"].toArray();
    ASSERT_TRUE(ok && records.size() == 2) << r.describe().toStdString();
    QSet<QString> addresses;
    for (const QJsonValue &record : records) {
        addresses << record["address"].toString();
        EXPECT_EQ(QStringList({record["outcome"].toString(), record["file"].toString(), record["file_sha256"].toString()}),
                  QStringList({"success", firmware, digest}));
        EXPECT_EQ(record["lines"].toInt(), 32);
    }
    EXPECT_EQ(addresses, QSet<QString>({QStringLiteral("127.0.0.1:%1").arg(sims[0].udpPort()),
                                        QStringLiteral("127.0.0.1:%1").arg(sims[1].udpPort())}));

    // A history that cannot be written is said once and changes nothing else.
    QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    qputenv("XDG_DATA_HOME", blocker.fileName().toLocal8Bit());
    const CtlResult unrecorded = Ctl({"--host", "127.0.0.1", "--udp-port", QString::number(sims[0].udpPort()),
                                      "download", firmware, "--yes"});
    EXPECT_EQ(unrecorded.exitCode, 0) << unrecorded.describe().toStdString();
    EXPECT_EQ(unrecorded.errText().count(QStringLiteral("upgrade history was not written")), 1)
        << unrecorded.describe().toStdString();
}

#if defined(HISTORY_WRITER_PATH)

// Writers started together, each its own process with its own connection;
// every round on a new file, the first use being where they meet hardest.
// Returns the messages of the rows the file holds afterwards.
QSet<QString> WriteAtOnce(int writers, int rows)
{
    const qint64 start = QDateTime::currentMSecsSinceEpoch() + 300;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int w = 0; w < writers; ++w) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(QStringLiteral(HISTORY_WRITER_PATH),
                                {QString::number(w), QString::number(rows), QString::number(start)});
    }
    for (const auto &process : processes) {
        EXPECT_TRUE(process->waitForFinished(60000));
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
    }
    QList<UpgradeRecord> records;
    QString error;
    EXPECT_TRUE(ReadUpgradeRecords({}, &records, &error)) << error.toStdString();
    QSet<QString> messages;
    for (const UpgradeRecord &r : records)
        messages << r.message;
    return messages;
}

TEST_F(History, EightProcessesOnANewFileLoseNoRow)
{
    constexpr int kWriters = 8, kRows = 50;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("round%1").arg(round)).toLocal8Bit());
        EXPECT_EQ(WriteAtOnce(kWriters, kRows).size(), kWriters * kRows);
    }
}

// A file an earlier version wrote gains the kind column in place: its rows
// stay, as downloads, also when several programs open it at once.
TEST_F(History, ASchemaOneFileIsMigratedWithEveryRow)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(UpgradeHistoryPath()).absolutePath()));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("v1"));
        db.setDatabaseName(UpgradeHistoryPath());
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char *sql :
             {"CREATE TABLE upgrades (id INTEGER PRIMARY KEY AUTOINCREMENT, started TEXT NOT NULL, started_utc TEXT NOT "
              "NULL, ended TEXT, link TEXT NOT NULL, address TEXT NOT NULL, controller_id INTEGER, serial_number TEXT NOT "
              "NULL DEFAULT '', type_code TEXT NOT NULL DEFAULT '', version_before TEXT NOT NULL DEFAULT '', "
              "version_after TEXT NOT NULL DEFAULT '', file_name TEXT NOT NULL DEFAULT '', file_sha256 TEXT NOT NULL "
              "DEFAULT '', lines INTEGER NOT NULL DEFAULT 0, resends INTEGER NOT NULL DEFAULT 0, outcome TEXT NOT NULL, "
              "message TEXT NOT NULL DEFAULT '')",
              "INSERT INTO upgrades (started, started_utc, link, address, controller_id, serial_number, outcome, message) "
              "VALUES ('2025-03-01T10:00:00+01:00', '2025-03-01T09:00:00.000Z', 'serial', '/dev/ttyS0', 1, '00000001', "
              "'success', 'old/0'), ('2025-03-02T10:00:00+01:00', '2025-03-02T09:00:00.000Z', 'modem', '/dev/ttyS1', 2, "
              "'00000002', 'failure', 'old/1')",
              "PRAGMA user_version = 1"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << q.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("v1"));

    const QSet<QString> messages = WriteAtOnce(4, 5);
    EXPECT_EQ(messages.size(), 22);
    EXPECT_TRUE(messages.contains(QStringLiteral("old/0")) && messages.contains(QStringLiteral("old/1")));

    UpgradeRecord check;
    check.started = QDateTime::currentDateTime();
    check.link = QStringLiteral("network");
    check.kind = QStringLiteral("verify");
    check.outcome = QStringLiteral("verified");
    QString error;
    ASSERT_TRUE(AppendUpgradeRecord(check, &error)) << error.toStdString();
    const CtlResult csv = Ctl({"history", "--csv", "--sn", "00000002"});
    EXPECT_TRUE(csv.outText().endsWith(",/dev/ttyS1,2,00000002,,,,,,0,0,download,failure,old/1\n")) << csv.describe().toStdString();
    QList<UpgradeRecord> verifications;
    ASSERT_TRUE(ReadUpgradeRecords({{}, {}, QStringLiteral("verify")}, &verifications, &error));
    ASSERT_EQ(verifications.size(), 1);
    EXPECT_EQ(verifications[0].outcome, QStringLiteral("verified"));
}

#endif // HISTORY_WRITER_PATH

#endif

} // namespace
