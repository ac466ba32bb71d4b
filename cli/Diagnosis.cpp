#include "cli/Diagnosis.h"

#include "component/Controller.h"
#include "services/SerialPortName.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>

namespace ctl {

namespace {

// Exactly four decimal numbers 0 to 255 joined by dots, as the link takes them.
bool IsDottedQuad(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        bool number = false;
        const int value = part.toInt(&number);
        if (part.isEmpty() || part.size() > 3 || !number || value < 0 || value > 255 || part.startsWith(QLatin1Char('+')))
            return false;
    }
    return true;
}

QString PortText(const Options &options)
{
    const QString device = QString::fromStdString(norvik::SerialDevicePath(options.port.toStdString()));
    if (device == options.port)
        return options.port;
    return QStringLiteral("%1 (%2)").arg(options.port, device);
}

QString WaitText(const Options &options, int tries)
{
    if (options.Link() == LinkKind::Network && tries > 1)
        return QStringLiteral("%1 ms (--timeout), asked %2 times (--tries)").arg(options.timeout).arg(tries);
    if (options.Link() == LinkKind::Network)
        return QStringLiteral("%1 ms (--timeout)").arg(options.timeout);
    return QStringLiteral("%1 reads %2 ms apart (--retry, --retry-sleep)").arg(options.retry).arg(options.retrySleep);
}

QStringList NoAnswerAdvice(const Options &options)
{
    QStringList advice;
    advice << QStringLiteral("check the controller's ID (--id %1): 'norvik-ctl scan' lists the IDs that answer")
                  .arg(options.id);
    if (options.Link() == LinkKind::Network) {
        advice << QStringLiteral("check the address and UDP port (--host %1 --udp-port %2), and that the controller "
                                 "is powered and reachable")
                      .arg(options.host)
                      .arg(options.udpPort);
    } else {
        QString port = QStringLiteral("check the port (--port %1%2): 'norvik-ctl ports' lists the serial ports, "
                                      "'--port auto' takes the one USB adapter")
                           .arg(options.port, options.portGiven ? QString() : QStringLiteral(", used since no --port was given"));
        advice << port;
        if (options.Link() == LinkKind::Serial)
            advice << QStringLiteral("check the cable and the controller's power, or wait longer (--retry)");
    }
    advice << QStringLiteral("a controller that a download left half way waits in its boot loader and answers no "
                             "command: finish it with 'norvik-ctl download FILE --in-bootloader'");
    return advice;
}

} // namespace

QString LinkText(const Options &options)
{
    switch (options.Link()) {
    case LinkKind::Network:
        return QStringLiteral("the network link to %1:%2").arg(options.host).arg(options.udpPort);
    case LinkKind::Modem:
        return QStringLiteral("the modem on %1, number %2").arg(PortText(options), options.phone);
    case LinkKind::Serial:
        break;
    }
    return QStringLiteral("serial port %1").arg(PortText(options));
}

QString RefusedText(int status)
{
    const QString hex = QStringLiteral("%1").arg(status, 2, 16, QLatin1Char('0')).toUpper();
    return QStringLiteral("refused by the controller (status %1)").arg(hex);
}

Diagnosis Diagnose(const Options &options, const TController &controller, const QString &what, int tries)
{
    Diagnosis d;
    d.status = controller.LastReplyStatus();
    const QString action = what.isEmpty() ? options.command : what;
    if (d.status > 0) {
        d.kind = Diagnosis::Refused;
        d.message = QStringLiteral("%1 on controller ID %2 (%3): %4")
                        .arg(action)
                        .arg(options.id)
                        .arg(LinkText(options), RefusedText(d.status));
    } else if (d.status == 0) {
        d.kind = Diagnosis::Unexpected;
        d.message = QStringLiteral("%1 on controller ID %2 (%3): the controller answered, but not with what the "
                                   "command expects")
                        .arg(action)
                        .arg(options.id)
                        .arg(LinkText(options));
    } else {
        d.kind = Diagnosis::NoAnswer;
        d.message = QStringLiteral("%1: no answer from controller ID %2 on %3 within %4")
                        .arg(action)
                        .arg(options.id)
                        .arg(LinkText(options), WaitText(options, tries));
        d.advice = NoAnswerAdvice(options);
    }
    return d;
}

QString AddressProblem(const QString &host)
{
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    if (!numeric.match(host).hasMatch() || IsDottedQuad(host))
        return {};
    return QStringLiteral("--host: '%1' is not an IPv4 address (four numbers from 0 to 255, like 192.168.1.100)")
        .arg(host);
}

QString HostProblem(const Options &options)
{
    if (options.Link() != LinkKind::Network || IsDottedQuad(options.host) ||
        options.host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return {};
    const QHostInfo info = QHostInfo::fromName(options.host);
    bool ipv4 = false;
    for (const QHostAddress &address : info.addresses())
        ipv4 = ipv4 || address.protocol() == QAbstractSocket::IPv4Protocol;
    if (info.error() == QHostInfo::NoError && ipv4)
        return {};
    return QStringLiteral("the host name '%1' does not resolve%2: check its spelling, or give the controller's IP "
                          "address (--host 192.168.1.100)")
        .arg(options.host, info.error() == QHostInfo::NoError ? QStringLiteral(" to an IPv4 address") : QString());
}

} // namespace ctl
