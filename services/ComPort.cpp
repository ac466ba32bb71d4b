#include "services/ComPort.h"

#include "services/SerialPortName.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

qint32 baudRateValue(TBaudRate rate, int custom)
{
    switch (rate) {
    case brCustom:
        return custom;
    case br110:
        return 110;
    case br300:
        return 300;
    case br600:
        return 600;
    case br1200:
        return 1200;
    case br2400:
        return 2400;
    case br4800:
        return 4800;
    case br9600:
        return 9600;
    case br14400:
        return 14400;
    case br19200:
        return 19200;
    case br38400:
        return 38400;
    case br56000:
        return 56000;
    case br57600:
        return 57600;
    case br115200:
        return 115200;
    case br128000:
        return 128000;
    case br256000:
        return 256000;
    }
    return 9600;
}

QSerialPort::DataBits dataBitsValue(TDataBits bits)
{
    switch (bits) {
    case dbFive:
        return QSerialPort::Data5;
    case dbSix:
        return QSerialPort::Data6;
    case dbSeven:
        return QSerialPort::Data7;
    case dbEight:
        break;
    }
    return QSerialPort::Data8;
}

QSerialPort::Parity parityValue(TParityBits bits)
{
    switch (bits) {
    case prOdd:
        return QSerialPort::OddParity;
    case prEven:
        return QSerialPort::EvenParity;
    case prMark:
        return QSerialPort::MarkParity;
    case prSpace:
        return QSerialPort::SpaceParity;
    case prNone:
        break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits stopBitsValue(TStopBits bits)
{
    switch (bits) {
    case sbOne5StopBits:
        return QSerialPort::OneAndHalfStop;
    case sbTwoStopBits:
        return QSerialPort::TwoStop;
    case sbOneStopBit:
        break;
    }
    return QSerialPort::OneStop;
}

std::string systemReason(int error)
{
    return std::strerror(error);
}

// "process 1234 (minicom)", or "process 1234" when its name cannot be read.
std::string processText(long pid)
{
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// A live process named by a lock file: its first number, as QSerialPort
// ("1234\nname\nhost") and the uucp-style programs ("      1234\n") write it.
long lockFileOwner(const std::string &file)
{
    std::ifstream in(file);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > INT_MAX)
        return 0;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? pid : 0;
}

// Who holds a busy line, as far as the system tells: a lock file in the
// system's lock folder (named after the device with "/dev/" dropped and the
// other slashes made "_", under the name given and the name it resolves to),
// else the owner of a whole-file lock on the device node (/proc/locks).
std::string lineHolder(const std::string &path)
{
    std::vector<std::string> names{path};
    if (char *real = ::realpath(path.c_str(), nullptr)) {
        names.emplace_back(real);
        std::free(real);
    }
    for (std::string name : names) {
        if (name.rfind("/dev/", 0) == 0)
            name.erase(0, 5);
        std::replace(name.begin(), name.end(), '/', '_');
        for (const char *folder : {"/var/lock/", "/run/lock/"}) {
            if (const long pid = lockFileOwner(folder + ("LCK.." + name)))
                return processText(pid);
        }
    }

    struct stat node {};
    if (::stat(path.c_str(), &node) != 0)
        return {};
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4711 00:05:3 0 EOF"; waiters carry "->".
        std::istringstream fields(line);
        std::string id, type, kind, mode, device;
        long pid = 0;
        if (!(fields >> id >> type >> kind >> mode >> pid >> device) || type != "FLOCK")
            continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%lu", &major, &minor, &inode) == 3 && major == ::major(node.st_dev) &&
            minor == ::minor(node.st_dev) && inode == node.st_ino)
            return processText(pid);
    }
    return {};
}

// A tty read fails only when the line is gone (hung up, unplugged): a slow or
// silent line ends a wait by its time-out instead.
bool readFailed(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::ResourceError;
}

// Read and write failures that mean the device itself is gone, not a slow line.
bool deviceGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

} // namespace

// --- nested settings ---------------------------------------------------------

void TComParity::SetBits(TParityBits value)
{
    m_bits = value;
    m_port->applyLineSettings();
}

void TComParity::SetCheck(bool value)
{
    m_check = value;
    m_port->applyLineSettings();
}

// An odd queue size is stored one lower; clearing the low bit does that for
// negative values too, where subtracting the remainder would round up.
void TComBuffer::SetInputSize(int value)
{
    m_inputSize = value & ~1;
}

void TComBuffer::SetOutputSize(int value)
{
    m_outputSize = value & ~1;
}

void TComFlowControl::SetControlDTR(TDTRFlowControl value)
{
    m_controlDTR = value;
    m_port->applyLineSettings();
}

void TComFlowControl::SetControlRTS(TRTSFlowControl value)
{
    m_controlRTS = value;
    m_port->applyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool value)
{
    m_outCTSFlow = value;
    m_port->applyLineSettings();
}

void TComFlowControl::SetOutDSRFlow(bool value)
{
    m_outDSRFlow = value;
    m_port->applyLineSettings();
}

void TComFlowControl::SetXonXoffOut(bool value)
{
    m_xonXoffOut = value;
    m_port->applyLineSettings();
}

void TComFlowControl::SetXonXoffIn(bool value)
{
    m_xonXoffIn = value;
    m_port->applyLineSettings();
}

TFlowControl TComFlowControl::FlowControl() const
{
    if (m_controlRTS == rtsHandshake && m_outCTSFlow && !m_xonXoffOut && !m_xonXoffIn)
        return fcHardware;
    if (m_controlRTS != rtsHandshake && !m_outCTSFlow && m_xonXoffOut && m_xonXoffIn)
        return fcSoftware;
    if (m_controlRTS == rtsDisable && !m_outCTSFlow && !m_xonXoffOut && !m_xonXoffIn)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value)
{
    switch (value) {
    case fcHardware:
        m_controlRTS = rtsHandshake;
        m_outCTSFlow = true;
        m_xonXoffOut = false;
        m_xonXoffIn = false;
        break;
    case fcSoftware:
        if (m_controlRTS == rtsHandshake)
            m_controlRTS = rtsDisable;
        m_outCTSFlow = false;
        m_xonXoffOut = true;
        m_xonXoffIn = true;
        break;
    case fcNone:
        m_controlRTS = rtsDisable;
        m_outCTSFlow = false;
        m_xonXoffOut = false;
        m_xonXoffIn = false;
        break;
    case fcCustom:
        return;
    }
    m_port->applyLineSettings();
}

// --- the port ------------------------------------------------------------------

TComPort::TComPort(QObject *owner) : QObject(owner) {}

TComPort::~TComPort()
{
    ClosePort();
}

void TComPort::SetPort(const std::string &value)
{
    if (value == m_port)
        return;
    const bool wasOpen = Connected();
    // The old device is released before the new one is taken, so a port can
    // be renamed to a device that names the same line.
    ClosePort();
    m_port = value;
    if (wasOpen)
        OpenPort();
}

void TComPort::SetBaudRate(TBaudRate value)
{
    m_baudRate = value;
    applyLineSettings();
}

void TComPort::SetCustomBaudRate(int value)
{
    m_customBaudRate = value;
    applyLineSettings();
}

void TComPort::SetDataBits(TDataBits value)
{
    m_dataBits = value;
    applyLineSettings();
}

void TComPort::SetStopBits(TStopBits value)
{
    m_stopBits = value;
    applyLineSettings();
}

void TComPort::SetSyncMethod(TSyncMethod value)
{
    if (value == m_syncMethod)
        return; // not a change, so allowed while open
    if (Connected())
        throw EComPort("Cannot set property while connected", EComPort::ceSetWhileOpen, 0);
    m_syncMethod = value;
}

bool TComPort::Connected() const
{
    return m_serial != nullptr;
}

std::string TComPort::DevicePath() const
{
    return norvik::SerialDevicePath(m_port);
}

std::string TComPort::LineHolder(const std::string &path)
{
    return lineHolder(path);
}

std::string TComPort::DialoutHint()
{
    return "Add your user to the dialout group (sudo usermod -aG dialout $USER), then log in again.";
}

std::string TComPort::OpenFailureMessage(const std::string &port, const std::string &path, int error,
                                         const std::string &holder)
{
    std::string text = "Cannot open serial port " + port + " (" + path + "): ";
    const std::string system = " (" + systemReason(error) + ")";
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return text + "not found" + system + ". Check that the device is plugged in and the port name is right.";
    case EACCES:
    case EPERM:
        return text + "permission denied" + system + ". " + DialoutHint();
    case EBUSY:
        return text + "busy, in use by " + (holder.empty() ? std::string("another program") : holder) +
               ". Close that program, then try again.";
    default:
        return text + systemReason(error);
    }
}

void TComPort::OpenPort()
{
    if (Connected())
        return;
    const std::string path = DevicePath();
    const auto fail = [&](int error) {
        throw EComPort(OpenFailureMessage(m_port, path, error, error == EBUSY ? lineHolder(path) : std::string()),
                       EComPort::ceOpenFailed, error);
    };

    // A descriptor of our own holds an advisory lock for as long as the port
    // is open: two of our processes (or two ports in one) never share a line,
    // even when running as root, where the tty's exclusive mode is not enforced.
    const int lockFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (lockFd < 0)
        fail(errno);
    // A line in exclusive mode is held by a program that took it so; root may
    // open it all the same, but would then split the incoming bytes with it.
    int exclusive = 0;
    if (::ioctl(lockFd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::close(lockFd);
        fail(EBUSY);
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        fail(EBUSY);
    }

    auto *serial = new QSerialPort(this);
    serial->setPortName(QString::fromStdString(path));
    if (!serial->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = serial->error();
        const std::string qtReason = serial->errorString().toStdString();
        delete serial;
        ::close(lockFd);
        // The device itself let us in above; a permission error here is
        // another program's lock file on the line.
        if (error == QSerialPort::PermissionError)
            fail(EBUSY);
        if (error == QSerialPort::DeviceNotFoundError)
            fail(ENOENT);
        throw EComPort("Cannot open serial port " + m_port + " (" + path + "): " + qtReason, EComPort::ceOpenFailed,
                       EIO);
    }
    // Programs that honour no lock file are kept out by the line's exclusive
    // mode, from now until we close.
    ::ioctl(serial->handle(), TIOCEXCL);
    m_serial = serial;
    m_lockFd = lockFd;
    m_lostReason.clear();
    // Queue sizes have no counterpart on a Linux tty; line state next, the
    // time-outs are applied by every read and write.
    applyLineSettings();
}

void TComPort::ClosePort()
{
    if (!Connected())
        return;
    // Nothing of ours is still pending: every write has either gone out or
    // been abandoned by its time-out, so closing discards no bytes. The
    // exclusive mode is given up first: a pseudo-terminal whose other side
    // stays open would otherwise keep it for the next opener.
    ::ioctl(m_serial->handle(), TIOCNXCL);
    m_serial->close();
    delete m_serial;
    m_serial = nullptr;
    ::close(m_lockFd);
    m_lockFd = -1;
}

void TComPort::portLost(int error)
{
    const std::string path = DevicePath();
    ClosePort();
    m_lostReason = "Serial port " + m_port + " (" + path + ") was lost: " + systemReason(error) +
                   ". Check that the device is plugged in and switched on, then try again.";
}

void TComPort::applyLineSettings()
{
    if (!Connected())
        return;
    QSerialPort &serial = *m_serial;
    // Each setting the device refuses (a pseudo-terminal has no modem lines, a
    // UART may lack a rate) stays as the device had it; nothing is raised.
    serial.setBaudRate(baudRateValue(m_baudRate, m_customBaudRate));
    serial.clearError();
    serial.setDataBits(dataBitsValue(m_dataBits));
    serial.clearError();
    serial.setParity(parityValue(m_parity.m_bits));
    serial.clearError();
    serial.setStopBits(stopBitsValue(m_stopBits));
    serial.clearError();

    // Linux has one switch (CRTSCTS) for both directions of the RTS/CTS
    // handshake, so either half of it turns the pair on.
    const TComFlowControl &flow = m_flowControl;
    const bool hardware = flow.m_controlRTS == rtsHandshake || flow.m_outCTSFlow;
    const bool software = flow.m_xonXoffOut || flow.m_xonXoffIn;
    serial.setFlowControl(hardware   ? QSerialPort::HardwareControl
                          : software ? QSerialPort::SoftwareControl
                                     : QSerialPort::NoFlowControl);
    serial.clearError();

    const int fd = serial.handle();
    termios settings {};
    if (::tcgetattr(fd, &settings) == 0) {
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK);
        if (flow.m_xonXoffOut)
            settings.c_iflag |= IXON;
        if (flow.m_xonXoffIn)
            settings.c_iflag |= IXOFF;
        if (m_parity.m_check) {
            settings.c_iflag |= INPCK;
            settings.c_iflag &= ~static_cast<tcflag_t>(IGNPAR);
        }
        if (hardware)
            settings.c_cflag |= CRTSCTS;
        else
            settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        settings.c_cc[VSTART] = TComFlowControl::XonChar;
        settings.c_cc[VSTOP] = TComFlowControl::XoffChar;
        ::tcsetattr(fd, TCSANOW, &settings);
    }

    // DTR has no handshake of its own on Linux: on while open is the nearest.
    serial.setDataTerminalReady(flow.m_controlDTR != dtrDisable);
    serial.clearError();
    // Under the handshake the driver owns RTS; otherwise RTS is held as asked
    // (toggle mode is idle with RTS off between transmissions).
    if (!hardware) {
        serial.setRequestToSend(flow.m_controlRTS == rtsEnable);
        serial.clearError();
    }
}

int TComPort::WriteBytes(const void *buffer, int count)
{
    if (!Connected() || count <= 0)
        return 0;
    const qint64 limit =
        qint64(m_timeouts.m_writeTotalMultiplier) * count + qint64(m_timeouts.m_writeTotalConstant);
    const bool bounded = m_timeouts.m_writeTotalMultiplier != 0 || m_timeouts.m_writeTotalConstant != 0;
    QElapsedTimer clock;
    clock.start();
    const auto remaining = [&]() -> int {
        return bounded ? static_cast<int>(std::max<qint64>(0, limit - clock.elapsed())) : -1;
    };

    // Written straight to the device (which the port opened non-blocking), so
    // that the count is what the driver took, and nothing lingers in a
    // buffer of ours to go out after the write has given up.
    const int fd = m_serial->handle();
    const char *data = static_cast<const char *>(buffer);
    int written = 0;
    while (written < count) {
        const ssize_t n = ::write(fd, data + written, static_cast<std::size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && deviceGone(errno)) {
            portLost(errno);
            return written;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break; // the device refused these bytes; nothing more will go out
        const int wait = remaining();
        if (wait == 0)
            break;
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, wait) < 0 && errno != EINTR)
            break;
    }

    // The write is done when the bytes have left the driver, not when they
    // are queued: under CTS flow control a line nobody listens to keeps them.
    // (A pseudo-terminal never reports bytes queued here.)
    int queued = 0;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const int wait = remaining();
        if (wait == 0)
            break;
        QThread::usleep(1000);
    }
    if (queued > 0) {
        // A timed-out write is abandoned, not finished later.
        ::tcflush(fd, TCOFLUSH);
        written = std::max(0, written - queued);
    }
    return written;
}

int TComPort::ReadBytes(void *buffer, int count)
{
    if (!Connected() || count <= 0)
        return 0;
    QSerialPort &serial = *m_serial;
    char *out = static_cast<char *>(buffer);
    const int interval = m_timeouts.m_readInterval;
    const bool totalBounded = m_timeouts.m_readTotalMultiplier != 0 || m_timeouts.m_readTotalConstant != 0;
    const qint64 totalLimit =
        qint64(m_timeouts.m_readTotalMultiplier) * count + qint64(m_timeouts.m_readTotalConstant);
    const bool returnAtOnce = interval == -1 && !totalBounded;

    QElapsedTimer clock;
    clock.start();
    int got = 0;
    qint64 lastByteAt = 0;
    for (;;) {
        // What the port has already taken from the device counts first.
        const qint64 n = serial.read(out + got, count - got);
        if (n > 0) {
            got += static_cast<int>(n);
            lastByteAt = clock.elapsed();
        }
        if (got >= count)
            break;
        if (returnAtOnce) {
            // Take what the device holds right now, without waiting.
            if (serial.waitForReadyRead(0))
                got += static_cast<int>(std::max<qint64>(0, serial.read(out + got, count - got)));
            else if (readFailed(serial.error()))
                portLost(EIO);
            else
                serial.clearError();
            break;
        }

        const qint64 now = clock.elapsed();
        std::optional<qint64> wait; // none: no limit
        if (totalBounded)
            wait = totalLimit - now;
        if (got > 0 && interval > 0) {
            const qint64 gapLeft = lastByteAt + interval - now;
            wait = wait ? std::min(*wait, gapLeft) : gapLeft;
        }
        if (wait && *wait <= 0)
            break;
        if (!serial.waitForReadyRead(wait ? static_cast<int>(*wait) : -1)) {
            if (readFailed(serial.error())) {
                portLost(EIO);
                break; // the device went away: nothing more will come
            }
            serial.clearError();
        }
    }
    return got;
}

int TComPort::WriteText(const std::string &text)
{
    if (text.empty())
        return 0;
    return WriteBytes(text.data(), static_cast<int>(text.size()));
}

int TComPort::ReadText(std::string &text, int count)
{
    text.assign(static_cast<std::size_t>(std::max(count, 0)), '\0');
    const int got = ReadBytes(text.data(), count);
    text.resize(static_cast<std::size_t>(got));
    return got;
}

std::string TComPort::DiscardInput()
{
    std::string discarded;
    if (!Connected())
        return discarded;
    QSerialPort &serial = *m_serial;
    // A few rounds take everything queued; the bound keeps a line that never
    // falls silent from holding the caller here.
    for (int round = 0; round < 16; ++round) {
        const QByteArray chunk = serial.readAll();
        discarded.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        if (!serial.waitForReadyRead(0))
            break;
    }
    serial.clearError();
    return discarded;
}

void TComPort::PurgeBuffers(bool input, bool output)
{
    if (!input && !output)
        return;
    const auto refuse = [](int error) {
        throw EComPort("PurgeComm function failed (win error code: " + std::to_string(error) + ")",
                       EComPort::cePurgeFailed, error);
    };
    if (!Connected())
        refuse(EBADF);
    QSerialPort &serial = *m_serial;
    if (input)
        serial.readAll(); // what the port already took from the device
    if (::tcflush(serial.handle(), input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) != 0)
        refuse(errno);
}
