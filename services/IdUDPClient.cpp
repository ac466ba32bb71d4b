#include "services/IdUDPClient.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QUdpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// Raised for a negative count or size and a port outside 0..65535.
constexpr int ErrInvalidArgument = 10022;

// The socket layer's numbers and texts; the numbers are what users quote in
// support calls, so they stay the same on every platform.
struct ErrorEntry {
    int number;
    const char *text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

// The platform's error number of a failed send or receive, as the socket
// layer numbers it; 0 when it has no counterpart.
int numberFromErrno(int err)
{
    switch (err) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
#if defined(EWOULDBLOCK) && EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return 10035;
#endif
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT: return 10044;
#endif
    case EOPNOTSUPP: return 10045;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT: return 10046;
#endif
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // On a datagram socket a refusal is the destination's "port unreachable"
    // for an earlier datagram, which the socket layer reports as a reset.
    case ECONNREFUSED:
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
#ifdef ESHUTDOWN
    case ESHUTDOWN: return 10058;
#endif
#ifdef ETOOMANYREFS
    case ETOOMANYREFS: return 10059;
#endif
    case ETIMEDOUT: return 10060;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return 10064;
#endif
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return 0;
    }
}

// Qt's classification of a failed socket call, mapped to the nearest number.
// The platform's own number is preferred where Qt only says "network error".
int numberFromQt(QAbstractSocket::SocketError error, int savedErrno)
{
    if (error == QAbstractSocket::NetworkError || error == QAbstractSocket::UnknownSocketError) {
        if (const int n = numberFromErrno(savedErrno))
            return n;
    }
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::RemoteHostClosedError: return 10054;
    case QAbstractSocket::HostNotFoundError: return TIdUDPClient::ErrHostUnreachable;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10055;
    case QAbstractSocket::SocketTimeoutError: return 10060;
    case QAbstractSocket::DatagramTooLargeError: return TIdUDPClient::ErrMessageTooLong;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045;
    case QAbstractSocket::UnfinishedSocketOperationError: return 10036;
    case QAbstractSocket::TemporaryError: return 10035;
    case QAbstractSocket::NetworkError: return 10050;
    default: return 10022;
    }
}

// "Four dot-separated decimal numbers, each 0..255": leading zeros are
// allowed and never make a part octal. Returns false for anything else.
bool parseDottedQuad(const std::string &text, quint32 &address)
{
    quint32 result = 0;
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 255)
                return false;
            ++i;
        }
        result = (result << 8) | value;
        ++parts;
        if (parts == 4)
            break;
        if (i >= text.size() || text[i] != '.')
            return false;
        ++i;
    }
    if (i != text.size())
        return false;
    address = result;
    return true;
}

bool equalsIgnoringCase(const std::string &a, const char *b)
{
    const std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return true;
}

} // namespace

EIdSocketError::EIdSocketError(int errorNumber)
    : EIdException("Socket Error # " + std::to_string(errorNumber) + "\r\n" + ErrorText(errorNumber)),
      m_lastError(errorNumber)
{
}

std::string EIdSocketError::ErrorText(int errorNumber)
{
    for (const ErrorEntry &entry : kErrorTexts) {
        if (entry.number == errorNumber)
            return entry.text;
    }
    return {};
}

TIdUDPClient::TIdUDPClient() = default;

TIdUDPClient::~TIdUDPClient()
{
    closeSocket();
}

bool TIdUDPClient::Active() const
{
    return m_socket != nullptr;
}

void TIdUDPClient::SetActive(bool value)
{
    if (value)
        allocateSocket();
    else
        closeSocket();
}

void TIdUDPClient::SetBroadcastEnabled(bool value)
{
    // Applied when the socket is created, as the link has always done.
    m_broadcastEnabled = value;
}

int TIdUDPClient::LocalPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

void TIdUDPClient::allocateSocket()
{
    if (m_socket)
        return;
    auto socket = std::make_unique<QUdpSocket>();
    // Any local address, a port of the system's choice: the same as the
    // system does at the first send, but done now so that a receive before
    // any send can wait on the socket.
    if (!socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        throw EIdException("Cannot allocate socket.");
    const int enable = m_broadcastEnabled ? 1 : 0;
#ifdef Q_OS_WIN
    const int rc = ::setsockopt(static_cast<SOCKET>(socket->socketDescriptor()), SOL_SOCKET, SO_BROADCAST,
                                reinterpret_cast<const char *>(&enable), sizeof enable);
#else
    const int rc = ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &enable,
                                sizeof enable);
#endif
    if (rc != 0) {
        const int savedErrno = errno;
        socket->close();
        const int n = numberFromErrno(savedErrno);
        throw EIdSocketError(n ? n : 10042);
    }
    m_socket = std::move(socket);
}

void TIdUDPClient::closeSocket()
{
    if (!m_socket)
        return;
    m_socket->close();
    m_socket.reset();
}

void TIdUDPClient::raiseSocketError(int savedErrno)
{
    const int number = numberFromQt(m_socket->error(), savedErrno);
    // Qt closes a socket after some failures; drop it then, so that the next
    // call creates a fresh one and the client stays usable.
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        closeSocket();
    throw EIdSocketError(number);
}

std::string TIdUDPClient::ResolveHost(const std::string &host)
{
    if (equalsIgnoringCase(host, "LOCALHOST"))
        return "127.0.0.1";
    quint32 address = 0;
    if (parseDottedQuad(host, address))
        return QHostAddress(address).toString().toStdString();
    if (host.empty())
        throw EIdSocketError(ErrDestAddrRequired);
    const QHostInfo info = QHostInfo::fromName(QString::fromLatin1(host.data(), static_cast<qsizetype>(host.size())));
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        throw EIdSocketError(ErrHostUnreachable);
    for (const QHostAddress &candidate : info.addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate.toString().toStdString();
    }
    throw EIdSocketError(ErrAddressFamily);
}

void TIdUDPClient::SendDatagram(const void *buffer, int count)
{
    if (count < 0)
        throw EIdSocketError(ErrInvalidArgument);
    allocateSocket();
    const QHostAddress destination(QString::fromStdString(ResolveHost(Host)));
    if (Port < 0 || Port > 65535)
        throw EIdSocketError(ErrInvalidArgument);
    errno = 0;
    const qint64 sent = m_socket->writeDatagram(static_cast<const char *>(buffer), count, destination,
                                                static_cast<quint16>(Port));
    if (sent < 0) {
        const int savedErrno = errno;
        if (m_socket->error() == QAbstractSocket::DatagramTooLargeError || savedErrno == EMSGSIZE)
            throw EIdPackageSizeTooBig();
        raiseSocketError(savedErrno);
    }
    if (sent < count)
        throw EIdNotAllBytesSent();
}

int TIdUDPClient::ReceiveDatagram(void *buffer, int size, int wait)
{
    if (size < 0)
        throw EIdSocketError(ErrInvalidArgument);
    if (wait == WaitDefault)
        wait = ReceiveTimeout;
    allocateSocket();
    if (wait < 0 && wait != WaitForever)
        return 0;
    if (!m_socket->hasPendingDatagrams()) {
        errno = 0;
        if (!m_socket->waitForReadyRead(wait == WaitForever ? -1 : wait)) {
            const int savedErrno = errno;
            if (m_socket->error() == QAbstractSocket::SocketTimeoutError)
                return 0;
            raiseSocketError(savedErrno);
        }
        if (!m_socket->hasPendingDatagrams())
            return 0;
    }
    const qint64 pending = m_socket->pendingDatagramSize();
    if (pending > size) {
        // Never cut a datagram silently: take it off the queue and refuse it.
        QByteArray discard(static_cast<qsizetype>(pending > 0 ? pending : 1), '\0');
        m_socket->readDatagram(discard.data(), discard.size());
        throw EIdSocketError(ErrMessageTooLong);
    }
    errno = 0;
    const qint64 received = m_socket->readDatagram(static_cast<char *>(buffer), size);
    if (received < 0) {
        const int savedErrno = errno;
        raiseSocketError(savedErrno);
    }
    return static_cast<int>(received);
}

std::vector<std::string> TIdUDPClient::DiscardPending()
{
    std::vector<std::string> discarded;
    if (!m_socket)
        return discarded;
    // Bounded, so that a peer flooding the port cannot hold the caller here.
    for (int i = 0; i < 64 && m_socket->hasPendingDatagrams(); ++i) {
        const qint64 size = std::max<qint64>(m_socket->pendingDatagramSize(), 0);
        std::string bytes(static_cast<std::size_t>(std::max<qint64>(size, 1)), '\0');
        const qint64 received = m_socket->readDatagram(bytes.data(), static_cast<qint64>(bytes.size()));
        if (received < 0)
            break;
        bytes.resize(static_cast<std::size_t>(received));
        discarded.push_back(std::move(bytes));
    }
    return discarded;
}
