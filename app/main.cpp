// Program entry of the firmware burner.
#include "app/burn.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // A command-line run is often started from a script or a service without
    // a desktop; let it run there too.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(TfrmBurn::ApplicationTitle);

    TfrmBurn frmBurn(QApplication::arguments());
    if (frmBurn.TerminateRequested())
        return 0;
    QObject::connect(&frmBurn, &TfrmBurn::exitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    frmBurn.show();
    return app.exec();
}
