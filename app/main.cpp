// Program entry of the firmware burner.
#include "app/MessageBoxes.h"
#include "app/burn.h"
#include "component/Controller.h"

#include "common/IntConv.h"

#include <QApplication>

#include <cstdio>

namespace {

// The same test the window applies to its arguments: a first argument that
// converts to an integer, or any second argument, starts the silent
// command-line run.
bool IsCommandLineRun(int argc, char **argv)
{
    if (argc > 2)
        return true;
    if (argc < 2)
        return false;
    const QByteArray first = QByteArray(argv[1]).trimmed();
    return norvik::TryStrToInt(first.toStdString()).has_value();
}

} // namespace

int main(int argc, char **argv)
{
    const bool haveDisplay = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                             qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    if (!haveDisplay) {
        if (IsCommandLineRun(argc, argv)) {
            // A command-line run is started from scripts and services without
            // a desktop: it shows nothing, so it needs none.
            qputenv("QT_QPA_PLATFORM", "offscreen");
        } else {
            // An interactive start without a display would run an invisible
            // window nobody can close.
            std::fprintf(stderr, "norvik-burner: no display (DISPLAY is not set). Start it from a desktop session, "
                                 "or give a controller ID and/or an IP address for the silent command-line run.\n");
            return 1;
        }
    }

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
