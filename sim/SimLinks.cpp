#include "sim/SimLinks.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTimer>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace nsim {

// ---------------------------------------------------------------- UDP

UdpLink::UdpLink(SimBus &bus, const QString &linkName, QObject *parent)
    : QObject(parent), m_bus(bus), m_name(linkName), m_session(bus, linkName, true),
      m_lossPerMillion(static_cast<std::uint64_t>(std::llround(bus.config().dropPercent * 10000.0)))
{
    // Seed and endpoint mixed, not added: with seed + index, seed 2 would
    // replay seed 1's draws one endpoint over.
    const quint64 seed = bus.config().dropSeed;
    std::seed_seq mix{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                      static_cast<std::uint32_t>(bus.config().dropStream)};
    m_loss.seed(mix);
    connect(&m_socket, &QUdpSocket::readyRead, this, &UdpLink::readPending);
}

bool UdpLink::lose()
{
    return m_lossPerMillion > 0 && m_loss() % 1000000 < m_lossPerMillion;
}

bool UdpLink::open(const QString &hostPort, QString *error)
{
    const int colon = hostPort.lastIndexOf(QLatin1Char(':'));
    const QHostAddress address(hostPort.left(colon));
    const quint16 port = static_cast<quint16>(hostPort.mid(colon + 1).toUInt());
    if (address.isNull()) {
        *error = QStringLiteral("'%1' is not an IP address").arg(hostPort.left(colon));
        return false;
    }
    if (!m_socket.bind(address, port)) {
        *error = QStringLiteral("cannot listen on UDP %1: %2").arg(hostPort, m_socket.errorString());
        return false;
    }
    return true;
}

QString UdpLink::description() const
{
    return QStringLiteral("udp=%1:%2").arg(m_socket.localAddress().toString()).arg(m_socket.localPort());
}

void UdpLink::readPending()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        if (lose()) {
            m_bus.trace(m_name, "RX", datagram.data(), m_session.readsRecordText(), QStringLiteral("lost (--drop)"));
            continue;
        }
        const QHostAddress peer = datagram.senderAddress();
        const quint16 peerPort = static_cast<quint16>(datagram.senderPort());
        // Record text is answered with letters, frames with frames.
        const bool text = m_session.readsRecordText();
        for (const Write &w : m_session.receive(datagram.data())) {
            // Each write is one datagram to whoever asked; whether it is lost
            // is drawn now, in the order of the requests, so a seed repeats.
            if (lose()) {
                m_bus.trace(m_name, "TX", w.bytes, text, QStringLiteral("lost (--drop)"));
                continue;
            }
            if (w.delayMs <= 0) {
                m_socket.writeDatagram(w.bytes, peer, peerPort);
            } else {
                QTimer::singleShot(w.delayMs, this, [this, bytes = w.bytes, peer, peerPort] {
                    m_socket.writeDatagram(bytes, peer, peerPort);
                });
            }
        }
    }
}

// ---------------------------------------------------------------- tty

TtyLink::TtyLink(SimBus &bus, QObject *parent)
    : QObject(parent), m_bus(bus), m_session(bus, QStringLiteral("serial"), false)
{
    if (bus.config().modem.enabled)
        m_modem = std::make_unique<SimModem>(bus, m_session, bus.config().modem);
}

TtyLink::~TtyLink()
{
    if (!m_linkPath.isEmpty()) {
        // Remove our link only if it still points at our device.
        if (QFileInfo(m_linkPath).symLinkTarget() == QFileInfo(m_devicePath).absoluteFilePath())
            QFile::remove(m_linkPath);
    }
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

// Raw 8N1 at 19200 bit/s: the controllers' line. No echo, no line editing, no
// translation of CR or LF, reads return whatever is there.
bool makeRaw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

bool TtyLink::openPty(const QString &path, QString *error)
{
    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1").arg(systemError());
        return false;
    }
    m_fd = master;
    m_slave = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    makeRaw(m_slave);

    const QFileInfo existing(path);
    if (existing.isSymLink()) {
        QFile::remove(path); // left behind by an earlier run
    } else if (existing.exists()) {
        *error = QStringLiteral("'%1' exists and is not a symbolic link; not replacing it").arg(path);
        return false;
    }
    if (!QFile::link(m_devicePath, path)) {
        *error = QStringLiteral("cannot create the symbolic link '%1'").arg(path);
        return false;
    }
    m_linkPath = path;
    m_description = QStringLiteral("pty=%1").arg(path);
    setUp(master);
    watchOpenClose();
    return true;
}

bool TtyLink::openDevice(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open '%1': %2").arg(path, systemError());
        return false;
    }
    m_fd = fd;
    m_devicePath = path;
    if (!makeRaw(fd)) {
        *error = QStringLiteral("'%1' is not a serial device: %2").arg(path, systemError());
        return false;
    }
    m_description = QStringLiteral("device=%1").arg(path);
    setUp(fd);
    return true;
}

QString TtyLink::description() const
{
    return m_description;
}

void TtyLink::setUp(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TtyLink::readInput);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TtyLink::writeQueued);
}

void TtyLink::readInput()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        emit failed(QStringLiteral("reading '%1' failed: %2").arg(m_devicePath, n < 0 ? systemError()
                                                                                  : QStringLiteral("end of file")));
        return;
    }
    const QByteArray bytes(buffer, static_cast<qsizetype>(n));
    schedule(m_modem ? m_modem->receive(bytes) : m_session.receive(bytes));
}

void TtyLink::schedule(const std::vector<Write> &writes)
{
    for (const Write &w : writes) {
        if (w.delayMs <= 0)
            queue(w.bytes);
        else
            QTimer::singleShot(w.delayMs, this, [this, bytes = w.bytes, generation = m_generation] {
                if (generation == m_generation) // not for a host that has closed the port since
                    queue(bytes);
            });
    }
}

void TtyLink::queue(const QByteArray &bytes)
{
    // Each piece is one write, so that a reply split on purpose reaches the
    // host as separate writes with their gaps.
    m_outQueue.append(bytes);
    writeQueued();
}

void TtyLink::writeQueued()
{
    while (!m_outQueue.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_outQueue.constData(), static_cast<size_t>(m_outQueue.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break; // the host is not reading; go on when there is room
        if (n < 0) {
            m_bus.note(QStringLiteral("serial"), QStringLiteral("write failed: %1; %2 bytes lost")
                                                     .arg(systemError())
                                                     .arg(m_outQueue.size()));
            m_outQueue.clear();
            break;
        }
        m_outQueue.remove(0, n);
    }
    m_writeNotifier->setEnabled(!m_outQueue.isEmpty());
}

// The host opening and closing the pty device is seen through inotify: when the
// last host-side user closes it, whatever the host left unread is thrown away (as
// a real port loses what arrives while it is closed) and a modem hangs up.
void TtyLink::watchOpenClose()
{
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0)
        return;
    if (::inotify_add_watch(m_inotify, QFile::encodeName(m_devicePath).constData(),
                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_inotify);
        m_inotify = -1;
        return;
    }
    m_inotifyNotifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
    connect(m_inotifyNotifier, &QSocketNotifier::activated, this, &TtyLink::readOpenClose);
}

void TtyLink::readOpenClose()
{
    if (m_inotify < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            if (event->mask & IN_OPEN)
                ++m_openers;
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                m_openers = m_openers > 0 ? m_openers - 1 : 0;
                // The kernel merges identical events still unread, so two
                // descriptors of one host closed together may arrive as one
                // close: the count is only a hint, and who still holds the
                // device decides.
                if (m_openers > 0)
                    m_openers = hostHolders();
                // Each time the last user goes, even when the next one has
                // already opened the port in the same batch of events.
                if (m_openers == 0)
                    hostClosed();
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

int TtyLink::hostHolders() const
{
    struct stat device{};
    if (::fstat(m_slave, &device) != 0)
        return m_openers;
    const QByteArray self = QByteArray::number(::getpid());
    int holders = 0;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return m_openers;
    while (const dirent *process = ::readdir(proc)) {
        const QByteArray pid(process->d_name);
        if (pid.isEmpty() || pid == self || !std::isdigit(static_cast<unsigned char>(pid[0])))
            continue;
        const QByteArray fdDir = "/proc/" + pid + "/fd";
        DIR *fds = ::opendir(fdDir.constData());
        if (!fds)
            continue; // gone, or another user's: not a host of ours
        while (const dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            struct stat held{};
            if (::stat((fdDir + '/' + fd->d_name).constData(), &held) == 0 && S_ISCHR(held.st_mode) &&
                held.st_rdev == device.st_rdev)
                ++holders;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return holders;
}

void TtyLink::hostClosed()
{
    ::tcflush(m_slave, TCIFLUSH);
    // A host that ended without giving up its exclusive hold would lock out the next one.
    ::ioctl(m_slave, TIOCNXCL);
    m_outQueue.clear();
    ++m_generation;
    m_bus.note(QStringLiteral("serial"), QStringLiteral("host closed the port"));
    if (m_modem)
        m_modem->portClosed();
    else
        m_session.reset();
}

} // namespace nsim
