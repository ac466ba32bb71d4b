// Program entry of the firmware burner.
#include "app/MessageBoxes.h"
#include "app/burn.h"
#include "component/Controller.h"

#include "common/IntConv.h"
#include "services/ComPort.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

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

void PrintHelp()
{
    std::printf(
        "Usage: norvik-burner [ID [IP-ADDRESS]]\n"
        "\n"
        "Upgrades the firmware of Norvik door-access controllers from an Intel-HEX file, reads\n"
        "their identity, writes their serial number and ID, and sets their clock, over a serial\n"
        "line, the network (UDP) or a dial-up modem. Without arguments it opens its window.\n"
        "\n"
        "Arguments:\n"
        "  ID            the controller ID for the silent run (1 to 128; another number keeps 1)\n"
        "  IP-ADDRESS    the controller's network address for the silent run\n"
        "\n"
        "Either one starts the silent command-line run: the window's \"Controller Info\" over the\n"
        "network link (UDP port 1001), twice, without any message; then the program ends with\n"
        "exit status 0. It needs no display.\n"
        "\n"
        "Options (each as the only argument):\n"
        "  -h, --help    this text\n"
        "  --version     the program's version\n"
        "\n"
        "Serial ports:\n"
        "  The window offers COM1 to COM10, then the ports the system reports, by device path.\n"
        "  A name that starts with \"/\" is a device path; COMn is the device in NORVIK_COMn\n"
        "  when it is set, else /dev/ttyS(n-1).\n"
        "  %s\n"
        "\n"
        "*Exit status*\n"
        "  0    the window was closed, or the silent run ended\n"
        "  1    no display for the window (DISPLAY and WAYLAND_DISPLAY are not set)\n"
        "\n"
        "Environment:\n"
        "  NORVIK_COMn          the device the port name COMn stands for, for example\n"
        "                       NORVIK_COM3=/dev/ttyUSB0\n"
        "  XDG_DATA_HOME        the folder of the upgrade history (default ~/.local/share)\n"
        "  XDG_RUNTIME_DIR, XDG_CACHE_HOME\n"
        "                       where the work file goes when the program's folder is\n"
        "                       read-only\n"
        "  DISPLAY, WAYLAND_DISPLAY\n"
        "                       the desktop the window opens on\n"
        "\n"
        "Files:\n"
        "  temp.hex             the download's work file: beside the program when that folder\n"
        "                       is writable and not a system folder (under /usr, /bin,\n"
        "                       /sbin, /lib or /opt), else $XDG_RUNTIME_DIR/norvik-burner or\n"
        "                       ~/.cache/norvik-burner; deleted when the window closes\n"
        "  $XDG_DATA_HOME/norvik/history.sqlite\n"
        "                       the upgrade history: a row for every download of the window\n"
        "                       and of norvik-ctl (norvik-ctl history lists it)\n"
        "\n"
        "Examples:\n"
        "  Open the window:\n"
        "      $ norvik-burner\n"
        "  Read controller 3 at 10.0.0.5 silently, as a service check:\n"
        "      $ norvik-burner 3 10.0.0.5\n",
        TComPort::DialoutHint().c_str());
}

} // namespace

int main(int argc, char **argv)
{
    // Help and version need neither a display nor the window. Only as the
    // only argument: any first argument together with a second one starts
    // the silent run, as it always has.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintHelp();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("norvik-burner %s\n", NORVIK_VERSION);
        return 0;
    }

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
