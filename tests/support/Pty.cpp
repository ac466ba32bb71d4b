#include "tests/support/Pty.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace norvik::test {

namespace {

void writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            throw std::runtime_error(std::string("pty write failed: ") + std::strerror(errno));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

} // namespace

Pty::Pty()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    // Raw from the start: bytes the device writes before the port is opened
    // must not be echoed or translated.
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    m_path = name;
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty()
{
    Wait();
    ::close(m_slave);
    ::close(m_master);
}

void Pty::Write(const std::string &bytes)
{
    writeAll(m_master, bytes.data(), bytes.size());
}

void Pty::Write(const std::vector<std::uint8_t> &bytes)
{
    writeAll(m_master, reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

void Pty::Play(std::vector<Chunk> script)
{
    Wait();
    m_player = std::thread([this, script = std::move(script)] {
        for (const Chunk &chunk : script) {
            if (chunk.delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(chunk.delayMs));
            writeAll(m_master, chunk.bytes.data(), chunk.bytes.size());
        }
    });
}

void Pty::Wait()
{
    if (m_player.joinable())
        m_player.join();
}

std::string Pty::Read(std::size_t count, int timeoutMs)
{
    std::string result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (result.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - result.size()));
        if (n <= 0)
            break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

std::string Pty::ReadUntilQuiet(int quietMs, int timeoutMs)
{
    std::string result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(quietMs, left.count()))) <= 0)
            break;
        char buffer[512];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

int Pty::PendingForCode() const
{
    int pending = 0;
    ::ioctl(m_slave, FIONREAD, &pending);
    return pending;
}

struct termios Pty::LineSettings() const
{
    struct termios settings {};
    ::tcgetattr(m_slave, &settings);
    return settings;
}

} // namespace norvik::test
