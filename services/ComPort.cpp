#include "services/ComPort.h"

#include "services/SerialPortName.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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

void TComPort::OpenPort()
{
    if (Connected())
        return;
    const std::string path = DevicePath();
    const auto fail = [&](int error, const std::string &reason) {
        throw EComPort("Cannot open serial port " + m_port + " (" + path + "): " + reason, EComPort::ceOpenFailed,
                       error);
    };

    // A descriptor of our own holds an advisory lock for as long as the port
    // is open: two of our processes (or two ports in one) never share a line,
    // even when running as root, where the tty's exclusive mode is not enforced.
    const int lockFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (lockFd < 0) {
        const int error = errno;
        fail(error, systemReason(error));
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        fail(EBUSY, systemReason(EBUSY));
    }

    auto *serial = new QSerialPort(this);
    serial->setPortName(QString::fromStdString(path));
    if (!serial->open(QIODevice::ReadWrite)) {
        int error = EIO;
        std::string reason = serial->errorString().toStdString();
        switch (serial->error()) {
        case QSerialPort::PermissionError:
            // The device itself let us in above; what refused is another
            // program's lock on the line.
            error = EBUSY;
            reason = systemReason(EBUSY);
            break;
        case QSerialPort::DeviceNotFoundError:
            error = ENOENT;
            reason = systemReason(ENOENT);
            break;
        default:
            break;
        }
        delete serial;
        ::close(lockFd);
        fail(error, reason);
    }
    m_serial = serial;
    m_lockFd = lockFd;
    // Queue sizes have no counterpart on a Linux tty; line state next, the
    // time-outs are applied by every read and write.
    applyLineSettings();
}

void TComPort::ClosePort()
{
    if (!Connected())
        return;
    // Nothing of ours is still pending: every write has either gone out or
    // been abandoned by its time-out, so closing discards no bytes.
    m_serial->close();
    delete m_serial;
    m_serial = nullptr;
    ::close(m_lockFd);
    m_lockFd = -1;
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
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break; // the device failed; nothing more will go out
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
            const QSerialPort::SerialPortError error = serial.error();
            serial.clearError();
            if (error != QSerialPort::TimeoutError && error != QSerialPort::NoError)
                break; // the device went away: nothing more will come
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
