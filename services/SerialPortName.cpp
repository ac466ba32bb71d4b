#include "services/SerialPortName.h"

#include <QByteArray>

#include <cctype>
#include <string>

namespace norvik {

std::string SerialDevicePath(const std::string &portName)
{
    if (!portName.empty() && portName.front() == '/')
        return portName;

    // "COMn": the window offers COM1..COM10; a test or a user with a USB
    // adapter points a number at any device through the environment.
    if (portName.size() > 3 && (portName[0] == 'C' || portName[0] == 'c') &&
        (portName[1] == 'O' || portName[1] == 'o') && (portName[2] == 'M' || portName[2] == 'm')) {
        const std::string digits = portName.substr(3);
        bool allDigits = digits.size() <= 6;
        for (char c : digits)
            allDigits = allDigits && std::isdigit(static_cast<unsigned char>(c));
        if (allDigits) {
            const long number = std::stol(digits);
            if (number >= 1) {
                const QByteArray variable = "NORVIK_COM" + QByteArray::number(static_cast<qlonglong>(number));
                const QByteArray mapped = qgetenv(variable.constData());
                if (!mapped.isEmpty())
                    return mapped.toStdString();
                return "/dev/ttyS" + std::to_string(number - 1);
            }
        }
    }
    return "/dev/" + portName;
}

} // namespace norvik
