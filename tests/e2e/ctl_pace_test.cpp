// norvik-ctl downloads exactly as the window does: the same record lines, in
// the same order, one per 100 ms tick. The window's way is the download
// sequence driven in-process through TController, as the window drives it;
// each run feeds its own simulator, and the simulators' traces are compared.
#include "component/Controller.h"
#include "firmware/DownloadSequence.h"
#include "firmware/HexFile.h"
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

struct TracedLine {
    qint64 atMs;
    QString text;
};

// The boot-loader lines a simulator received, with the time of arrival.
QList<TracedLine> ReceivedLines(const QByteArray &trace)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d) \\S+ RX \"(:[^\"]*)\""),
        QRegularExpression::MultilineOption);
    QList<TracedLine> lines;
    auto it = pattern.globalMatch(QString::fromLatin1(trace));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        qint64 ms = ((m.captured(1).toLongLong() * 60 + m.captured(2).toLongLong()) * 60 + m.captured(3).toLongLong()) *
                        1000 +
                    m.captured(4).toLongLong();
        if (!lines.isEmpty() && ms < lines.last().atMs)
            ms += 24LL * 3600 * 1000; // past midnight
        lines << TracedLine{ms, m.captured(5)};
    }
    return lines;
}

double MeanIntervalMs(const QList<TracedLine> &lines)
{
    if (lines.size() < 2)
        return 0;
    return double(lines.last().atMs - lines.first().atMs) / double(lines.size() - 1);
}

QStringList Texts(const QList<TracedLine> &lines)
{
    QStringList texts;
    for (const TracedLine &line : lines)
        texts << line.text;
    return texts;
}

// The window's side of the sequence, reduced to what this comparison needs.
struct QuietSink : norvik::DownloadSink {
    void SetStatus(const QString &) override {}
    void SetProgressRange(int, int) override {}
    void SetProgress(int) override {}
    void ShowResult(norvik::DownloadOutcome, const QString &) override {}
    void ShowError(const QString &) override {}
    void SetInputEnabled(bool) override {}
};

TEST(CtlPace, DownloadSendsTheWindowsLinesAtTheWindowsPace)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString firmware = dir.filePath(QStringLiteral("fw.hex"));
    QString error;
    ASSERT_TRUE(MakeFirmware(QStringLiteral(NORVIK_HEXGEN_PATH), firmware, {QStringLiteral("--start"), QStringLiteral("0x7000")},
                             &error))
        << error.toStdString();

    // What the window's work file holds: every line the boot loader must receive.
    const QString workFile = dir.filePath(QStringLiteral("expected.hex"));
    norvik::ConvertHexFile(firmware, workFile);
    const QStringList expected = norvik::LoadHexLines(workFile);
    ASSERT_EQ(expected.size(), 32);

    const QStringList simArgs{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--trace"),
                              QStringLiteral("--restart-on-end")};

    SimProcess ctlSim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(ctlSim.start(simArgs)) << ctlSim.errorText().toStdString();
    const CtlResult r = RunCtl(QStringLiteral(NORVIK_CTL_PATH),
                               {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--udp-port"),
                                QString::number(ctlSim.udpPort()), QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    ASSERT_EQ(r.exitCode, 0) << r.describe().toStdString();
    const QList<TracedLine> byCtl = ReceivedLines(ctlSim.stderrText());

    SimProcess windowSim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(windowSim.start(simArgs)) << windowSim.errorText().toStdString();
    {
        // The window's settings on the network link: Delay 200, then Connect and the sequence.
        TController controller;
        controller.SetConnectMethod(cmTCPIP);
        controller.SetHost("127.0.0.1");
        controller.SetHostPort(windowSim.udpPort());
        controller.SetReadTimeOut(200);
        controller.SetControllerID(1);
        controller.Connect();
        QuietSink sink;
        norvik::DownloadSequence sequence(&controller, &sink);
        sequence.SetWorkFile(dir.filePath(QStringLiteral("temp.hex")));
        QSignalSpy finished(&sequence, &norvik::DownloadSequence::finished);
        sequence.Start(firmware);
        ASSERT_TRUE(finished.wait(30000));
        ASSERT_EQ(finished.first().first().value<norvik::DownloadOutcome>(), norvik::DownloadOutcome::Success);
    }
    const QList<TracedLine> byWindow = ReceivedLines(windowSim.stderrText());

    EXPECT_EQ(Texts(byCtl), expected);
    EXPECT_EQ(Texts(byWindow), expected);

    // One line per 100 ms tick; the design allows 5 % over that floor, and a
    // busy two-core machine gets a little more here.
    const double ctlPace = MeanIntervalMs(byCtl);
    const double windowPace = MeanIntervalMs(byWindow);
    std::printf("pace: norvik-ctl %.1f ms per line, window sequence %.1f ms per line\n", ctlPace, windowPace);
    EXPECT_GE(ctlPace, 97.0);
    EXPECT_LE(ctlPace, 115.0);
    EXPECT_LE(qAbs(ctlPace - windowPace), 10.0);
}

#endif

} // namespace
