#pragma once
// A pseudo-terminal pair standing in for a serial device: the code under test
// opens DevicePath() like a real port, and the test plays the device on the
// other side, writing chunks (at once or later, with delays) and reading what
// the code sent.
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace norvik::test {

class Pty {
public:
    // One piece of the device's script: wait delayMs, then write bytes.
    struct Chunk {
        int delayMs = 0;
        std::string bytes;
    };

    Pty(); // throws std::runtime_error when the system has no pseudo-terminals
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // The path the code under test opens ("/dev/pts/N").
    const std::string &DevicePath() const { return m_path; }

    // Writes bytes from the device side at once.
    void Write(const std::string &bytes);
    void Write(const std::vector<std::uint8_t> &bytes);

    // Plays chunks on a thread of its own, starting now; Wait() for the end.
    // A new script waits for the previous one first.
    void Play(std::vector<Chunk> script);
    void Wait();

    // Reads what the code sent: returns when `count` bytes are there or when
    // timeoutMs has passed, with whatever arrived.
    std::string Read(std::size_t count, int timeoutMs = 1000);
    // Reads everything arriving until the line has been quiet for quietMs
    // (bounded by timeoutMs in all).
    std::string ReadUntilQuiet(int quietMs = 50, int timeoutMs = 2000);

    // Bytes written by the device that are still queued in the terminal
    // (not yet taken by the code's port).
    int PendingForCode() const;

    // The line settings the code's port has put on the terminal.
    struct termios LineSettings() const;

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the device side never sees a hang-up
    std::string m_path;
    std::thread m_player;
};

} // namespace norvik::test
