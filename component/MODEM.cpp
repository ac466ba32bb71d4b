#include "component/MODEM.h"

#include "common/Sleeper.h"
#include "common/Trace.h"
#include "services/ComPort.h"

#include <QTimer>

#include <iterator>
#include <utility>

namespace {

// The modem's final result texts, in the order they are tried.
const std::pair<const char *, TDialupStatus> kModemAnswers[] = {
    {"CONNECT 19200", usConnected}, {"OK", usOK},        {"BUSY", usBusy},   {"RING", usRing},
    {"NO CARRIER", usNoCarrier},    {"NO ANSWER", usNoAnswer}, {"ERROR", usError}, {"NO DIALTONE", usNoDialTone},
};

} // namespace

TMODEM::TMODEM(QObject *owner) : TUART(owner)
{
    m_traceLink = "modem";
    // A modem paces the computer with CTS and is paced by RTS.
    SerialPort().FlowControl().SetFlowControl(fcHardware);
    m_dialTimer = new QTimer(this);
    connect(m_dialTimer, &QTimer::timeout, this, &TMODEM::PollModemReply);
    m_dialTimer->setInterval(1000);
}

// The dial timer is a child, freed with the link.
TMODEM::~TMODEM() = default;

void TMODEM::Dial(const std::string &phoneNumber)
{
    // Give the modem time to settle after the port was opened or the last call.
    norvik::Sleep(2000);
    m_dialElapsed = 0;
    if (m_dialupStatus == usConnecting || m_dialupStatus == usConnected)
        return;
    m_dialupStatus = usConnecting;
    m_dialTimer->start();
    writeModemText("ATDT" + phoneNumber + "\x0A\x0D");
}

void TMODEM::writeModemText(const std::string &text)
{
    norvik::TraceBytes("TX", m_traceLink, reinterpret_cast<const unsigned char *>(text.data()),
                       static_cast<int>(text.size()));
    SerialPort().WriteText(text);
}

void TMODEM::PollModemReply()
{
    m_dialTimer->stop();
    m_dialElapsed += 1000;

    std::string text;
    SerialPort().ReadText(text, 20);
    followPort();
    if (!text.empty())
        norvik::TraceBytes("RX", m_traceLink, reinterpret_cast<const unsigned char *>(text.data()),
                           static_cast<int>(text.size()));
    // The modem frames its answers with CR LF (and may pad with blanks).
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
        --last;
    const std::string answer = text.substr(first, last - first);
    for (const auto &[reply, status] : kModemAnswers) {
        if (answer == reply) {
            m_dialupStatus = status;
            break;
        }
    }

    if (m_dialupStatus != usConnecting)
        return;
    if (m_dialElapsed < m_dialTimeOut)
        m_dialTimer->start();
    else
        m_dialupStatus = usTimeOut;
}

void TMODEM::Disconnect()
{
    // The modem only takes "+++" as an escape after a second of silence on
    // the line, and needs a moment in command mode before the hang-up.
    norvik::Sleep(1000);
    writeModemText("+++");
    norvik::Sleep(2000);
    writeModemText("ATH0\r");
    norvik::Sleep(1000);
    m_dialTimer->stop();
    m_dialupStatus = usOK;
    TUART::Disconnect();
}
