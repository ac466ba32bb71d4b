#pragma once
// A controller on the network link for the window tests: a UDP socket on
// 127.0.0.1 served by its own thread, so it answers while the window's
// blocking exchange holds the test's thread. It records every request and
// answers each with whatever the test's script returns.
#include "tests/support/FakeLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace norvik::test {

using Bytes8 = FakeLink::Bytes;

class ScriptedController {
public:
    using Script = std::function<std::optional<Bytes8>(const Bytes8 &request)>;

    // Listens on 127.0.0.1 at a free port unless told otherwise.
    explicit ScriptedController(Script script = {}, const char *address = "127.0.0.1", std::uint16_t port = 0)
        : m_script(std::move(script))
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (m_fd < 0)
            throw std::runtime_error("socket");
        sockaddr_in socketAddress{};
        socketAddress.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &socketAddress.sin_addr);
        socketAddress.sin_port = htons(port);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&socketAddress), sizeof socketAddress) != 0) {
            ::close(m_fd);
            throw std::runtime_error(std::string("bind ") + address);
        }
        socklen_t length = sizeof socketAddress;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&socketAddress), &length);
        m_port = ntohs(socketAddress.sin_port);
        m_thread = std::thread([this] { Run(); });
    }

    ~ScriptedController()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

    ScriptedController(const ScriptedController &) = delete;
    ScriptedController &operator=(const ScriptedController &) = delete;

    std::uint16_t Port() const { return m_port; }

    std::vector<Bytes8> Requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // Requests with the given command code (frame byte 2).
    std::vector<Bytes8> RequestsWithCode(std::uint8_t code) const
    {
        std::vector<Bytes8> out;
        for (const Bytes8 &r : Requests())
            if (r.size() > 2 && r[2] == code)
                out.push_back(r);
        return out;
    }

    void SetScript(Script script)
    {
        std::lock_guard lock(m_mutex);
        m_script = std::move(script);
    }

private:
    void Run()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t buffer[2048];
            sockaddr_in sender{};
            socklen_t length = sizeof sender;
            const ssize_t n =
                ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender), &length);
            if (n < 0)
                continue;
            const Bytes8 request(buffer, buffer + n);
            Script script;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
                script = m_script;
            }
            if (!script)
                continue;
            if (const auto reply = script(request))
                ::sendto(m_fd, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr *>(&sender), length);
        }
    }

    int m_fd = -1;
    std::uint16_t m_port = 0;
    Script m_script;
    mutable std::mutex m_mutex;
    std::vector<Bytes8> m_requests;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The replies of a healthy controller with the given identity.
struct ControllerIdentity {
    std::uint8_t id = 1;
    std::uint16_t version = 0x020A;
    std::uint16_t typeCode = 261;
    std::uint16_t cardMax = 1000;
    std::uint16_t recordMax = 4000;
    std::uint16_t sortCardCount = 10;
    std::uint16_t unsortCardCount = 5;
    std::uint16_t recordCount = 500;
    std::string sn = "12345678";
};

inline ScriptedController::Script HealthyController(ControllerIdentity who)
{
    return [who](const Bytes8 &request) -> std::optional<Bytes8> {
        if (request.size() < 5)
            return std::nullopt;
        const std::uint8_t code = request[2];
        auto hiLo = [](Bytes8 &out, std::uint16_t v) {
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        };
        switch (code) {
        case 0x42: {
            Bytes8 data{0x00};
            hiLo(data, who.typeCode);
            hiLo(data, who.version);
            hiLo(data, who.cardMax);
            hiLo(data, who.recordMax);
            hiLo(data, who.sortCardCount);
            hiLo(data, who.unsortCardCount);
            hiLo(data, who.recordCount);
            return FakeLink::Frame(who.id, 0x42, data);
        }
        case 0x28: {
            Bytes8 data{0x00};
            for (char c : who.sn) // element-wise: GCC 12 misreads a range insert here (-Warray-bounds)
                data.push_back(static_cast<std::uint8_t>(c));
            return FakeLink::Frame(who.id, 0x28, data);
        }
        case 0x29: {
            Bytes8 data{0x00};
            for (auto it = request.begin() + 4; it != request.begin() + 12; ++it)
                data.push_back(*it);
            return FakeLink::Frame(who.id, 0x29, data);
        }
        default:
            return FakeLink::Frame(who.id, code, Bytes8{code, 0x00});
        }
    };
}

} // namespace norvik::test
