#pragma once
// Runs norvik-sim as a separate process for end-to-end tests.
//
//   norvik::test::SimProcess sim(NORVIK_SIM_PATH);
//   ASSERT_TRUE(sim.start({"--udp", "127.0.0.1:0", "--ids", "1,2"})) << sim.errorText();
//   ... talk to 127.0.0.1:sim.udpPort() ...
//   EXPECT_EQ(sim.stop(), 0);
//
// start() launches the program with the given options and returns once the
// simulator has printed its "ready" line (it listens from then on), or false
// when it exited or did not become ready within the time-out; errorText() says
// why. The ready line tells what it serves, e.g.
//   ready udp=127.0.0.1:40001 pty=/tmp/x modem ids=1,2
// and udpPort() / ptyPath() give those values (handy with "--udp 127.0.0.1:0",
// which lets the system choose a free port).
//
// For a serial test pass "--pty", SimProcess::uniquePtyPath(): the simulator
// creates a pseudo-terminal and a symbolic link at that path; open the path as
// the serial port. The simulator removes the link when it stops.
//
// The simulator's stderr (its --trace output) goes to a file so that a chatty
// trace can never block it; stderrText() reads what is there so far.
//
// stop() sends SIGTERM, waits for the exit and returns the exit status (-1 when
// it crashed or had to be killed). The destructor stops a running simulator.
// powerCycle() sends SIGUSR1: the power of every simulated controller is switched
// off and on (in the middle of a download the old image stays, after its end the
// new one runs). It arrives in the simulator's own time: ask until it answers.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace norvik::test {

class SimProcess {
public:
    // program: the norvik-sim executable, normally NORVIK_SIM_PATH.
    explicit SimProcess(QString program);
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    bool start(const QStringList &args, int timeoutMs = 10000);
    int stop(int timeoutMs = 5000);
    bool running() const;
    void powerCycle();
    qint64 pid() const { return m_process ? m_process->processId() : 0; }

    QString readyLine() const { return m_readyLine; }
    // Value of "key=value" on the ready line, empty when absent.
    QString readyValue(const QString &key) const;
    quint16 udpPort() const;
    QString ptyPath() const { return readyValue(QStringLiteral("pty")); }

    QByteArray stderrText() const;
    QString errorText() const { return m_error; }

    // A fresh path in a private temporary folder, for --pty; its base name is
    // unique too, since serial ports are locked by base name.
    QString uniquePtyPath();

private:
    QString m_program;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_stderrPath;
    QString m_readyLine;
    QString m_error;
    int m_ptyCount = 0;
};

// A request frame as a host sends it: 0x33, address, code, n, data, checksum.
// Written out here rather than borrowed from the simulator or the engine, so
// that a framing mistake on either side shows.
QByteArray SimRequest(int address, int code, const QByteArray &data = {});
// The jump-to-boot-loader request with its 16 key bytes 00, 11, ... FF.
QByteArray SimJumpRequest(int address);

} // namespace norvik::test
