#include "component/UART.h"

#include "common/Sleeper.h"
#include "common/Trace.h"
#include "services/ComPort.h"

#include <algorithm>

TUART::TUART(QObject *owner) : TBasicCom(owner), m_serialPort(new TComPort(this))
{
    // The controllers' line: 19200 bit/s, 8 data bits, no parity, one stop
    // bit, no handshake. A read gives up 20 ms after the last byte and 50 ms
    // after it began, so one attempt never blocks longer than 50 ms.
    TComPort &port = *m_serialPort;
    port.SetSyncMethod(smNone);
    port.SetBaudRate(br19200);
    port.Parity().SetBits(prNone);
    port.Parity().SetCheck(false);
    port.SetPort("COM1");
    port.SetStopBits(sbOneStopBit);
    port.SetDataBits(dbEight);
    port.Buffer().SetInputSize(100);
    port.Buffer().SetOutputSize(100);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.FlowControl().SetOutCTSFlow(false);
    port.FlowControl().SetOutDSRFlow(false);
    port.FlowControl().SetXonXoffOut(false);
    port.FlowControl().SetXonXoffIn(false);
    port.Timeouts().SetReadInterval(20);
    port.Timeouts().SetReadTotalConstant(50);
}

// The port is a child: freeing it closes it.
TUART::~TUART() = default;

bool TUART::Connect()
{
    followPort();
    if (m_connected)
        return true;
    try {
        m_serialPort->OpenPort();
    } catch (const EComPort &error) {
        m_lastError = error.what();
        return false;
    }
    m_lastError.clear();
    m_connected = true;
    return true;
}

void TUART::Disconnect()
{
    m_serialPort->ClosePort();
    m_connected = false;
}

void TUART::followPort()
{
    if (m_connected && !m_serialPort->Connected()) {
        m_connected = false;
        m_lastError = m_serialPort->LostReason();
    }
}

int TUART::ReceiveFrame()
{
    ClearBuffers(false, true);
    int total = 0;
    for (int attempt = 0; attempt < RetryTime; ++attempt) {
        const int count = m_serialPort->ReadBytes(ReplyBuffer + total, ReplyBufferMax - total);
        followPort();
        if (count > 0)
            norvik::TraceBytes("RX", m_traceLink, ReplyBuffer + total, count);
        total += count;
        // Byte 3 announces the data length; until it has arrived it is still
        // 0 and the shortest frame (5 bytes) is expected.
        const int expected = ReplyBuffer[3] + 5;
        if (total == expected) {
            // Whatever else is queued belongs to no request of ours (a port
            // lost right after the frame's last byte has nothing left).
            if (m_serialPort->Connected())
                m_serialPort->PurgeBuffers(true, false);
            return total;
        }
        if (total > expected)
            return 0;
        norvik::Sleep(RetrySleep);
    }
    return total;
}

void TUART::SendFrame(int count)
{
    count = std::clamp(count, 0, RequestBufferMax + 1);
    // Whatever waits on the line now answers no request of ours: typically a
    // reply that came after its command gave up. Read as the start of this
    // request's reply, it could make a refused or lost request look answered.
    const std::string stale = m_serialPort->DiscardInput();
    if (!stale.empty())
        norvik::TraceBytes("DROP", m_traceLink, reinterpret_cast<const unsigned char *>(stale.data()),
                           static_cast<int>(stale.size()));
    if (count > 0)
        norvik::TraceBytes("TX", m_traceLink, RequestBuffer, count);
    m_serialPort->WriteBytes(RequestBuffer, count);
}

int TUART::DirectSend(const void *buffer, int count)
{
    if (count > 0)
        norvik::TraceBytes("TX", m_traceLink, static_cast<const unsigned char *>(buffer), count);
    const int written = m_serialPort->WriteBytes(buffer, count);
    followPort();
    return written;
}

int TUART::DirectReceive(void *buffer)
{
    // One less than the read limit: the boot loader's answers are short, and
    // the caller's 255-byte buffer keeps a spare byte.
    const int count = m_serialPort->ReadBytes(buffer, ReplyBufferMax - 1);
    followPort();
    if (count > 0)
        norvik::TraceBytes("RX", m_traceLink, static_cast<const unsigned char *>(buffer), count);
    return count;
}

std::string TUART::COM() const
{
    return m_serialPort->Port();
}

void TUART::SetCOM(const std::string &value)
{
    try {
        m_serialPort->SetPort(value);
    } catch (const EComPort &error) {
        // The old device is released and the new one refused us: the link is
        // not usable, and saying so lets the next Connect try again and fail
        // visibly instead of moving no bytes.
        m_lastError = error.what();
        m_connected = false;
    }
}
