// The download's tick rules, driven through the network link against a
// scripted boot loader on a real UDP socket on 127.0.0.1. The boot loader runs
// on its own thread, because the link's waits block the test's thread.
#include "component/Controller.h"
#include "firmware/DownloadSequence.h"
#include "tests/support/FakeLink.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace norvik;

namespace {

const QString kSuccessText = QStringLiteral("Download Successful, Please reboot controller and then reset.");

// What a boot loader answers to one record line: each reply is one datagram,
// sent after its delay.
struct Reply {
    QByteArray data;
    int delayMs = 0;
};
using Script = std::function<QList<Reply>(const QByteArray &line, int timesSeen)>;

// The controller side: answers the jump-to-boot-loader frame, then records
// every line and answers it as the script says.
class BootPeer {
public:
    enum class Jump { Ack, Refuse, Ignore };
    struct Received {
        QByteArray data;
        qint64 atMs;
    };

    BootPeer(Jump jump, Script script) : m_jump(jump), m_script(std::move(script))
    {
        std::promise<quint16> port;
        std::future<quint16> bound = port.get_future();
        m_clock.start();
        m_thread = std::thread([this, &port] { Run(port); });
        m_port = bound.get();
    }

    ~BootPeer()
    {
        m_stop = true;
        m_thread.join();
    }

    quint16 Port() const { return m_port; }
    int JumpFrames() const { return m_jumpFrames; }
    // The clock that stamps Received::atMs.
    qint64 Now() const { return m_clock.elapsed(); }

    QList<Received> Lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // The lines once `expected` have come in (or the bound has passed).
    QList<Received> LinesWhenSettled(int expected) const
    {
        (void)QTest::qWaitFor([&] { return Lines().size() >= expected; }, 1000);
        return Lines();
    }
    QList<QByteArray> LineTexts() const
    {
        QList<QByteArray> texts;
        for (const Received &r : Lines())
            texts.append(r.data);
        return texts;
    }

private:
    struct Scheduled {
        qint64 dueMs;
        QByteArray data;
        QHostAddress to;
        quint16 port;
    };

    void Run(std::promise<quint16> &port)
    {
        QUdpSocket socket;
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        port.set_value(socket.localPort());
        QList<Scheduled> scheduled;
        QHash<QByteArray, int> seen;
        while (!m_stop) {
            for (qsizetype i = 0; i < scheduled.size();) {
                if (scheduled[i].dueMs <= m_clock.elapsed()) {
                    socket.writeDatagram(scheduled[i].data, scheduled[i].to, scheduled[i].port);
                    scheduled.removeAt(i);
                } else {
                    ++i;
                }
            }
            if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(2))
                continue;
            while (socket.hasPendingDatagrams()) {
                QByteArray data(socket.pendingDatagramSize(), '\0');
                QHostAddress from;
                quint16 fromPort = 0;
                socket.readDatagram(data.data(), data.size(), &from, &fromPort);
                const qint64 now = m_clock.elapsed();
                if (data.size() == 21 && quint8(data[0]) == 0x33 && quint8(data[2]) == 0xE0) {
                    ++m_jumpFrames;
                    if (m_jump == Jump::Ignore)
                        continue;
                    const auto ack = test::FakeLink::Ack(quint8(data[1]), 0xE0, m_jump == Jump::Ack ? 0 : 1);
                    socket.writeDatagram(reinterpret_cast<const char *>(ack.data()), qint64(ack.size()), from,
                                         fromPort);
                    continue;
                }
                {
                    std::lock_guard lock(m_mutex);
                    m_lines.append({data, now});
                }
                for (const Reply &reply : m_script(data, seen[data]++))
                    scheduled.append({now + reply.delayMs, reply.data, from, fromPort});
            }
        }
    }

    Jump m_jump;
    Script m_script;
    QElapsedTimer m_clock;
    std::thread m_thread;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_jumpFrames{0};
    mutable std::mutex m_mutex;
    QList<Received> m_lines;
};

// Acknowledges every line and ends the download at the end record.
QList<Reply> AckAll(const QByteArray &line, int)
{
    return {{line.startsWith(":00000001") ? "Z" : "K"}};
}

struct RecordingSink : DownloadSink {
    QStringList statuses;
    QList<std::pair<int, int>> ranges;
    QList<int> progress;
    QList<std::pair<DownloadOutcome, QString>> results;
    QStringList errors;
    QList<bool> input;
    QList<std::pair<int, bool>> sent;

    void Reset()
    {
        statuses.clear();
        ranges.clear();
        progress.clear();
        results.clear();
        errors.clear();
        input.clear();
        sent.clear();
    }

    void SetStatus(const QString &text) override { statuses.append(text); }
    void SetProgressRange(int minimum, int maximum) override { ranges.append({minimum, maximum}); }
    void SetProgress(int position) override { progress.append(position); }
    void ShowResult(DownloadOutcome outcome, const QString &text) override { results.append({outcome, text}); }
    void ShowError(const QString &message) override { errors.append(message); }
    void SetInputEnabled(bool enabled) override { input.append(enabled); }
    void LineSent(int index, bool resend) override { sent.append({index, resend}); }
};

QByteArray HexText(const QList<QByteArray> &lines)
{
    return lines.join("\r\n") + "\r\n";
}

const QList<QByteArray> kFourRecords = {":0200000011AA43", ":0200020022BB1F", ":0200040033CCF9", ":00000001FF"};

class DownloadSequenceTest : public ::testing::Test {
protected:
    QString WriteHex(const QByteArray &content, const QString &name = QStringLiteral("fw.hex"))
    {
        QFile file(m_dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return file.fileName();
    }

    // Connects the network link to the peer and runs one download to its end.
    std::optional<DownloadOutcome> Run(BootPeer &peer, const QString &hexPath, int boundMs = 6000)
    {
        m_controller.SetConnectMethod(cmTCPIP);
        m_controller.SetHost("127.0.0.1");
        m_controller.SetHostPort(peer.Port());
        m_controller.Connect();

        std::optional<DownloadOutcome> outcome;
        QObject::connect(&m_sequence, &DownloadSequence::finished, &m_sequence,
                         [&outcome](DownloadOutcome o) { outcome = o; }, Qt::SingleShotConnection);
        m_sequence.Start(hexPath);
        EXPECT_TRUE(m_sequence.Running());
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, boundMs)) << "no ending within the bound";
        EXPECT_FALSE(m_sequence.Running());
        // The last line left just before the link closed; let the boot
        // loader's thread take it in.
        QTest::qWait(50);
        return outcome;
    }

    bool LinkOpen() const { return m_controller.Current()->Connected(); }

    QTemporaryDir m_dir;
    TController m_controller;
    RecordingSink m_sink;
    DownloadSequence m_sequence{&m_controller, &m_sink};

    void SetUp() override { m_sequence.SetWorkFile(m_dir.filePath("temp.hex")); }
};

TEST_F(DownloadSequenceTest, AcknowledgedLinesEndInSuccessOneShortOfTheEnd)
{
    // A zero byte ends the answer text: "K\0\0" is an acknowledgement.
    BootPeer peer(BootPeer::Jump::Ack, [](const QByteArray &line, int seen) -> QList<Reply> {
        if (line == ":0200000011AA43;" && seen == 0)
            return {{QByteArray("K\0\0", 3)}};
        return AckAll(line, seen);
    });
    m_sink.progress.append(7); // where an earlier download left the bar

    EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Success);

    EXPECT_EQ(peer.JumpFrames(), 1);
    EXPECT_EQ(peer.LineTexts(), QList<QByteArray>({":0200000011AA43;", ":0200020022BB1F;", ":0200040033CCF9;",
                                                   ":00000001FF;"}));
    EXPECT_EQ(m_sink.statuses, QStringList({"Start Downloading...", kSuccessText}));
    EXPECT_EQ(m_sink.ranges, (QList<std::pair<int, int>>{{0, 4}}));
    // Not reset at the start; the end record is answered with "Z", not "K".
    EXPECT_EQ(m_sink.progress, QList<int>({7, 1, 2, 3}));
    EXPECT_EQ(m_sink.results, (QList<std::pair<DownloadOutcome, QString>>{{DownloadOutcome::Success, kSuccessText}}));
    EXPECT_EQ(m_sink.sent, (QList<std::pair<int, bool>>{{0, false}, {1, false}, {2, false}, {3, false}}));
    EXPECT_EQ(m_sink.input, QList<bool>({true}));
    EXPECT_TRUE(m_sink.errors.isEmpty());
    EXPECT_FALSE(LinkOpen());
    EXPECT_EQ(m_sequence.LinePos(), 3);
    EXPECT_FALSE(m_sequence.T2().isActive());
}

TEST_F(DownloadSequenceTest, EndLettersKZAndYAlsoSucceed)
{
    for (const QByteArray &end : {QByteArray("KZ"), QByteArray("Y")}) {
        SCOPED_TRACE(end.toStdString());
        m_sink.Reset();
        BootPeer peer(BootPeer::Jump::Ack, [end](const QByteArray &line, int) -> QList<Reply> {
            return {{line.startsWith(":00000001") ? end : "K"}};
        });
        EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Success);
        EXPECT_EQ(m_sink.statuses.value(1), kSuccessText);
    }
}

TEST_F(DownloadSequenceTest, SilenceResendsEveryFourthTickAndFailsOnTheTwentieth)
{
    BootPeer peer(BootPeer::Jump::Ack, [](const QByteArray &line, int seen) -> QList<Reply> {
        if (line == ":0200000011AA43;" && seen == 0)
            return {{"K"}};
        return {};
    });

    EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Failure);

    const QList<BootPeer::Received> lines = peer.LinesWhenSettled(7);
    ASSERT_EQ(lines.size(), 7);
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(lines[i].data, ":0200020022BB1F;");
    // Four ticks of 100 ms (plus the link's short read) between sends.
    for (int i = 2; i < 7; ++i) {
        const qint64 gap = lines[i].atMs - lines[i - 1].atMs;
        EXPECT_GE(gap, 390) << "resend " << i - 1;
        EXPECT_LE(gap, 900) << "resend " << i - 1;
    }
    EXPECT_EQ(m_sink.sent, (QList<std::pair<int, bool>>{
                               {0, false}, {1, false}, {1, true}, {1, true}, {1, true}, {1, true}, {1, true}}));
    EXPECT_EQ(m_sink.statuses.last(), "Download Failure.");
    EXPECT_EQ(m_sink.results,
              (QList<std::pair<DownloadOutcome, QString>>{{DownloadOutcome::Failure, "Download Failure."}}));
    EXPECT_EQ(m_sink.input, QList<bool>({true}));
    EXPECT_FALSE(LinkOpen());
    EXPECT_EQ(m_sequence.StallCount(), 20);
}

TEST_F(DownloadSequenceTest, RefusalsCountDoubleTowardsTheStallLimit)
{
    // Every tick reads one "N" (queued as separate datagrams up front).
    BootPeer peer(BootPeer::Jump::Ack, [](const QByteArray &line, int seen) -> QList<Reply> {
        if (line == ":0200000011AA43;" && seen == 0) {
            QList<Reply> refusals;
            for (int i = 0; i < 15; ++i)
                refusals.append({"N"});
            return refusals;
        }
        return {};
    });

    EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Failure);

    const QList<BootPeer::Received> lines = peer.LinesWhenSettled(6);
    ASSERT_EQ(lines.size(), 6);
    for (int i = 1; i < 6; ++i) {
        EXPECT_EQ(lines[i].data, ":0200000011AA43;");
        const qint64 gap = lines[i].atMs - lines[i - 1].atMs;
        EXPECT_GE(gap, 195) << "resend " << i;
        EXPECT_LE(gap, 450) << "resend " << i;
    }
    EXPECT_EQ(m_sink.statuses.last(), "Download Failure.");
    EXPECT_TRUE(m_sink.progress.isEmpty());
}

TEST_F(DownloadSequenceTest, OnlyASingleUpperCaseKAcknowledges)
{
    for (const QByteArray &notAck : {QByteArray("k"), QByteArray("KK"), QByteArray(" K")}) {
        SCOPED_TRACE(notAck.toStdString());
        m_sink.Reset();
        BootPeer peer(BootPeer::Jump::Ack, [notAck](const QByteArray &line, int seen) -> QList<Reply> {
            if (line == ":0200020022BB1F;" && seen == 0)
                return {{notAck}};
            return AckAll(line, seen);
        });

        EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Success);

        const QList<BootPeer::Received> lines = peer.Lines();
        ASSERT_EQ(lines.size(), 5);
        EXPECT_EQ(lines[1].data, ":0200020022BB1F;");
        EXPECT_EQ(lines[2].data, ":0200020022BB1F;");
        // The position stayed: the line went out again on the fourth tick.
        const qint64 gap = lines[2].atMs - lines[1].atMs;
        EXPECT_GE(gap, 390);
        EXPECT_LE(gap, 900);
        EXPECT_EQ(m_sink.progress, QList<int>({1, 2, 3}));
    }
}

// A boot loader that is already listening gets the first line at once, not a
// 100 ms tick later.
TEST_F(DownloadSequenceTest, InBootLoaderTheFirstLineGoesAtOnce)
{
    BootPeer peer(BootPeer::Jump::Ignore, AckAll);
    m_sequence.SetInBootLoader(true);
    const qint64 startedAt = peer.Now();
    EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Success);
    EXPECT_EQ(peer.JumpFrames(), 0);
    ASSERT_FALSE(peer.Lines().isEmpty());
    EXPECT_LT(peer.Lines().first().atMs - startedAt, 90);
}

TEST_F(DownloadSequenceTest, UnacknowledgedJumpMeansControllerNotFound)
{
    for (BootPeer::Jump jump : {BootPeer::Jump::Ignore, BootPeer::Jump::Refuse}) {
        SCOPED_TRACE(int(jump));
        m_sink.Reset();
        QFile::remove(m_sequence.WorkFile());
        BootPeer peer(jump, AckAll);

        EXPECT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::ControllerNotFound);

        EXPECT_EQ(peer.JumpFrames(), 1);
        EXPECT_TRUE(peer.Lines().isEmpty());
        EXPECT_EQ(m_sink.statuses, QStringList({"Controller not found."}));
        EXPECT_EQ(m_sink.results, (QList<std::pair<DownloadOutcome, QString>>{
                                      {DownloadOutcome::ControllerNotFound, "Controller not found."}}));
        EXPECT_EQ(m_sink.input, QList<bool>({true}));
        EXPECT_FALSE(LinkOpen());
        EXPECT_FALSE(QFile::exists(m_sequence.WorkFile()));
    }
}

TEST_F(DownloadSequenceTest, AfterTheLastLineNothingIsSentWhileWaitingForTheEnd)
{
    // Upper-case addresses: no cut, the file's own end record is sent and
    // acknowledged; "Z" follows three ticks later.
    const QList<QByteArray> records = {":1077B000AA", ":1077C000BB", ":1077D000CC", ":00000001FF"};
    BootPeer peer(BootPeer::Jump::Ack, [](const QByteArray &line, int) -> QList<Reply> {
        if (line == ":00000001FF;")
            return {{"K"}, {"Z", 350}};
        return {{"K"}};
    });

    EXPECT_EQ(Run(peer, WriteHex(HexText(records))), DownloadOutcome::Success);

    EXPECT_EQ(peer.LineTexts(), QList<QByteArray>({":1077B000AA;", ":1077C000BB;", ":1077D000CC;", ":00000001FF;"}));
    EXPECT_EQ(m_sink.progress, QList<int>({1, 2, 3, 4}));
    EXPECT_EQ(m_sink.ranges, (QList<std::pair<int, int>>{{0, 4}}));
    EXPECT_EQ(m_sequence.LinePos(), 4);
}

TEST_F(DownloadSequenceTest, WorkFileWithoutRecordsSendsNothingAndStalls)
{
    BootPeer peer(BootPeer::Jump::Ack, AckAll);

    EXPECT_EQ(Run(peer, WriteHex("no records here\r\n")), DownloadOutcome::Failure);

    EXPECT_TRUE(peer.Lines().isEmpty());
    EXPECT_TRUE(m_sink.sent.isEmpty());
    EXPECT_EQ(m_sink.ranges, (QList<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(m_sink.statuses.last(), "Download Failure.");
}

TEST_F(DownloadSequenceTest, FileFaultsEndWithTheErrorBox)
{
    const QString goodFile = WriteHex(HexText(kFourRecords));
    struct Case {
        const char *name;
        QString hexPath;
        QString workFile;
        QString named;
    };
    const QList<Case> cases = {
        {"missing firmware", m_dir.filePath("gone.hex"), m_dir.filePath("temp.hex"), "gone.hex"},
        {"unwritable work file", goodFile, m_dir.filePath("no/folder/temp.hex"), "temp.hex"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        m_sink.Reset();
        m_sequence.SetWorkFile(c.workFile);
        BootPeer peer(BootPeer::Jump::Ack, AckAll);

        EXPECT_EQ(Run(peer, c.hexPath), DownloadOutcome::Error);

        ASSERT_EQ(m_sink.errors.size(), 1);
        EXPECT_TRUE(m_sink.errors[0].contains(c.named)) << m_sink.errors[0].toStdString();
        EXPECT_TRUE(m_sink.results.isEmpty());
        EXPECT_EQ(m_sink.input, QList<bool>({true}));
        EXPECT_FALSE(LinkOpen());
        EXPECT_FALSE(m_sequence.T2().isActive());
        EXPECT_TRUE(peer.Lines().isEmpty());
    }
}

TEST_F(DownloadSequenceTest, SecondDownloadStartsFromTheTop)
{
    {
        BootPeer peer(BootPeer::Jump::Ack, AckAll);
        ASSERT_EQ(Run(peer, WriteHex(HexText(kFourRecords))), DownloadOutcome::Success);
    }
    m_sink.Reset();
    BootPeer peer(BootPeer::Jump::Ack, AckAll);
    ASSERT_EQ(Run(peer, WriteHex(HexText({":0100000011EE", ":00000001FF"}), "other.hex")), DownloadOutcome::Success);
    EXPECT_EQ(peer.LineTexts(), QList<QByteArray>({":0100000011EE;", ":00000001FF;"}));
    EXPECT_EQ(m_sequence.HexLines(), QStringList({":0100000011EE;", ":00000001FF;"}));
    EXPECT_EQ(m_sink.ranges, (QList<std::pair<int, int>>{{0, 2}}));
}

TEST_F(DownloadSequenceTest, AbortStopsAtTheNextTick)
{
    BootPeer peer(BootPeer::Jump::Ack, AckAll);
    std::optional<DownloadOutcome> outcome;
    QObject::connect(&m_sequence, &DownloadSequence::finished, &m_sequence,
                     [&outcome](DownloadOutcome o) { outcome = o; });
    m_controller.SetConnectMethod(cmTCPIP);
    m_controller.SetHostPort(peer.Port());
    m_controller.Connect();
    m_sequence.Start(WriteHex(HexText(kFourRecords)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !peer.Lines().isEmpty(); }, 3000));

    m_sequence.Abort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 1000));
    EXPECT_EQ(*outcome, DownloadOutcome::Aborted);
    const qsizetype sentAtAbort = peer.Lines().size();
    QTest::qWait(300);
    EXPECT_EQ(peer.Lines().size(), sentAtAbort);
    EXPECT_LE(sentAtAbort, 2);
    EXPECT_FALSE(m_sequence.Running());
    EXPECT_FALSE(LinkOpen());
    EXPECT_EQ(m_sink.input, QList<bool>({true}));
    EXPECT_TRUE(m_sink.results.isEmpty());
}

} // namespace
