#include "cli/Interrupt.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ctl {
namespace {

volatile std::sig_atomic_t g_requested = 0;
int g_wakeFds[2] = {-1, -1};

extern "C" void OnSigInt(int)
{
    g_requested = 1;
    const char byte = 1;
    // Only async-signal-safe calls here; a full socket buffer just drops the wake-up.
    [[maybe_unused]] const ssize_t written = ::write(g_wakeFds[0], &byte, 1);
}

void InstallHandler()
{
    struct sigaction action = {};
    action.sa_handler = OnSigInt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

Interrupt::DefaultAction::DefaultAction()
{
    ::signal(SIGINT, SIG_DFL);
}

Interrupt::DefaultAction::~DefaultAction()
{
    InstallHandler();
}

Interrupt::Interrupt()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_wakeFds) == 0) {
        // The handler must never block on a full buffer.
        ::fcntl(g_wakeFds[0], F_SETFL, ::fcntl(g_wakeFds[0], F_GETFL) | O_NONBLOCK);
        auto *notifier = new QSocketNotifier(g_wakeFds[1], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &Interrupt::onWake);
    }
    InstallHandler();
}

Interrupt &Interrupt::Install()
{
    static Interrupt *instance = new Interrupt; // lives until exit: the handler may fire at any time
    return *instance;
}

bool Interrupt::Requested()
{
    return g_requested != 0;
}

void Interrupt::onWake()
{
    char buffer[16];
    [[maybe_unused]] const ssize_t got = ::read(g_wakeFds[1], buffer, sizeof buffer);
    Q_EMIT requested();
}

} // namespace ctl
