// The upgrade history: rows written in this process and by norvik-ctl
// downloads (two at once, against two simulators), read back with
// norvik-ctl history as JSON and CSV; the file's schema; a row or a file that
// must be refused; and a history that cannot be written never failing a download.
#include "firmware/UpgradeHistory.h"
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
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
                             "lines,resends,outcome,message\n2026-10-25T02:10:00+01:00,2026-10-25T02:11:05+01:00,network,"
                             "10.0.0.7:1001,3,00000002,261,2.5,,/srv/fw/main.hex," + QString(64, 'a') +
                             ",32,2,failure,\"line 4, \"\"N\"\"\nthen silence\"\n");

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
        ASSERT_TRUE(sims[i].start({"--udp", "127.0.0.1:0", "--restart-on-end"})) << sims[i].errorText().toStdString();
        ctls[i].setStandardInputFile(QProcess::nullDevice());
        ctls[i].start(QStringLiteral(NORVIK_CTL_PATH), {"--host", "127.0.0.1", "--udp-port",
                                                        QString::number(sims[i].udpPort()), "download", firmware, "--yes"});
    }
    for (QProcess &ctl : ctls) {
        ASSERT_TRUE(ctl.waitForFinished(30000));
        EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    }

    const CtlResult r = Ctl({"history", "--json"});
    bool ok = false;
    const QJsonArray records = r.onlyObject(&ok)["records"].toArray();
    ASSERT_TRUE(ok && records.size() == 2) << r.describe().toStdString();
    QSet<QString> addresses;
    for (const QJsonValue &record : records) {
        addresses << record["address"].toString();
        EXPECT_EQ(QStringList({record["outcome"].toString(), record["file"].toString(), record["file_sha256"].toString()}),
                  QStringList({"success", firmware, FileSha256(firmware)}));
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

#endif

} // namespace
