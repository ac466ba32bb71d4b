// Program entry of the firmware burner.
#include "app/MessageBoxes.h"
#include "app/burn.h"
#include "component/Controller.h"

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
    // The component's About box is a modal information box with no owner window.
    TController::SetAboutHook([](const std::string &caption, const std::string &text) {
        norvik::DefaultMessageBoxes()->Information(nullptr, QString::fromLatin1(QByteArray::fromStdString(caption)),
                                                   QString::fromLatin1(QByteArray::fromStdString(text)));
    });

    TfrmBurn frmBurn(QApplication::arguments());
    if (frmBurn.TerminateRequested())
        return 0;
    frmBurn.show();
    return app.exec();
}
