#include "tests/support/FakeLink.h"

#include "tests/support/TestUtil.h"

#include <algorithm>
#include <cstring>

namespace norvik::test {

namespace {
constexpr int kReadLimit = TBasicCom::ReplyBufferMax;
}

FakeLink::FakeLink(QObject *owner) : TBasicCom(owner) {}

void FakeLink::QueueReply(const Bytes &bytes)
{
    m_replies.push_back(Reply{bytes, true, 0});
}

void FakeLink::QueueReplyCount(int count, const Bytes &bytes)
{
    m_replies.push_back(Reply{bytes, false, count});
}

void FakeLink::QueueSilence()
{
    QueueReplyCount(0);
}

void FakeLink::QueueDirect(const Bytes &bytes)
{
    m_direct.push_back(bytes);
}

std::string FakeLink::Trace() const
{
    std::string trace;
    std::size_t frame = 0;
    for (const std::string &call : calls) {
        std::string item = call == "ReceiveFrame" ? "<" : call == "DirectReceive" ? "D" : call;
        if (call.rfind("Sleep ", 0) == 0)
            item = "~" + call.substr(6);
        if (call == "SendFrame" && frame < sent.size()) {
            const Bytes &bytes = sent[frame++];
            const Bytes data = bytes.size() < 5 ? Bytes() : Bytes(bytes.begin() + 4, bytes.end() - 1);
            const bool good = bytes.size() >= 5 && bytes == Frame(ControllerID, bytes[2], data);
            item = good ? Hex(&bytes[2], 1) + "(" + Hex(data) + ")" : "BAD(" + Hex(bytes) + ")";
        }
        trace += (trace.empty() ? "" : " ") + item;
    }
    return trace;
}

SleepFunction FakeLink::SleepRecorder()
{
    return [this](int ms) { calls.push_back("Sleep " + std::to_string(ms)); };
}

FakeLink::Bytes FakeLink::Frame(std::uint8_t address, std::uint8_t code, const Bytes &data)
{
    Bytes frame{0x33, address, code, static_cast<std::uint8_t>(data.size())};
    frame.reserve(data.size() + 5);
    for (std::uint8_t b : data) // element-wise: GCC 12 misreads a range insert here (-Warray-bounds)
        frame.push_back(b);
    unsigned sum = 0;
    for (std::uint8_t b : frame)
        sum += b;
    frame.push_back(static_cast<std::uint8_t>(sum % 256));
    return frame;
}

FakeLink::Bytes FakeLink::Ack(std::uint8_t address, std::uint8_t code, std::uint8_t status)
{
    return Frame(address, code, {code, status});
}

bool FakeLink::Connect()
{
    calls.emplace_back("Connect");
    m_connected = true;
    return true;
}

void FakeLink::Disconnect()
{
    calls.emplace_back("Disconnect");
    m_connected = false;
}

int FakeLink::ReceiveFrame()
{
    calls.emplace_back("ReceiveFrame");
    ClearBuffers(false, true);
    if (m_replies.empty())
        return 0;
    const Reply reply = m_replies.front();
    m_replies.pop_front();
    const int placed = std::min<int>(static_cast<int>(reply.bytes.size()), kReadLimit);
    if (placed > 0)
        std::memcpy(ReplyBuffer, reply.bytes.data(), static_cast<std::size_t>(placed));
    if (!reply.useCompletionRule)
        return reply.count;
    const int expected = ReplyBuffer[3] + 5;
    if (placed == expected)
        return placed;
    return placed > expected ? 0 : placed;
}

void FakeLink::SendFrame(int count)
{
    calls.emplace_back("SendFrame");
    const int n = std::clamp(count, 0, static_cast<int>(sizeof RequestBuffer));
    sent.emplace_back(RequestBuffer, RequestBuffer + n);
}

int FakeLink::DirectSend(const void *, int count)
{
    calls.emplace_back("DirectSend");
    return count;
}

int FakeLink::DirectReceive(void *buffer)
{
    calls.emplace_back("DirectReceive");
    if (m_direct.empty())
        return 0;
    const Bytes bytes = m_direct.front();
    m_direct.pop_front();
    const int placed = std::min<int>(static_cast<int>(bytes.size()), kReadLimit);
    if (placed > 0)
        std::memcpy(buffer, bytes.data(), static_cast<std::size_t>(placed));
    return placed;
}

} // namespace norvik::test
