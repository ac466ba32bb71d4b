#include "component/TCPIP.h"

#include "common/Sleeper.h"
#include "common/Trace.h"
#include "services/IdUDPClient.h"

#include <algorithm>

namespace {
// The controller needs this long to turn a request round before its reply
// datagram can be expected.
constexpr int kReplySettleMs = 50;
constexpr const char *kTraceLink = "udp";
} // namespace

TTCPIP::TTCPIP(QObject *owner) : TBasicCom(owner), m_udpClient(std::make_unique<TIdUDPClient>())
{
    m_udpClient->Host = "127.0.0.1";
    m_udpClient->Port = 1001;
    m_udpClient->ReceiveTimeout = 10;
}

TTCPIP::~TTCPIP() = default;

bool TTCPIP::Connect()
{
    if (!m_connected) {
        m_udpClient->SetActive(true);
        m_connected = true;
    }
    return true;
}

void TTCPIP::Disconnect()
{
    m_udpClient->SetActive(false);
    m_connected = false;
}

std::string TTCPIP::Host() const
{
    return m_udpClient->Host;
}

void TTCPIP::SetHost(const std::string &value)
{
    m_udpClient->Host = value;
}

std::uint16_t TTCPIP::HostPort() const
{
    return static_cast<std::uint16_t>(m_udpClient->Port);
}

void TTCPIP::SetHostPort(std::uint16_t value)
{
    m_udpClient->Port = value;
}

int TTCPIP::ReadTimeOut() const
{
    return m_udpClient->ReceiveTimeout;
}

void TTCPIP::SetReadTimeOut(int value)
{
    m_udpClient->ReceiveTimeout = value;
}

// The client reads -2 as "wait without limit", which would freeze the window
// until some datagram happens to arrive; the link takes it as "only look".
// Every other value is passed on as the client's own receive time-out.
int TTCPIP::receiveWait() const
{
    return m_udpClient->ReceiveTimeout == TIdUDPClient::WaitForever ? 0 : TIdUDPClient::WaitDefault;
}

void TTCPIP::SendFrame(int count)
{
    // Never read past the request buffer, whatever count a caller passes.
    count = std::clamp(count, 0, RequestBufferMax + 1);
    // Datagrams queued now answer no request of ours (typically a reply that
    // came after its command gave up); taken as this request's reply, they
    // could make a refused or lost request look answered.
    for (const std::string &stale : m_udpClient->DiscardPending())
        norvik::TraceBytes("DROP", kTraceLink, reinterpret_cast<const unsigned char *>(stale.data()),
                           static_cast<int>(stale.size()));
    norvik::TraceBytes("TX", kTraceLink, RequestBuffer, count);
    m_udpClient->SendDatagram(RequestBuffer, count);
}

int TTCPIP::DirectSend(const void *buffer, int count)
{
    norvik::TraceBytes("TX", kTraceLink, static_cast<const unsigned char *>(buffer), count);
    m_udpClient->SendDatagram(buffer, count);
    // A short send raises, so reaching here means every byte went out.
    return count;
}

int TTCPIP::ReceiveFrame()
{
    ClearBuffers(false, true);
    norvik::Sleep(kReplySettleMs);
    const int n = m_udpClient->ReceiveDatagram(ReplyBuffer, ReplyBufferMax, receiveWait());
    if (n > 0)
        norvik::TraceBytes("RX", kTraceLink, ReplyBuffer, n);
    // One datagram is one reply: it counts only when its length is the one its byte 3 announces.
    if (n == ReplyBuffer[3] + 5)
        return n;
    return 0;
}

int TTCPIP::DirectReceive(void *buffer)
{
    const int n = m_udpClient->ReceiveDatagram(buffer, ReplyBufferMax, receiveWait());
    if (n > 0)
        norvik::TraceBytes("RX", kTraceLink, static_cast<const unsigned char *>(buffer), n);
    return n;
}
