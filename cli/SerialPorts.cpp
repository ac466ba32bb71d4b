#include "cli/SerialPorts.h"

#include "services/ComPort.h"

#include <QSerialPortInfo>

namespace ctl {

QString PortHolder(const QString &location)
{
    return QString::fromStdString(TComPort::LineHolder(location.toStdString()));
}

AutoPort FindAutoPort()
{
    QStringList adapters;
    QStringList others;
    AutoPort result;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        QString text = port.systemLocation();
        if (!port.description().isEmpty())
            text += QStringLiteral(" (%1)").arg(port.description());
        if (port.hasVendorIdentifier()) {
            adapters << text;
            result.port = port.systemLocation();
        } else {
            others << text;
        }
    }
    if (adapters.size() == 1)
        return result;
    result.port.clear();
    if (adapters.isEmpty()) {
        result.error = QStringLiteral("--port auto: no USB serial adapter is plugged in%1; plug one in, or name the port "
                                      "with --port ('norvik-ctl ports' lists them)")
                           .arg(others.isEmpty() ? QString()
                                                 : QStringLiteral(" (other ports: %1)").arg(others.join(QStringLiteral(", "))));
    } else {
        result.several = true;
        result.error = QStringLiteral("--port auto: %1 USB serial adapters are plugged in (%2); name one with --port")
                           .arg(adapters.size())
                           .arg(adapters.join(QStringLiteral(", ")));
    }
    return result;
}

} // namespace ctl
