#include "component/Controller.h"

#include "common/Errors.h"
#include "common/IntConv.h"
#include "component/MODEM.h"
#include "component/TCPIP.h"
#include "component/UART.h"
#include "component/commands/Arguments.h"
#include "services/ComPort.h"

#include <cstdint>
#include <cstdio>

namespace {

TController::AboutHook &aboutHook()
{
    static TController::AboutHook hook;
    return hook;
}

} // namespace

TController::TController(QObject *owner) : QObject(owner)
{
    m_serial = new TUART(this);
    m_network = new TTCPIP(this);
    m_modem = new TMODEM(this);
    m_current = m_serial;
}

// The links are children: QObject frees them in the order they were made,
// serial, network, modem. Each closes its own port or socket as it goes; the
// modem is not hung up first.
TController::~TController() = default;

// --- properties ---------------------------------------------------------------------

TDialupStatus TController::DialupStatus() const
{
    return m_modem->DialupStatus();
}

unsigned TController::DialTimeOut() const
{
    return m_modem->DialTimeOut();
}

void TController::SetDialTimeOut(unsigned value)
{
    m_modem->SetDialTimeOut(value);
}

void TController::SetConnectMethod(TConnectMethod value)
{
    if (value == m_connectMethod)
        return; // the link stays open
    if (value != cmSerial && value != cmTCPIP && value != cmModem)
        throw norvik::NorvikError("Invalid connect method " + std::to_string(static_cast<int>(value)));

    m_current->Disconnect(); // the modem hangs up here
    m_connectMethod = value;
    switch (value) {
    case cmTCPIP:
        m_current = m_network;
        break;
    case cmSerial:
        m_current = m_serial;
        m_serial->SerialPort().FlowControl().SetFlowControl(fcNone);
        break;
    case cmModem:
        // Keeps the hardware flow control the modem link set up for itself.
        m_current = m_modem;
        break;
    }
    m_current->SetDebugMode(m_debugMode);
    m_current->SetDebugPath(m_debugPath);
    m_current->SetSendAfterSleep(m_sendAfterSleep);
    m_current->SetCardBytes(m_cardBytes);
}

std::uint8_t TController::ControllerID() const
{
    return m_current->ControllerID;
}

void TController::SetControllerID(std::uint8_t value)
{
    m_network->ControllerID = value;
    m_serial->ControllerID = value;
    m_modem->ControllerID = value;
}

std::string TController::Host() const
{
    return m_network->Host();
}

void TController::SetHost(const std::string &value)
{
    m_network->SetHost(value);
}

std::uint16_t TController::HostPort() const
{
    return m_network->HostPort();
}

void TController::SetHostPort(std::uint16_t value)
{
    m_network->SetHostPort(value);
}

std::string TController::COM() const
{
    switch (m_connectMethod) {
    case cmSerial:
        return m_serial->COM();
    case cmModem:
        return m_modem->COM();
    case cmTCPIP:
        break;
    }
    return {};
}

void TController::SetCOM(const std::string &value)
{
    m_serial->SetCOM(value);
    m_modem->SetCOM(value);
}

int TController::ReadTimeOut() const
{
    return m_network->ReadTimeOut();
}

void TController::SetReadTimeOut(int value)
{
    m_network->SetReadTimeOut(value);
}

int TController::RetrySleep() const
{
    return m_current->RetrySleep;
}

void TController::SetRetrySleep(int value)
{
    m_current->RetrySleep = value;
}

int TController::SendAfterSleep() const
{
    return m_current->SendAfterSleep;
}

void TController::SetSendAfterSleep(int value)
{
    m_current->SetSendAfterSleep(value);
    m_sendAfterSleep = value;
}

int TController::RetryTime() const
{
    return m_current->RetryTime;
}

void TController::SetRetryTime(int value)
{
    m_current->RetryTime = value;
}

void TController::SetDebugMode(bool value)
{
    m_current->SetDebugMode(value);
    m_debugMode = value;
}

void TController::SetDebugPath(const std::string &value)
{
    m_current->SetDebugPath(value);
    m_debugPath = value;
}

void TController::SetCardBytes(TCardBytes value)
{
    m_cardBytes = value;
    m_current->SetCardBytes(value);
}

// --- link operations --------------------------------------------------------------

bool TController::Connect()
{
    return m_current->Connect();
}

void TController::Disconnect()
{
    m_current->Disconnect();
}

std::string TController::LinkFault() const
{
    switch (m_connectMethod) {
    case cmSerial:
        return m_serial->LastError();
    case cmModem:
        return m_modem->LastError();
    case cmTCPIP:
        break;
    }
    return {};
}

int TController::DirectSend(const void *buffer, int count)
{
    return m_current->DirectSend(buffer, count);
}

int TController::DirectReceive(void *buffer)
{
    return m_current->DirectReceive(buffer);
}

void TController::Dial(const std::string &phoneNumber)
{
    // Always the modem link, whatever link is current.
    m_modem->Dial(phoneNumber);
}

// --- commands that choose between engine operations ----------------------------------

int TController::ReadTransaction(std::uint8_t *buffer, int size)
{
    // The wide-card reads always fill 22 bytes: a smaller buffer is refused
    // before the controller hands over (and forgets) a record.
    if (m_cardBytes != cbNormal)
        norvik::args::RecordBuffer(size, false, "Size");
    switch (m_cardBytes) {
    case cbCard7Bytes:
        return m_current->ReadTransactionCard7Bytes(buffer);
    case cbCard8Bytes:
        return m_current->ReadTransactionCard8Bytes(buffer);
    case cbCard12Bytes:
        return m_current->ReadTransactionCard12Bytes(buffer);
    case cbNormal:
        break;
    }
    return m_current->ReadTransaction(buffer, size);
}

bool TController::SendSetPanicPIN(bool enable, const QVariant &pin)
{
    switch (pin.typeId()) {
    case QMetaType::QByteArray:
        return m_current->SendSetPanicPIN(enable, pin.toByteArray().toStdString());
    case QMetaType::QString:
        return m_current->SendSetPanicPIN(enable, norvik::StrToInt(pin.toString()));
    default:
        break;
    }
    // Any other value counts by its integer value: a whole number that fits 32
    // bits ($FFFFFFFF included). A fraction, a wider number or a value that is
    // not numeric is no PIN, and is not rounded or cut into one.
    bool ok = false;
    const qlonglong value = pin.toLongLong(&ok);
    if (pin.typeId() == QMetaType::ULongLong)
        ok = ok && pin.toULongLong() <= UINT32_MAX;
    if (pin.typeId() == QMetaType::Double || pin.typeId() == QMetaType::Float)
        ok = ok && pin.toDouble() == static_cast<double>(value);
    if (!ok || value < INT32_MIN || value > static_cast<qlonglong>(UINT32_MAX))
        throw norvik::EConvertError(norvik::InvalidIntegerMessage(pin.toString().toStdString()));
    return m_current->SendSetPanicPIN(enable, static_cast<int>(static_cast<std::uint32_t>(value)));
}

// --- About ------------------------------------------------------------------------------

std::string TController::AboutText() const
{
    return "Norvik Controller Component ver " + m_version + "\r\n" +
           "Serial, network and dial-up links to Norvik door-access controllers.";
}

TController::AboutHook TController::SetAboutHook(AboutHook hook)
{
    AboutHook previous = std::move(aboutHook());
    aboutHook() = std::move(hook);
    return previous;
}

void TController::About()
{
    static const std::string caption = "Norvik";
    const std::string text = AboutText();
    if (const AboutHook &hook = aboutHook()) {
        hook(caption, text);
        return;
    }
    std::fprintf(stderr, "%s\n%s\n", caption.c_str(), text.c_str());
}
