#include "cli/LinkSession.h"

#include "cli/Diagnosis.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "component/Controller.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>


namespace ctl {

void ApplySettings(TController &controller, const Options &options)
{
    TConnectMethod method = cmSerial;
    if (options.Link() == LinkKind::Network)
        method = cmTCPIP;
    else if (options.Link() == LinkKind::Modem)
        method = cmModem;

    // RetryTime and RetrySleep are stored in the link that is current when they
    // are written, and a later change of link does not carry them over. The
    // window therefore gives a freshly chosen link its old retry values on the
    // first action. A one-shot tool has no second action, so the link is chosen
    // first; the window's order follows, its ConnectMethod write then being a
    // no-op that keeps the link open state as it is.
    controller.SetConnectMethod(method);

    controller.SetCOM(options.port.toStdString());
    if (!options.host.isEmpty())
        controller.SetHost(options.host.toStdString());
    controller.SetHostPort(static_cast<std::uint16_t>(options.udpPort));
    controller.SetReadTimeOut(options.timeout);
    controller.SetRetryTime(options.retry);
    controller.SetRetrySleep(options.retrySleep);
    controller.SetControllerID(static_cast<std::uint8_t>(options.id));
    controller.SetConnectMethod(method);

    controller.SetDialTimeOut(static_cast<unsigned>(options.dialTimeout));

    // Card numbers travel as wide as the controller was set up for.
    switch (options.cardBytes) {
    case 7:
        controller.SetCardBytes(cbCard7Bytes);
        break;
    case 8:
        controller.SetCardBytes(cbCard8Bytes);
        break;
    case 12:
        controller.SetCardBytes(cbCard12Bytes);
        break;
    default:
        controller.SetCardBytes(cbNormal);
        break;
    }
}

namespace {

// "NO CARRIER", "BUSY", "no connection within the dial time-out", ... for messages.
QString DialupStatusText(TDialupStatus status)
{
    switch (status) {
    case usOK: return QStringLiteral("the modem answered OK instead of connecting");
    case usConnected: return QStringLiteral("connected");
    case usRing: return QStringLiteral("the modem answered RING");
    case usNoCarrier: return QStringLiteral("NO CARRIER");
    case usBusy: return QStringLiteral("BUSY");
    case usNoAnswer: return QStringLiteral("NO ANSWER");
    case usError: return QStringLiteral("the modem answered ERROR");
    case usNoDialTone: return QStringLiteral("NO DIALTONE");
    case usConnecting: return QStringLiteral("still connecting");
    case usTimeOut: return QStringLiteral("no connection within the dial time-out");
    }
    return QStringLiteral("unknown dial state %1").arg(static_cast<int>(status));
}

} // namespace

LinkSession::LinkSession(TController &controller, const Options &options, const Output &out)
    : m_controller(controller), m_options(options), m_out(out)
{
}

LinkSession::~LinkSession()
{
    try {
        Close();
    } catch (...) {
        // Closing a link must not turn an answer already given into a crash.
    }
}

int LinkSession::Open()
{
    // A name the resolver does not know is said in those words, before the
    // socket layer reports it as an unreachable route.
    if (const QString problem = HostProblem(m_options); !problem.isEmpty()) {
        m_out.Error(problem);
        return ExitIo;
    }
    ApplySettings(m_controller, m_options);
    m_open = true; // from here on Disconnect is owed, whatever happens
    if (!m_controller.Connect()) {
        m_out.Error(SerialFailureReason());
        return ExitIo;
    }
    m_linked = true;
    if (m_options.Link() == LinkKind::Modem)
        return WaitForDialup();
    return ExitOk;
}

namespace {
QString &lostPort()
{
    static QString reason;
    return reason;
}
} // namespace

const QString &LinkSession::LostPort()
{
    return lostPort();
}

void LinkSession::NoteLostPort()
{
    if (const std::string fault = m_controller.LinkFault(); m_open && m_linked && !fault.empty())
        lostPort() = QString::fromStdString(fault);
}

void LinkSession::MarkClosed()
{
    NoteLostPort();
    m_open = false;
}

void LinkSession::Close()
{
    if (!m_open)
        return;
    NoteLostPort();
    m_open = false;
    m_controller.Disconnect();
}

int LinkSession::WaitForDialup()
{
    if (!m_out.Json())
        m_out.Note(QStringLiteral("Dialing %1 ...").arg(m_options.phone));
    m_controller.Dial(m_options.phone.toStdString());
    if (Interrupt::Requested()) {
        m_out.Error(QStringLiteral("interrupted while dialing; hanging up"));
        return ExitInterrupted;
    }

    // As the dial-up window: look at the status once a second while the
    // modem's own one-second timer follows its answers in this event loop.
    // The modem gives up after DialTimeOut; the extra seconds only guard
    // against a status that never leaves "connecting".
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1000);
    poll.setSingleShot(true);
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 bound = static_cast<qint64>(m_options.dialTimeout) + 5000;
    int seconds = 0;
    bool interrupted = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        ++seconds;
        if (m_controller.DialupStatus() == usConnecting && elapsed.elapsed() < bound)
            poll.start();
        else
            loop.quit();
    });
    QObject::connect(&Interrupt::Install(), &Interrupt::requested, &loop, [&] {
        interrupted = true;
        loop.quit();
    });
    poll.start();
    loop.exec();

    if (interrupted || Interrupt::Requested()) {
        m_out.Error(QStringLiteral("interrupted while dialing; hanging up"));
        return ExitInterrupted;
    }
    TDialupStatus status = m_controller.DialupStatus();
    if (status == usConnecting)
        status = usTimeOut;
    if (status != usConnected) {
        m_out.Error(QStringLiteral("Dialup fail. (%1 after %2 s)").arg(DialupStatusText(status)).arg(seconds));
        return ExitController;
    }
    if (!m_out.Json())
        m_out.Note(QStringLiteral("Connected after %1 s.").arg(seconds));
    return ExitOk;
}

QString LinkSession::SerialFailureReason() const
{
    // The port's own message says which device, why, and what to do.
    const QString reason = QString::fromStdString(m_controller.LinkFault());
    return reason.isEmpty() ? QStringLiteral("Cannot open serial port %1").arg(m_options.port) : reason;
}

} // namespace ctl
