// Start-up: the command-line arguments, the silent command-line run (in the
// window and as the real program), and running where no display exists.
#include "app/burn.h"
#include "component/Controller.h"
#include "tests/gui/ScriptedController.h"
#include "tests/support/RecordingMessageBoxes.h"

#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <unistd.h>

using norvik::test::Bytes8;
using norvik::test::FakeLink;
using norvik::test::ControllerIdentity;
using norvik::test::HealthyController;
using norvik::test::RecordingMessageBoxes;
using norvik::test::ScriptedController;

namespace {

// The command line cannot choose the port, so a controller listens on the
// default 1001 at a loopback address of this test's own.
QString OwnLoopbackAddress(int offset)
{
    return QStringLiteral("127.0.%1.%2").arg(17 + offset).arg(2 + getpid() % 250);
}

struct RunResult {
    bool finished = false;
    int exitCode = -1;
    qint64 milliseconds = 0;
    QString standardError;
};

RunResult RunBurner(const QStringList &arguments, bool withoutDisplay = false, int limitMs = 15000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (withoutDisplay) {
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
    } else {
        environment.insert("QT_QPA_PLATFORM", "offscreen");
    }
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(NORVIK_BURNER_PATH), arguments);
    RunResult result;
    if (!process.waitForStarted(5000))
        return result;
    result.finished = process.waitForFinished(limitMs);
    result.milliseconds = clock.elapsed();
    if (!result.finished) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.standardError = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

std::vector<std::uint8_t> Addresses(const std::vector<Bytes8> &frames)
{
    std::vector<std::uint8_t> out;
    for (const Bytes8 &f : frames)
        out.push_back(f[1]);
    return out;
}

} // namespace

TEST(BurnStartup, ArgumentsChooseTheIdAndHostAndTheMode)
{
    const QString host = OwnLoopbackAddress(0);
    ScriptedController controller({}, host.toLatin1().constData(), 1001); // silent
    struct Case {
        QStringList arguments;
        bool commandLine;
        QString id;
        QString ip;
    };
    const Case cases[] = {
        {{}, false, "1", ""},
        {{"abc"}, false, "1", ""},
        {{"  12 ", host}, true, "12", host},
        {{"200", host}, true, "1", host},
        {{"abc", host}, true, "1", host},
        {{"$10", host, "ignored"}, true, "16", host},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join('|').toStdString());
        RecordingMessageBoxes boxes;
        TfrmBurn w(QStringList{"norvik-burner"} + c.arguments, &boxes);
        EXPECT_EQ(w.CommandLineMode, c.commandLine);
        EXPECT_EQ(w.TerminateRequested(), c.commandLine);
        EXPECT_EQ(w.cmbControllerID->currentText(), c.id);
        EXPECT_EQ(w.edtIP->text(), c.ip);
        EXPECT_EQ(w.rbTCPIP->isChecked(), c.commandLine);
        EXPECT_EQ(w.dt_date->date(), QDate::currentDate());
        EXPECT_TRUE(boxes.boxes.empty()); // never a box, not even "Controller not found"
        if (c.commandLine) {
            EXPECT_FALSE(w.edtPhone->isEnabled());
            EXPECT_FALSE(w.ComboBox1->isEnabled());
            EXPECT_TRUE(w.edtIP->isEnabled());
            EXPECT_EQ(w.C1->ConnectMethod(), cmTCPIP);
        }
    }
    // Only the command-line runs reached the controller, two info queries each.
    const auto infos = controller.RequestsWithCode(0x42);
    EXPECT_EQ(Addresses(infos), (std::vector<std::uint8_t>{12, 12, 1, 1, 1, 1, 16, 16}));
}

TEST(BurnStartup, CommandLineRunQueriesTwiceSilentlyAndEnds)
{
    const QString host = OwnLoopbackAddress(1);
    ControllerIdentity who;
    who.id = 5;
    ScriptedController controller(HealthyController(who), host.toLatin1().constData(), 1001);
    const RunResult run = RunBurner({"5", host});
    ASSERT_TRUE(run.finished) << "the program did not end by itself";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.milliseconds, 10000);
    const auto requests = controller.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], FakeLink::Frame(5, 0x42, {}));
    EXPECT_EQ(requests[1], FakeLink::Frame(5, 0x28, {}));
    EXPECT_EQ(requests[2], FakeLink::Frame(5, 0x42, {}));
    EXPECT_EQ(requests[3], FakeLink::Frame(5, 0x28, {}));
}

TEST(BurnStartup, CommandLineRunWithoutAnyDisplay)
{
    const QString host = OwnLoopbackAddress(2);
    ScriptedController controller({}, host.toLatin1().constData(), 1001); // silent
    const RunResult run = RunBurner({"abc", host}, true);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Addresses(controller.RequestsWithCode(0x42)), (std::vector<std::uint8_t>{1, 1}));
    // Qt's own options are no arguments of the program: the run is the same
    // with them, and without any a display is still needed.
    const RunResult withOption = RunBurner({"-platform", "offscreen", "abc", host}, true);
    ASSERT_TRUE(withOption.finished);
    EXPECT_EQ(withOption.exitCode, 0);
    EXPECT_EQ(Addresses(controller.RequestsWithCode(0x42)), (std::vector<std::uint8_t>{1, 1, 1, 1}));
    const RunResult interactive = RunBurner({"-style", "fusion"}, true, 5000);
    ASSERT_TRUE(interactive.finished) << "an invisible window nobody can close";
    EXPECT_EQ(interactive.exitCode, 1);
}

TEST(BurnStartup, CommandLineRunWithAnEmptyHostReportsOnStandardErrorOnly)
{
    const RunResult run = RunBurner({"5"});
    ASSERT_TRUE(run.finished) << "a box or an endless wait held the program";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.milliseconds, 10000);
    EXPECT_FALSE(run.standardError.trimmed().isEmpty());
}

TEST(BurnStartup, WithoutACommandLineTheWindowStaysOpen)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NORVIK_BURNER_PATH), {"abc"});
    ASSERT_TRUE(process.waitForStarted(5000));
    EXPECT_FALSE(process.waitForFinished(1500)) << "the interactive program ended by itself";
    process.kill();
    process.waitForFinished(3000);
}
