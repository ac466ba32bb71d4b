#include "cli/Interrupt.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ctl {
namespace {

// The first caught signal's number; 0 until one arrives.
volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_everyEnding = 0;
int g_wakeFds[2] = {-1, -1};

constexpr int kEndings[] = {SIGTERM, SIGHUP, SIGPIPE};

extern "C" void OnSignal(int number)
{
    if (g_signal == 0)
        g_signal = number;
    // Every later write to the closed pipe fails with EPIPE by itself; one
    // wake-up is enough.
    if (number == SIGPIPE)
        ::signal(SIGPIPE, SIG_IGN);
    const char byte = 1;
    // Only async-signal-safe calls here; a full socket buffer just drops the wake-up.
    [[maybe_unused]] const ssize_t written = ::write(g_wakeFds[0], &byte, 1);
}

void Catch(int number)
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

void InstallHandlers()
{
    Catch(SIGINT);
    if (g_everyEnding)
        for (const int number : kEndings)
            Catch(number);
}

} // namespace

Interrupt::DefaultAction::DefaultAction()
{
    ::signal(SIGINT, SIG_DFL);
    if (g_everyEnding)
        for (const int number : kEndings)
            ::signal(number, SIG_DFL);
}

Interrupt::DefaultAction::~DefaultAction()
{
    InstallHandlers();
}

Interrupt::Interrupt()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_wakeFds) == 0) {
        // The handler must never block on a full buffer.
        ::fcntl(g_wakeFds[0], F_SETFL, ::fcntl(g_wakeFds[0], F_GETFL) | O_NONBLOCK);
        auto *notifier = new QSocketNotifier(g_wakeFds[1], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &Interrupt::onWake);
    }
    InstallHandlers();
}

Interrupt &Interrupt::Install()
{
    static Interrupt *instance = new Interrupt; // lives until exit: the handler may fire at any time
    return *instance;
}

void Interrupt::CatchEveryEnding()
{
    Install();
    g_everyEnding = 1;
    InstallHandlers();
}

bool Interrupt::Requested()
{
    return g_signal != 0;
}

int Interrupt::ExitCode()
{
    return 128 + (g_signal != 0 ? static_cast<int>(g_signal) : SIGINT);
}

QString Interrupt::What()
{
    switch (g_signal) {
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    case SIGPIPE: return QStringLiteral("SIGPIPE");
    default: return QStringLiteral("Ctrl-C");
    }
}

void Interrupt::onWake()
{
    char buffer[16];
    [[maybe_unused]] const ssize_t got = ::read(g_wakeFds[1], buffer, sizeof buffer);
    Q_EMIT requested();
}

} // namespace ctl
