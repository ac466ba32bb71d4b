// norvik-sim: simulated controllers (and a modem) for rehearsing with the burner
// and for the end-to-end tests. See --help.
#include "sim/SimBus.h"
#include "sim/SimConfig.h"
#include "sim/SimLinks.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the number goes through a socket pair into
// the event loop, which does the rest.
void onSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool installSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Every endpoint's controllers in one list; with several endpoints each
// controller says which endpoint it sits behind.
bool writeState(const std::vector<std::unique_ptr<nsim::SimBus>> &buses, const QStringList &endpoints,
                const QString &path)
{
    QJsonArray all;
    for (std::size_t k = 0; k < buses.size(); ++k) {
        const QJsonArray list = buses[k]->state().object().value(QStringLiteral("controllers")).toArray();
        for (const QJsonValue &value : list) {
            QJsonObject controller = value.toObject();
            if (buses.size() > 1)
                controller[QStringLiteral("udp")] = endpoints.value(static_cast<qsizetype>(k));
            all.append(controller);
        }
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("controllers"), all}}).toJson(QJsonDocument::Indented));
    return file.commit();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    // "--version MAJ.MIN" sets the simulated firmware's version; alone, it asks
    // for this program's own version, as it does of the other programs.
    if (args == QStringList{QStringLiteral("--version")}) {
        std::printf("norvik-sim %s\n", NORVIK_VERSION);
        return 0;
    }

    const nsim::ParseResult parsed = nsim::parseSimArguments(args);
    if (parsed.kind == nsim::ParseResult::Help) {
        std::fputs(nsim::simHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.kind == nsim::ParseResult::Error) {
        std::fprintf(stderr, "norvik-sim: %s\nTry 'norvik-sim --help'.\n", parsed.error.toLocal8Bit().constData());
        return 2;
    }
    const nsim::SimConfig &config = parsed.config;

    if (!installSignals()) {
        std::perror("norvik-sim: cannot install signal handlers");
        return 1;
    }

    // One bus per UDP endpoint; the first also serves the serial side.
    std::vector<std::unique_ptr<nsim::SimBus>> buses;
    for (int k = 0; k < std::max<int>(1, static_cast<int>(config.udp.size())); ++k)
        buses.push_back(std::make_unique<nsim::SimBus>(config.forEndpoint(k)));
    nsim::SimBus &bus = *buses.front();
    std::vector<std::unique_ptr<nsim::UdpLink>> udp;
    std::unique_ptr<nsim::TtyLink> tty;
    QString error;
    QStringList ready;
    QStringList endpoints;
    for (int k = 0; k < static_cast<int>(config.udp.size()); ++k) {
        const QString name = k == 0 ? QStringLiteral("udp") : QStringLiteral("udp%1").arg(k + 1);
        udp.push_back(std::make_unique<nsim::UdpLink>(*buses[static_cast<std::size_t>(k)], name));
        if (!udp.back()->open(config.udp.at(k), &error)) {
            std::fprintf(stderr, "norvik-sim: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        ready << udp.back()->description();
        endpoints << udp.back()->description().mid(4);
    }
    if (!config.pty.isEmpty() || !config.device.isEmpty()) {
        tty = std::make_unique<nsim::TtyLink>(bus);
        const bool ok = config.pty.isEmpty() ? tty->openDevice(config.device, &error)
                                             : tty->openPty(config.pty, &error);
        if (!ok) {
            std::fprintf(stderr, "norvik-sim: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        ready << tty->description();
        if (config.modem.enabled)
            ready << QStringLiteral("modem");
        QObject::connect(tty.get(), &nsim::TtyLink::failed, &app, [&](const QString &reason) {
            std::fprintf(stderr, "norvik-sim: %s\n", reason.toLocal8Bit().constData());
            app.exit(1);
        });
    }

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char number = 0;
        if (::read(g_signalPipe[0], &number, 1) != 1)
            return;
        if (number == SIGUSR1) {
            for (const auto &each : buses)
                each->powerCycleAll();
        } else if (number == SIGUSR2) {
            for (const auto &each : buses)
                each->addEvents();
        } else {
            app.quit();
        }
    });

    QTimer events;
    if (config.eventEveryMs > 0) {
        QObject::connect(&events, &QTimer::timeout, &app, [&] {
            for (const auto &each : buses)
                each->addEvents();
        });
        events.start(config.eventEveryMs);
    }

    QStringList ids;
    for (const auto &c : config.controllers)
        ids << QString::number(c.id);
    ready << QStringLiteral("ids=%1").arg(ids.join(QLatin1Char(',')));
    std::printf("ready %s\n", ready.join(QLatin1Char(' ')).toLocal8Bit().constData());
    std::fflush(stdout);

    const int status = app.exec();

    if (!config.stateFile.isEmpty() && !writeState(buses, endpoints, config.stateFile)) {
        std::fprintf(stderr, "norvik-sim: cannot write the state file '%s'\n",
                     config.stateFile.toLocal8Bit().constData());
        return status == 0 ? 1 : status;
    }
    return status;
}
