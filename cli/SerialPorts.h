#pragma once
// The serial ports as norvik-ctl shows and chooses them: which program holds
// a port, and "--port auto", the one USB serial adapter that is plugged in.
#include <QString>
#include <QStringList>

namespace ctl {

// Who holds the device ("process 1234 (minicom)"), empty when nobody does as
// far as the system tells (lock files and whole-file locks).
QString PortHolder(const QString &location);

struct AutoPort {
    QString port;       // the adapter's device path when exactly one is present
    QString error;      // otherwise why not, naming the adapters (or the other ports)
    bool several = false;
};
// The one USB serial adapter present (a port with a USB vendor ID).
AutoPort FindAutoPort();

} // namespace ctl
