// The faults a controller or a line can show on site, against every link and
// the commands installers use: norvik-ctl must end with the right exit code and
// a message, within its bounds, with the link closed (a modem hung up) and no
// work file left behind. Each link prints its table: fault, command, outcome, time.
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

enum class Link { Udp, Serial, Modem };
enum Command { Info, WriteSn, SetClock, Download, kCommands };

const char *const kCommandNames[kCommands] = {"info", "write-sn", "set-clock", "download"};
// Every simulator here: a trace to check, and a controller that restarts by
// itself after a download so that the next command finds it running.
const QStringList kSimOptions{QStringLiteral("--trace"), QStringLiteral("--restart-on-end")};
// Where the outcome depends on how far a download got when the line went: any failure, said.
constexpr int kAnyFailure = -2;

// What each command must end with under a fault; -1: the fault does not apply to the link.
struct Fault {
    const char *name;
    QStringList simOptions;
    int udp[kCommands];
    int serial[kCommands]; // the modem link carries the serial protocol: the same codes
};

// Info and the clock do not look at a reply's checksum; the read-back of an SN
// does. A reply cut into pieces is one frame on a serial line but three
// datagrams on the network, where one datagram is one frame.
const Fault kFaults[] = {
    {"none", {}, {0, 0, 0, 0}, {0, 0, 0, 0}},
    {"silent", {QStringLiteral("--silent")}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    // Later than the longest wait of the serial link (20 attempts of 50 + 20 ms) and the network's.
    {"late", {QStringLiteral("--reply-delay"), QStringLiteral("3000")}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    {"short", {QStringLiteral("--wrong-length"), QStringLiteral("-1")}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    {"long", {QStringLiteral("--wrong-length"), QStringLiteral("1")}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    {"corrupt", {QStringLiteral("--bad-checksum")}, {0, 1, 0, 0}, {0, 1, 0, 0}},
    {"split", {QStringLiteral("--split-reply"), QStringLiteral("3")}, {1, 1, 1, 1}, {0, 0, 0, 0}},
    {"extra bytes", {QStringLiteral("--extra-bytes"), QStringLiteral("2")}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    // Larger than any frame: the network link refuses the datagram as a socket fault.
    {"oversize datagram", {QStringLiteral("--extra-bytes"), QStringLiteral("300")}, {3, 3, 3, 3}, {-1, -1, -1, -1}},
};

struct Row {
    QString fault;
    QString command;
    int exitCode;
    qint64 ms;
};

class FaultMatrix : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // Work files of norvik-ctl go below TMPDIR: a private one shows what is left behind.
        m_tmp = m_dir.filePath(QStringLiteral("tmp"));
        ASSERT_TRUE(QDir().mkpath(m_tmp));
        m_firmware = SampleFirmware(QStringLiteral(NORVIK_HEXGEN_PATH), m_dir.filePath(QStringLiteral("fw.hex")),
                                    QStringLiteral("0x7700"));
    }
    void TearDown() override { PrintTable(); }

    // norvik-ctl with its own TMPDIR, and (on a serial port) only once the
    // simulator has seen the previous run close the port, as a device would.
    CtlResult Run(Link link, const SimProcess &sim, const QStringList &args)
    {
        // The simulator sees a host close the port a moment after it happens; a
        // port opened again before that would have its dial taken for the old call.
        const auto closeSeen = [&sim] {
            const QByteArray trace = sim.stderrText();
            return trace.lastIndexOf("host closed the port") > trace.lastIndexOf(" RX ");
        };
        if (link != Link::Udp && sim.stderrText().contains(" RX ")) {
            for (int i = 0; i < 300 && !closeSeen(); ++i)
                QThread::msleep(10);
        }
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", m_tmp.toLocal8Bit());
        const CtlResult r = RunCtl(QStringLiteral(NORVIK_CTL_PATH), args, 60000);
        qputenv("TMPDIR", oldTmp);
        return r;
    }

    // Controllers of the sample firmware's type, so that only the fault
    // decides the outcome.
    QStringList SimLink(Link link, SimProcess &sim)
    {
        const QStringList kind{QStringLiteral("--type-code"), QStringLiteral("261")};
        if (link == Link::Udp)
            return kind + QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0")};
        m_port = sim.uniquePtyPath();
        QStringList args = kind + QStringList{QStringLiteral("--pty"), m_port};
        if (link == Link::Modem)
            args << QStringLiteral("--modem") << QStringLiteral("--modem-delay") << QStringLiteral("50");
        return args;
    }
    QStringList CtlLink(Link link, const SimProcess &sim, quint16 closedPort = 0) const
    {
        if (link == Link::Udp)
            return {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--udp-port"),
                    QString::number(closedPort ? closedPort : sim.udpPort())};
        QStringList args{QStringLiteral("--port"), m_port};
        if (link == Link::Modem)
            args << QStringLiteral("--phone") << QStringLiteral("5551234") << QStringLiteral("--dial-timeout")
                 << QStringLiteral("20000");
        return args;
    }
    static QStringList CommandArgs(int command, const QString &firmware)
    {
        switch (command) {
        case Info:
            return {QStringLiteral("info")};
        case WriteSn:
            return {QStringLiteral("write-sn"), QStringLiteral("00000001")};
        case SetClock:
            return {QStringLiteral("set-clock"), QStringLiteral("--time"), QStringLiteral("2030-06-01 12:00:00")};
        default:
            return {QStringLiteral("download"), firmware, QStringLiteral("--yes")};
        }
    }

    // One run of norvik-ctl and every check that holds whatever the fault.
    void Check(const QString &fault, int command, const CtlResult &r, int expected, Link link)
    {
        const std::string what = (fault + QStringLiteral(" / ") + QLatin1String(kCommandNames[command])).toStdString();
        m_rows.push_back({fault, QLatin1String(kCommandNames[command]), r.finished ? r.exitCode : -1, r.elapsedMs});
        EXPECT_TRUE(r.finished) << what << "\n" << r.describe().toStdString();
        if (expected == kAnyFailure) {
            EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 3) << what << "\n" << r.describe().toStdString();
        } else {
            EXPECT_EQ(r.exitCode, expected) << what << "\n" << r.describe().toStdString();
        }
        if (r.exitCode != 0) {
            EXPECT_FALSE((r.outText() + r.errText()).trimmed().isEmpty()) << what << ": no message";
        }
        // The slowest way out is a download whose lines go unanswered: 20 ticks of 100 ms each.
        // A modem adds its dial (bounded by --dial-timeout) and the hang-up's guard times.
        EXPECT_LT(r.elapsedMs, link == Link::Modem ? 40000 : 15000) << what;
        EXPECT_TRUE(QDir(m_tmp).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            << what << ": a work file was left behind";
    }

    // The faults first to last of the table on one link: one simulator per
    // fault, and on the modem one per call, so that each dial meets a modem
    // that has seen no other call.
    void RunTable(Link link, std::size_t first = 0, std::size_t last = std::size(kFaults) - 1)
    {
        for (std::size_t i = first; i <= last; ++i) {
            const Fault &fault = kFaults[i];
            const int *expected = link == Link::Udp ? fault.udp : fault.serial;
            if (expected[0] < 0)
                continue;
            std::unique_ptr<SimProcess> sim;
            for (int command = 0; command < kCommands; ++command) {
                // A call costs seconds of dialing and hanging up: the modem runs one framed
                // command and the boot loader's exchange.
                if (link == Link::Modem && command != Info && command != Download)
                    continue;
                if (!sim || link == Link::Modem) {
                    sim = std::make_unique<SimProcess>(QStringLiteral(NORVIK_SIM_PATH));
                    ASSERT_TRUE(sim->start(SimLink(link, *sim) + kSimOptions + fault.simOptions))
                        << sim->errorText().toStdString();
                }
                Check(QLatin1String(fault.name), command,
                      Run(link, *sim, CtlLink(link, *sim) + CommandArgs(command, m_firmware)), expected[command], link);
                if (link == Link::Modem)
                    ExpectEveryCallEnded(*sim, QLatin1String(fault.name));
            }
        }
    }

    // Each dial of the modem ends with the host hanging up or dropping DTR.
    static void ExpectEveryCallEnded(const SimProcess &sim, const QString &fault)
    {
        const auto count = [&sim](std::initializer_list<const char *> notes) {
            const QByteArray trace = sim.stderrText();
            int n = 0;
            for (const char *note : notes)
                n += static_cast<int>(trace.count(note));
            return n;
        };
        const int dials = count({"-- dialing "});
        // A call dropped with DTR shows once the simulator has seen the port close.
        for (int i = 0; i < 300 && count({"-- hung up", "-- port closed: DTR dropped", "-- carrier lost"}) < dials; ++i)
            QThread::msleep(10);
        EXPECT_GT(dials, 0) << fault.toStdString();
        EXPECT_GE(count({"-- hung up", "-- port closed: DTR dropped", "-- carrier lost"}), dials)
            << fault.toStdString() << ": a call was left open\n" << sim.stderrText().toStdString();
    }

    // The device goes away while a download runs: the controller's simulator ends.
    CtlResult DownloadWhileThePortCloses(Link link)
    {
        SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
        EXPECT_TRUE(sim.start(SimLink(link, sim) + kSimOptions));
        QProcess ctl;
        ctl.setProgram(QStringLiteral(NORVIK_CTL_PATH));
        ctl.setArguments(CtlLink(link, sim) + CommandArgs(Download, m_firmware));
        ctl.setStandardInputFile(QProcess::nullDevice());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), m_tmp);
        ctl.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        ctl.start();
        // Pull the plug once the boot loader has taken its first line.
        for (int i = 0; i < 200 && !sim.stderrText().contains("line 1: accepted"); ++i)
            QThread::msleep(10);
        sim.stop();
        CtlResult r;
        r.finished = ctl.waitForFinished(60000);
        r.exitCode = ctl.exitStatus() == QProcess::NormalExit ? ctl.exitCode() : -1;
        r.out = ctl.readAllStandardOutput();
        r.err = ctl.readAllStandardError();
        r.elapsedMs = clock.elapsed();
        if (!r.finished)
            ctl.kill();
        return r;
    }

    void PrintTable() const
    {
        std::printf("\n%-20s %-10s %6s %8s\n", "fault", "command", "exit", "ms");
        for (const Row &row : m_rows)
            std::printf("%-20s %-10s %6d %8lld\n", qPrintable(row.fault), qPrintable(row.command), row.exitCode,
                        static_cast<long long>(row.ms));
        std::fflush(stdout);
    }

    QTemporaryDir m_dir;
    QString m_tmp;
    QString m_firmware;
    QString m_port;
    std::vector<Row> m_rows;
};

TEST_F(FaultMatrix, Network)
{
    RunTable(Link::Udp);

    // Nobody listens at the port: the system's refusal is no answer, not a crash.
    SimProcess none(QStringLiteral(NORVIK_SIM_PATH));
    const quint16 closedPort = [] {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        return probe.localPort();
    }();
    for (int command = 0; command < kCommands; ++command) {
        Check(QStringLiteral("ICMP refused"), command,
              Run(Link::Udp, none, CtlLink(Link::Udp, none, closedPort) + CommandArgs(command, m_firmware)), 1,
              Link::Udp);
    }
}

TEST_F(FaultMatrix, Serial)
{
    RunTable(Link::Serial);
    Check(QStringLiteral("pty closed"), Download, DownloadWhileThePortCloses(Link::Serial), kAnyFailure, Link::Serial);
}

// A call costs seconds of dialing and hanging up: the modem's table is run in two halves.
TEST_F(FaultMatrix, ModemRepliesLostOrCut)
{
    RunTable(Link::Modem, 0, 4);
}

TEST_F(FaultMatrix, ModemRepliesMangledAndLineLost)
{
    RunTable(Link::Modem, 5);

    // The carrier drops at the first byte of a request, or in the middle of the
    // first record line of a download.
    for (const auto &[command, after] : {std::pair{Info, "0"}, std::pair{Download, "100"}}) {
        SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
        ASSERT_TRUE(sim.start(SimLink(Link::Modem, sim) + kSimOptions +
                              QStringList{QStringLiteral("--modem-drop-after"), QLatin1String(after)}));
        Check(QStringLiteral("carrier lost"), command,
              Run(Link::Modem, sim, CtlLink(Link::Modem, sim) + CommandArgs(command, m_firmware)), 1, Link::Modem);
        ExpectEveryCallEnded(sim, QStringLiteral("carrier lost"));
    }

    Check(QStringLiteral("pty closed"), Download, DownloadWhileThePortCloses(Link::Modem), kAnyFailure, Link::Modem);
}

#endif

} // namespace
