// Program entry of the firmware burner.
#include "app/MessageBoxes.h"
#include "app/burn.h"
#include "component/Controller.h"

#include "common/IntConv.h"

#include <QApplication>

#include <cstdio>

namespace {

// Qt's own options, which QApplication takes out of the command line before
// the window sees it; those listed first take the next argument as value.
bool IsQtOption(const QByteArray &argument, bool *takesValue)
{
    static const char *const withValue[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                            "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
                                            "style", "stylesheet", "display", "geometry", "title", "name",
                                            "visual"};
    static const char *const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "qmljsdebugger"};
    *takesValue = false;
    if (argument.size() < 2 || argument.at(0) != '-')
        return false;
    QByteArray name = argument.mid(argument.startsWith("--") ? 2 : 1);
    const qsizetype equals = name.indexOf('=');
    const bool valueAttached = equals >= 0;
    if (valueAttached)
        name.truncate(equals);
    for (const char *option : withValue) {
        if (name == option) {
            *takesValue = !valueAttached;
            return true;
        }
    }
    for (const char *option : flags) {
        if (name == option)
            return true;
    }
    return false;
}

// The window's own arguments (Qt's options left out) and whether the user
// chose a platform on the command line.
QList<QByteArray> OwnArguments(int argc, char **argv, bool *platformChosen)
{
    QList<QByteArray> own;
    *platformChosen = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        bool takesValue = false;
        if (IsQtOption(argument, &takesValue)) {
            *platformChosen = *platformChosen || argument.startsWith("-platform") || argument.startsWith("--platform");
            if (takesValue)
                ++i;
            continue;
        }
        own.append(argument);
    }
    return own;
}

// The same test the window applies to its arguments: a first argument that
// converts to an integer, or any second argument, starts the silent
// command-line run.
bool IsCommandLineRun(const QList<QByteArray> &arguments)
{
    if (arguments.size() >= 2)
        return true;
    if (arguments.isEmpty())
        return false;
    return norvik::TryStrToInt(arguments.first().trimmed().toStdString()).has_value();
}

} // namespace

int main(int argc, char **argv)
{
    bool platformChosen = false;
    const QList<QByteArray> arguments = OwnArguments(argc, argv, &platformChosen);
    const bool haveDisplay = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                             qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || platformChosen;
    if (!haveDisplay) {
        if (IsCommandLineRun(arguments)) {
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
