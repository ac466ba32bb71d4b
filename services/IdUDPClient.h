#pragma once
// UDP datagram client of the network link: keeps the destination and the
// receive time-out, creates its socket on demand, sends a byte block as one
// datagram and waits a bounded time for one datagram. Blocking use only, on
// the thread that owns the client.
#include "common/Errors.h"

#include <memory>
#include <string>
#include <vector>

class QUdpSocket;

// Base of every failure the datagram client raises.
class EIdException : public norvik::NorvikError {
public:
    using NorvikError::NorvikError;
};

// A failed socket call: "Socket Error # <number>" CR LF <text of the number>.
class EIdSocketError : public EIdException {
public:
    explicit EIdSocketError(int errorNumber);
    int LastError() const { return m_lastError; }

    // The text the socket layer gives a number; empty for numbers it does not know.
    static std::string ErrorText(int errorNumber);

private:
    int m_lastError;
};

// The system refused a datagram as too large to send.
class EIdPackageSizeTooBig : public EIdException {
public:
    EIdPackageSizeTooBig() : EIdException("Package Size Too Big.") {}
};

// The system took fewer bytes than the datagram holds.
class EIdNotAllBytesSent : public EIdException {
public:
    EIdNotAllBytesSent() : EIdException("Not all bytes sent.") {}
};

class TIdUDPClient {
public:
    // Socket error numbers this client raises itself (see the .cpp for the mapping of the platform's errors).
    static constexpr int ErrDestAddrRequired = 10039;
    static constexpr int ErrMessageTooLong = 10040;
    static constexpr int ErrAddressFamily = 10047;
    static constexpr int ErrHostUnreachable = 10065;

    // Waits of ReceiveDatagram with a special meaning.
    static constexpr int WaitDefault = -1;  // use ReceiveTimeout
    static constexpr int WaitForever = -2;  // no limit

    TIdUDPClient();
    ~TIdUDPClient();
    TIdUDPClient(const TIdUDPClient &) = delete;
    TIdUDPClient &operator=(const TIdUDPClient &) = delete;

    std::string Host;
    int Port = 0;
    int ReceiveTimeout = WaitForever;
    int BufferSize = 8192; // kept for the property set; the operations below do not use it

    bool Active() const;
    void SetActive(bool value);
    bool BroadcastEnabled() const { return m_broadcastEnabled; }
    void SetBroadcastEnabled(bool value);

    // Sends count bytes as one datagram to Host:Port; creates the socket first if needed.
    void SendDatagram(const void *buffer, int count);

    // Waits at most `wait` ms (-1: ReceiveTimeout, -2: without limit, 0: only polls, other negatives:
    // nothing) for one datagram from any sender and copies it into buffer. Returns its length, 0 when
    // none came in time. A datagram longer than size is consumed and raises socket error 10040.
    int ReceiveDatagram(void *buffer, int size, int wait = WaitDefault);

    // Takes every datagram already queued on the socket, without waiting, and
    // returns them so the caller can say what it threw away; none when there
    // is no socket. Never raises.
    std::vector<std::string> DiscardPending();

    // The IPv4 address (dotted) that Host stands for; raises the socket error when it cannot be resolved.
    static std::string ResolveHost(const std::string &host);

    // Local UDP port of the socket (0 when there is none); lets peers and tests answer this client.
    int LocalPort() const;

private:
    void allocateSocket();
    void closeSocket();
    [[noreturn]] void raiseSocketError(int savedErrno);

    std::unique_ptr<QUdpSocket> m_socket;
    bool m_broadcastEnabled = false;
};
