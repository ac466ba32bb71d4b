#pragma once
// Runs norvik-ctl as a separate process for end-to-end tests.
//
//   const auto r = norvik::test::RunCtl(NORVIK_CTL_PATH, {"--host", "127.0.0.1", "info"});
//   EXPECT_EQ(r.exitCode, 0) << r.describe();
//
// stdin is closed (never a terminal), stdout and stderr are kept apart.
//
// CtlAgainstSim is the fixture of the tests that run norvik-ctl against a
// norvik-sim process: a derived fixture names the link on both sides.
#include "tests/support/SimProcess.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace norvik::test {

struct CtlResult {
    bool finished = false; // false: still running at the time-out (then killed)
    int exitCode = -1;     // -1 also when it crashed
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;

    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
    // Every stdout line parsed as a JSON object; a line that is not one fails the parse (empty list).
    QList<QJsonObject> jsonLines(bool *ok = nullptr) const;
    // The command's one JSON object; *ok is false unless stdout holds exactly one.
    QJsonObject onlyObject(bool *ok) const;
    // For assertion messages.
    QString describe() const;
};

CtlResult RunCtl(const QString &program, const QStringList &args, int timeoutMs = 30000);

// Writes a sample firmware file at path by running norvik-hexgen (program) with
// the options; false, with the reason in *error, when that fails.
bool MakeFirmware(const QString &program, const QString &path, const QStringList &options, QString *error);
// The sample firmware file the tests download: type code 261, version 2.10,
// 64-byte records from start to 0x7800, written at path (a test failure if not).
QString SampleFirmware(const QString &hexgen, const QString &path, const QString &start = QStringLiteral("0x7000"));

class CtlAgainstSim : public ::testing::Test {
protected:
    CtlAgainstSim(QString ctl, QString sim, QString hexgen);
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    // How the simulator serves the link, and how norvik-ctl reaches it once the
    // simulator is ready.
    virtual QStringList SimLink() = 0;
    virtual QStringList CtlLink() const = 0;

    // The simulator with its link, --trace (read back with m_sim.stderrText())
    // and the extra options. Its controllers are of the sample firmware's type
    // (261) and restart by themselves after the end of file, unless
    // `awaitPower`: then they wait in their boot loader for the power switch.
    void StartSim(const QStringList &extra = {}, bool awaitPower = false);
    CtlResult Ctl(const QStringList &args, int timeoutMs = 60000) const;
    // SampleFirmware in this test's folder.
    QString Firmware(const QString &start = QStringLiteral("0x7000"));

    QString m_ctl;
    QString m_hexgen;
    QTemporaryDir m_dir;
    SimProcess m_sim;
};

// The simulator on UDP loopback (any free port), norvik-ctl pointed at it.
class CtlAgainstUdpSim : public CtlAgainstSim {
protected:
    using CtlAgainstSim::CtlAgainstSim;
    QStringList SimLink() override;
    QStringList CtlLink() const override;
};

} // namespace norvik::test
