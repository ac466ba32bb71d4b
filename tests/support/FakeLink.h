#pragma once
// A scripted link for engine tests: derived from TBasicCom, it touches no port
// or socket. It records every frame handed to SendFrame and plays back scripted
// replies for ReceiveFrame.
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
// cleared and 0 is returned. Connect always succeeds; DirectSend accepts every
// byte and DirectReceive returns 0 unless a raw read is queued (QueueDirect).
#include "component/BasicCom.h"

#include "common/Sleeper.h"

#include <cstdint>
#include <deque>
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

    // --- scripting DirectReceive ----------------------------------------------------
    // The next DirectReceive places these bytes (at most 255) at the start of
    // the caller's buffer and returns how many it placed.
    void QueueDirect(const Bytes &bytes);

    // --- what happened ----------------------------------------------------------
    std::vector<Bytes> sent;        // every SendFrame(count): the first count bytes of RequestBuffer
    std::vector<std::string> calls; // "Connect", "Disconnect", "SendFrame", "ReceiveFrame",
                                    // "DirectSend", "DirectReceive", and "Sleep <ms>" from SleepRecorder
    std::size_t PendingReplies() const { return m_replies.size(); }
    // The calls in one line: a sent frame as code(data), "<" a ReceiveFrame,
    // "D" a DirectReceive, "~50" a pause: "04(01 09 05) ~30 <". A frame whose
    // start byte, address (ControllerID), length or checksum is wrong shows as
    // BAD(whole frame).
    std::string Trace() const;

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
    std::deque<Bytes> m_direct;
};

} // namespace norvik::test
