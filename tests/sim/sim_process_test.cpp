// norvik-sim as a separate process, spoken to over a real UDP socket on
// 127.0.0.1 and a real pseudo-terminal, with raw bytes.
#include "sim/HexGen.h"
#include "tests/support/Pty.h"
#include "tests/support/SimProcess.h"
#include "tests/support/UdpPeer.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <set>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using norvik::test::SimJumpRequest;
using norvik::test::SimProcess;
using norvik::test::SimRequest;

namespace {

// Talks to the simulator's UDP link from a peer socket: one datagram out, the
// first datagram back (empty after the wait).
class Udp {
public:
    explicit Udp(quint16 port) : m_port(port) {}
    QByteArray ask(const QByteArray &bytes, int waitMs = 1000)
    {
        m_peer.SendTo(m_port, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        const std::optional<norvik::test::Datagram> reply = m_peer.Receive(waitMs);
        return reply ? QByteArray(reinterpret_cast<const char *>(reply->bytes.data()),
                                  static_cast<qsizetype>(reply->bytes.size()))
                     : QByteArray();
    }

private:
    norvik::test::UdpPeer m_peer;
    quint16 m_port;
};

class Tty {
public:
    explicit Tty(const QString &path) : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY))
    {
        termios t{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~Tty()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    void write(const QByteArray &bytes) { ASSERT_EQ(::write(m_fd, bytes.constData(), bytes.size()), bytes.size()); }
    // One read: what is there within waitMs.
    QByteArray readOnce(int waitMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0)
            return {};
        char buffer[512];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        return n > 0 ? QByteArray(buffer, n) : QByteArray();
    }
    // Everything until `count` bytes came or waitMs passed without any.
    QByteArray read(int count, int waitMs = 1000)
    {
        QByteArray all;
        while (all.size() < count) {
            const QByteArray chunk = readOnce(waitMs);
            if (chunk.isEmpty())
                break;
            all += chunk;
        }
        return all;
    }

private:
    int m_fd;
};

} // namespace

TEST(SimProcess, UdpDownloadWithTwoControllersAndStateFile)
{
    QTemporaryDir dir;
    const QString statePath = dir.filePath(QStringLiteral("state.json"));
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(sim.start({"--udp", "127.0.0.1:0", "--ids", "1,2", "--version", "2.5", "--trace", "--state", statePath}))
        << sim.errorText().toStdString();
    ASSERT_NE(sim.udpPort(), 0);
    EXPECT_EQ(sim.readyValue(QStringLiteral("ids")), "1,2");
    Udp udp(sim.udpPort());

    EXPECT_EQ(udp.ask(SimRequest(2, 0x42)).size(), 20);
    EXPECT_EQ(udp.ask(SimJumpRequest(1)), SimRequest(1, 0xE0, QByteArray::fromHex("E000")));

    nsim::HexGenOptions o;
    o.start = 0x7740;
    o.records = 3;
    o.typeCode = 0x0203;
    o.version = 0x0307;
    QByteArray text;
    QString error;
    ASSERT_TRUE(nsim::generateHex(o, &text, &error));
    const QList<QByteArray> lines = text.trimmed().split('\n');
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_EQ(udp.ask(lines[i].trimmed() + ';'), i + 1 < lines.size() ? "K" : "Z") << i;
    EXPECT_TRUE(udp.ask(SimRequest(1, 0x42), 200).isEmpty()) << "waits for its power to be switched";

    // SIGUSR1 switches the power: the new image runs. The signal takes its
    // own way into the simulator, so ask until it has arrived.
    sim.powerCycle();
    QByteArray info;
    for (int i = 0; i < 50 && info.isEmpty(); ++i)
        info = udp.ask(SimRequest(1, 0x42), 100);
    ASSERT_EQ(info.size(), 20);
    EXPECT_EQ(info.mid(5, 4).toHex(), "02030307");
    EXPECT_EQ(udp.ask(SimRequest(2, 0x42)).mid(7, 2).toHex(), "0205") << "the other controller keeps its firmware";

    EXPECT_EQ(sim.stop(), 0);
    QFile file(statePath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray controllers = QJsonDocument::fromJson(file.readAll())[QStringLiteral("controllers")].toArray();
    ASSERT_EQ(controllers.size(), 2);
    const QJsonObject first = controllers[0].toObject();
    EXPECT_EQ(first[QStringLiteral("version")].toString(), "3.7");
    EXPECT_EQ(first[QStringLiteral("type_code")].toInt(), 0x0203);
    EXPECT_EQ(first[QStringLiteral("image_size")].toInt(), 3 * 64);
    EXPECT_EQ(first[QStringLiteral("lines_accepted")].toInt(), 4);
    EXPECT_EQ(first[QStringLiteral("bootloader")].toString(), "off");
    EXPECT_EQ(controllers[1].toObject()[QStringLiteral("downloads")].toInt(), 0);

    const QByteArray trace = sim.stderrText();
    EXPECT_TRUE(trace.contains("udp RX 33 01 E0 10 00 11 22")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("udp TX \"K\"")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("udp RX \":00000001ff;\"")) << trace.toStdString();
}

TEST(SimProcess, DropLosesTheGivenShareOfDatagramsAndRepeatsWithItsSeed)
{
    // 40 controllers, one info request to each, all sent before any answer is
    // read: the set of controllers heard from is what the losses left.
    QStringList ids;
    for (int id = 1; id <= 40; ++id)
        ids << QString::number(id);
    // endpoint: which of two endpoints (0 or 1) is asked.
    auto heard = [&](const QString &percent, const QString &seed, QByteArray *trace, int endpoint = 0) {
        SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
        EXPECT_TRUE(sim.start({"--udp", "127.0.0.1:0", "--udp-count", "2", "--ids", ids.join(','), "--drop", percent,
                               "--drop-seed", seed, "--trace"}))
            << sim.errorText().toStdString();
        const QStringList ports = sim.readyLine().split(QLatin1Char(' ')).filter(QStringLiteral("udp="));
        const auto port = static_cast<quint16>(ports.value(endpoint).section(QLatin1Char(':'), -1).toUInt());
        norvik::test::UdpPeer peer;
        for (int id = 1; id <= 40; ++id) {
            const QByteArray request = SimRequest(id, 0x42);
            peer.SendTo(port, std::vector<std::uint8_t>(request.begin(), request.end()));
        }
        std::set<int> answered;
        while (const auto reply = peer.Receive(1000))
            answered.insert(reply->bytes.at(1));
        *trace = sim.stderrText();
        return answered;
    };
    QByteArray trace;
    EXPECT_EQ(heard("0", "1", &trace).size(), 40u);
    EXPECT_TRUE(heard("100", "1", &trace).empty());
    EXPECT_EQ(trace.count("RX 33"), 40) << trace.toStdString();
    EXPECT_EQ(trace.count("(lost (--drop))"), 40) << "each loss is in the trace";
    EXPECT_EQ(trace.count("(to controller"), 0) << "received datagrams are lost too, not only answers";

    const std::set<int> first = heard("25.5", "7", &trace);
    EXPECT_GT(first.size(), 0u);
    EXPECT_LT(first.size(), 40u);
    EXPECT_EQ(trace.count("(lost (--drop))"), 40 - static_cast<qsizetype>(first.size())) << "no other loss";
    EXPECT_LT(trace.count("(to controller"), 40) << "some requests lost";
    EXPECT_GT(trace.count("(to controller"), static_cast<qsizetype>(first.size())) << "some answers lost";
    EXPECT_EQ(heard("25.5", "7", &trace), first) << "the same seed loses the same datagrams";
    EXPECT_NE(heard("25.5", "8", &trace), first) << "another seed, other losses";
    EXPECT_NE(heard("25.5", "7", &trace, 1), first) << "every endpoint draws its own";
    EXPECT_NE(heard("25.5", "6", &trace, 1), first) << "the next endpoint of the seed before, too";
}

TEST(SimProcess, PtyCarriesSplitRepliesAsSeparateWrites)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    const QString path = sim.uniquePtyPath();
    ASSERT_TRUE(sim.start({"--pty", path, "--split-reply", "2", "--split-gap", "80"})) << sim.errorText().toStdString();
    EXPECT_EQ(sim.ptyPath(), path);
    ASSERT_TRUE(QFileInfo(path).isSymLink());
    {
        Tty tty(path);
        ASSERT_TRUE(tty.ok());
        tty.write(SimRequest(1, 0x42));
        const QByteArray first = tty.readOnce(1000);
        EXPECT_EQ(first.size(), 10) << "the first half alone, the second 80 ms later";
        const QByteArray all = first + tty.read(20 - static_cast<int>(first.size()));
        EXPECT_EQ(all.size(), 20);
        EXPECT_EQ(all.left(5).toHex(), "3301420f42");
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(QFileInfo(path).isSymLink()) << "the link is removed on exit";
}

TEST(SimProcess, DeviceServesAnExistingTty)
{
    // A pseudo-terminal made here stands for a serial device: the simulator
    // serves its device side, the test speaks from the other end.
    norvik::test::Pty device;
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(sim.start({"--device", QString::fromStdString(device.DevicePath()), "--id", "9"}))
        << sim.errorText().toStdString();
    device.Write(SimRequest(9, 0x42).toStdString());
    const QByteArray reply = QByteArray::fromStdString(device.Read(20));
    EXPECT_EQ(reply.left(5).toHex(), "3309420f42");
    EXPECT_EQ(reply.size(), 20);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, ModemOverPtyAndUnreadAnswersLostOnClose)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    const QString path = sim.uniquePtyPath();
    ASSERT_TRUE(sim.start({"--pty", path, "--modem", "--modem-delay", "50"})) << sim.errorText().toStdString();
    {
        // Two descriptors, as norvik-ctl holds (a lock and the port), opened
        // apart and closed together: the kernel reports the two closes as one.
        Tty lock(path);
        QThread::msleep(50);
        Tty tty(path);
        ASSERT_TRUE(lock.ok() && tty.ok());
        tty.write("ATDT0123\n\r");
        EXPECT_EQ(tty.read(17), "\r\nCONNECT 19200\r\n");
        tty.write(SimRequest(1, 0x28));
        EXPECT_EQ(tty.read(14).size(), 14);
        tty.write("+++");
        QThread::msleep(50);
        tty.write("ATH0\r");
        EXPECT_EQ(tty.read(6), "\r\nOK\r\n");
        tty.write("ATDT1\n\r"); // the answer comes after the port is closed
    }
    QThread::msleep(200);
    Tty again(path);
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.readOnce(150).isEmpty()) << "nothing stale waits for the next opening";
    again.write("ATDT1\n\r");
    EXPECT_EQ(again.read(17), "\r\nCONNECT 19200\r\n") << "the hang-up on close left the modem ready to dial";
}

TEST(SimProcess, SignalsPowerCycleAndStop)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(sim.start({"--udp", "127.0.0.1:0"})) << sim.errorText().toStdString();
    Udp udp(sim.udpPort());
    EXPECT_EQ(udp.ask(SimJumpRequest(1)).size(), 7);
    EXPECT_TRUE(udp.ask(SimRequest(1, 0x42), 200).isEmpty()) << "the boot loader does not frame";
    sim.powerCycle();
    QThread::msleep(100);
    EXPECT_EQ(udp.ask(SimRequest(1, 0x42)).size(), 20);

    // Idle costs nothing: no CPU time over half a second.
    auto cpuTicks = [&] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(sim.pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1LL;
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
        return fields.value(12).toLongLong() + fields.value(13).toLongLong(); // utime + stime
    };
    const long long before = cpuTicks();
    QThread::msleep(500);
    EXPECT_LE(cpuTicks() - before, 1);
    EXPECT_EQ(sim.stop(), 0) << "SIGTERM is a clean exit";
}

TEST(SimProcess, HelpDocumentsEveryOptionAndBadOptionsExitWithTwo)
{
    QProcess p;
    p.start(QStringLiteral(NORVIK_SIM_PATH), {"--help"});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);
    const QByteArray help = p.readAllStandardOutput();
    for (const char *option :
         {"--udp", "--pty", "--device", "--modem ", "--modem-delay", "--modem-result", "--id ", "--ids", "--sn",
          "--version", "--type-code", "--card-max", "--record-max", "--sort-count", "--unsort-count",
          "--record-count", "--power-cycle-after", "--silent", "--reply-delay", "--wrong-length", "--bad-checksum",
          "--extra-bytes", "--split-reply", "--split-gap", "--fault-command", "--bl-silent-after", "--bl-nak-every",
          "--bl-nak-all", "--bl-ack-lower", "--bl-ack-double", "--bl-end-reply", "--bl-drop-every", "--trace",
          "--state", "--help", "--udp-count", "--silent-endpoints", "--refusing-endpoints", "--restart-on-end",
          "--power-cycle-at", "--drop", "--drop-seed"})
        EXPECT_TRUE(help.contains(option)) << option;

    for (const QStringList &bad : {QStringList{"--udp", "127.0.0.1:0", "--wrong-length", "0"},
                                   QStringList{"--udp", "nonsense"}, QStringList{"--nope"},
                                   QStringList{"--udp", "127.0.0.1:65535", "--udp-count", "2"},
                                   QStringList{"--udp", "127.0.0.1:0", "--udp-count", "3", "--silent-endpoints", "4"}}) {
        p.start(QStringLiteral(NORVIK_SIM_PATH), bad);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("norvik-sim: "));
    }
}
