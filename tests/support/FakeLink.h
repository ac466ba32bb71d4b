#pragma once
// A scripted link for engine tests: derived from TBasicCom, it touches no port
// or socket. It records every frame handed to SendFrame and every buffer handed
// to DirectSend, plays back scripted replies for ReceiveFrame and
// DirectReceive, and counts Connect and Disconnect.
//
// Typical use:
//
//   norvik::test::FakeLink link;
//   link.QueueReply(FakeLink::Frame(0x01, 0x02, {0x02, 0x00}));   // 7-byte acknowledgement
//   norvik::ScopedSleeper sleeper(link.SleepRecorder());          // pauses go into link.calls
//   EXPECT_EQ(link.ResetController(), 1);
//   EXPECT_EQ(Hex(link.sent.at(0)), "33 01 02 00 36");
//   EXPECT_EQ(link.calls, (std::vector<std::string>{"SendFrame", "ReceiveFrame"}));
//
// ReceiveFrame with nothing queued behaves as silence: the reply buffer is
// cleared and 0 is returned. DirectReceive with nothing queued returns 0.
#include "component/BasicCom.h"

#include "common/Sleeper.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace norvik::test {

class FakeLink : public TBasicCom {
    Q_OBJECT
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit FakeLink(QObject *owner = nullptr);

    // --- scripting ReceiveFrame --------------------------------------------------
    // The bytes arrive as one read: ReplyBuffer is cleared, the bytes (at most
    // the 255-byte read limit) are copied from index 0, and the count follows the
    // frame completion rule: byte 3 + 5 bytes -> that count, more -> 0, fewer ->
    // the short count (as the serial link returns it).
    void QueueReply(const Bytes &bytes);
    // ReplyBuffer is cleared, the bytes copied, and exactly `count` is returned,
    // whatever the bytes say (e.g. the network link's 0 for a short frame).
    void QueueReplyCount(int count, const Bytes &bytes = {});
    // Silence for one ReceiveFrame (cleared buffer, 0).
    void QueueSilence();
    // Optional: called with each frame passed to SendFrame, after it has been
    // recorded; may queue the answer (a tiny controller).
    std::function<void(FakeLink &, const Bytes &frame)> onSendFrame;

    // --- scripting DirectReceive ---------------------------------------------------
    // One DirectReceive places these bytes (at most 255) and returns their count.
    void QueueDirectReply(const Bytes &bytes);
    void QueueDirectReply(const std::string &text);
    // Result of DirectSend; a negative value (the default) returns the count given.
    int directSendResult = -1;
    // Result of Connect; true by default.
    bool connectResult = true;

    // --- what happened ----------------------------------------------------------
    std::vector<Bytes> sent;        // every SendFrame(count): the first count bytes of RequestBuffer
    std::vector<Bytes> directSent;  // every DirectSend
    std::vector<std::string> calls; // "Connect", "Disconnect", "SendFrame", "ReceiveFrame",
                                    // "DirectSend", "DirectReceive", and "Sleep <ms>" from SleepRecorder
    int connectCount = 0;
    int disconnectCount = 0;
    int receiveCount = 0;
    int directReceiveCount = 0;
    std::size_t PendingReplies() const { return m_replies.size(); }
    std::size_t PendingDirectReplies() const { return m_directReplies.size(); }

    // A sleeper that records "Sleep <ms>" into `calls` instead of blocking, so a
    // test sees where a pause falls between the sends and receives.
    // Install it with norvik::ScopedSleeper.
    SleepFunction SleepRecorder();

    // A whole frame 0x33, address, code, n, data, checksum. The checksum is
    // computed here, independently of the engine's CalCheckSum.
    static Bytes Frame(std::uint8_t address, std::uint8_t code, const Bytes &data);
    // The standard 7-byte acknowledgement: data = code answered, status.
    static Bytes Ack(std::uint8_t address, std::uint8_t code, std::uint8_t status);

    // --- the six transport operations ----------------------------------------------
    bool Connect() override;
    void Disconnect() override;
    int ReceiveFrame() override;
    void SendFrame(int count) override;
    int DirectSend(const void *buffer, int count) override;
    int DirectReceive(void *buffer) override;

private:
    struct Reply {
        Bytes bytes;
        bool useCompletionRule = true;
        int count = 0;
    };
    std::deque<Reply> m_replies;
    std::deque<Bytes> m_directReplies;
};

} // namespace norvik::test
