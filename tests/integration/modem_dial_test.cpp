// The modem link against a scripted modem on a pseudo-terminal: the dial
// command, recognising result texts, the dial time-out and the hang-up.
// Pauses go through the recording sleeper; ticks are driven directly except
// where the timer itself is under test.
#include "component/MODEM.h"
#include "services/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingSleeper.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

using norvik::test::Pty;
using norvik::test::RecordingSleeper;

namespace {

struct ModemLink : ::testing::Test {
    Pty pty;
    TMODEM modem;
    RecordingSleeper sleeper;
    void SetUp() override
    {
        modem.SetCOM(pty.DevicePath());
        ASSERT_TRUE(modem.Connect()) << modem.LastError();
    }
    // Dials and takes the command off the line.
    void dial(const std::string &number = "5551234")
    {
        modem.Dial(number);
        pty.Read(4 + number.size() + 2, 500);
    }
};

// At each pause: its length, what had reached the modem by then, and the dial
// status; so the order of pauses, writes and status changes shows.
struct Step {
    int ms;
    std::string sent;
    TDialupStatus status;
    bool operator==(const Step &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Step &step)
{
    return out << "{" << step.ms << ", \"" << step.sent << "\", " << int(step.status) << "}";
}

class StepRecorder {
public:
    StepRecorder(Pty &pty, const TMODEM &modem)
        : m_guard([this, &pty, &modem](int ms) { steps.push_back({ms, pty.ReadUntilQuiet(20, 300), modem.DialupStatus()}); })
    {
    }
    std::vector<Step> steps;

private:
    norvik::ScopedSleeper m_guard;
};

} // namespace

TEST_F(ModemLink, DialSendsTheCommandExactlyAndStartsPolling)
{
    {
        // The settling pause comes before anything is sent.
        StepRecorder recorder(pty, modem);
        modem.Dial("0,123-45 67");
        EXPECT_EQ(recorder.steps, (std::vector<Step>{{2000, "", usOK}}));
    }
    EXPECT_EQ(pty.ReadUntilQuiet(50, 1000), "ATDT0,123-45 67\n\r");
    EXPECT_EQ(modem.DialupStatus(), usConnecting);
    EXPECT_TRUE(modem.DialTimer().isActive());
    EXPECT_EQ(modem.DialTimer().interval(), 1000);

    // A second dial while connecting sends nothing but restarts the count,
    // after the same pause.
    modem.PollModemReply();
    modem.PollModemReply();
    EXPECT_EQ(modem.DialElapsed(), 2000u);
    modem.Dial("999");
    EXPECT_EQ(pty.ReadUntilQuiet(50, 200), "");
    EXPECT_EQ(sleeper.pauses, std::vector<int>{2000});
    EXPECT_EQ(modem.DialElapsed(), 0u);
    EXPECT_EQ(modem.DialupStatus(), usConnecting);

    // Nor while connected.
    pty.Write("\r\nCONNECT 19200\r\n");
    modem.PollModemReply();
    ASSERT_EQ(modem.DialupStatus(), usConnected);
    modem.Dial("999");
    EXPECT_EQ(pty.ReadUntilQuiet(50, 200), "");
    EXPECT_EQ(modem.DialupStatus(), usConnected);
}

TEST_F(ModemLink, OnlyExactResultTextsAreRecognised)
{
    dial();
    // Texts that are not an exact answer leave the dial going.
    for (const char *text : {"\r\nconnect 19200\r\n", "\r\nCONNECT 19200/ARQ\r\n", "\r\nCONNECT 9600\r\n",
                             "\r\nCONNECT\r\n", "ATDT5551234\r"}) {
        pty.Write(text);
        modem.PollModemReply();
        EXPECT_EQ(modem.DialupStatus(), usConnecting) << text;
        EXPECT_TRUE(modem.DialTimer().isActive()) << text;
    }
    // Surrounded by CR LF and blanks, the answer is recognised and ends the polling.
    pty.Write("\r\n CONNECT 19200 \r\n");
    modem.PollModemReply();
    EXPECT_EQ(modem.DialupStatus(), usConnected);
    EXPECT_FALSE(modem.DialTimer().isActive());

    // Every final answer stops the timer with its own status, and stays until
    // the next dial.
    const std::pair<const char *, TDialupStatus> answers[] = {
        {"OK", usOK},         {"BUSY", usBusy},   {"RING", usRing},
        {"NO CARRIER", usNoCarrier}, {"NO ANSWER", usNoAnswer}, {"ERROR", usError},
        {"NO DIALTONE", usNoDialTone},
    };
    for (const auto &[text, status] : answers) {
        modem.Disconnect();
        ASSERT_TRUE(modem.Connect());
        pty.ReadUntilQuiet(20, 200);
        dial();
        pty.Write(std::string("\r\n") + text + "\r\n");
        modem.PollModemReply();
        EXPECT_EQ(modem.DialupStatus(), status) << text;
        EXPECT_FALSE(modem.DialTimer().isActive()) << text;
        modem.PollModemReply(); // a stray tick changes nothing
        EXPECT_EQ(modem.DialupStatus(), status) << text;
    }
}

TEST_F(ModemLink, SilenceRunsIntoTheDialTimeOut)
{
    modem.SetDialTimeOut(3000);
    dial();
    modem.PollModemReply();
    modem.PollModemReply();
    EXPECT_EQ(modem.DialupStatus(), usConnecting);
    EXPECT_TRUE(modem.DialTimer().isActive());
    modem.PollModemReply();
    EXPECT_EQ(modem.DialElapsed(), 3000u);
    EXPECT_EQ(modem.DialupStatus(), usTimeOut);
    EXPECT_FALSE(modem.DialTimer().isActive());

    // A new dial is allowed after a time-out.
    modem.Dial("1");
    EXPECT_EQ(pty.ReadUntilQuiet(50, 500), "ATDT1\n\r");
    EXPECT_EQ(modem.DialupStatus(), usConnecting);

    // The time-out is an unsigned count: one beyond the signed range is long, not past.
    modem.SetDialTimeOut(0x80000000u);
    modem.PollModemReply();
    EXPECT_EQ(modem.DialupStatus(), usConnecting);
    EXPECT_TRUE(modem.DialTimer().isActive());
}

TEST_F(ModemLink, TimerTicksDriveTheDial)
{
    modem.SetDialTimeOut(2000);
    dial();
    QSignalSpy ticks(&modem.DialTimer(), &QTimer::timeout);
    // Two real ticks of silence: the dial times out and the timer stops.
    EXPECT_TRUE(QTest::qWaitFor([&] { return modem.DialupStatus() != usConnecting; }, 3500));
    EXPECT_EQ(modem.DialupStatus(), usTimeOut);
    EXPECT_EQ(ticks.count(), 2);
    QTest::qWait(1300);
    EXPECT_EQ(ticks.count(), 2);

    modem.SetDialTimeOut(60000);
    dial();
    pty.Play({{300, "\r\nCONNECT 19200\r\n"}});
    EXPECT_TRUE(QTest::qWaitFor([&] { return modem.DialupStatus() == usConnected; }, 2500));
    pty.Wait();
}

TEST_F(ModemLink, DisconnectEscapesHangsUpAndCloses)
{
    dial();
    pty.Write("\r\nCONNECT 19200\r\n");
    modem.PollModemReply();
    {
        // A second of silence before the escape, two before the hang-up, one
        // after it; only then is the dial state reset.
        StepRecorder recorder(pty, modem);
        modem.Disconnect();
        EXPECT_EQ(recorder.steps, (std::vector<Step>{{1000, "", usConnected},
                                                      {2000, "+++", usConnected},
                                                      {1000, "ATH0\r", usConnected}}));
    }
    EXPECT_EQ(pty.ReadUntilQuiet(50, 300), "");
    EXPECT_EQ(modem.DialupStatus(), usOK);
    EXPECT_FALSE(modem.Connected());
    EXPECT_FALSE(modem.SerialPort().Connected());
    EXPECT_FALSE(modem.DialTimer().isActive());
}

TEST(ModemSetup, HardwareFlowAndAHarmlessFirstDisconnect)
{
    RecordingSleeper sleeper;
    TMODEM modem;
    EXPECT_EQ(modem.DialTimeOut(), 60000u);
    EXPECT_EQ(modem.DialupStatus(), usOK);
    EXPECT_FALSE(modem.DialTimer().isActive());
    EXPECT_EQ(modem.SerialPort().FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(modem.SerialPort().FlowControl().ControlDTR(), dtrDisable);

    // Right after construction: the escape and hang-up go to a closed port,
    // the pauses still happen, the status is idle.
    modem.Disconnect();
    EXPECT_EQ(sleeper.pauses, (std::vector<int>{1000, 2000, 1000}));
    EXPECT_EQ(modem.DialupStatus(), usOK);

    // On a terminal the handshake is set but cannot hold writes back.
    Pty pty;
    modem.SetCOM(pty.DevicePath());
    ASSERT_TRUE(modem.Connect());
    EXPECT_TRUE(pty.LineSettings().c_cflag & CRTSCTS);
    modem.Dial("1");
    EXPECT_EQ(pty.ReadUntilQuiet(50, 1000), "ATDT1\n\r");
}
