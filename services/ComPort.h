#pragma once
// TComPort: one serial port used blocking from the thread that owns it.
// Settings keep their values whether or not the port is open; while it is
// open, a change is applied to the device at once. Reads and writes end by
// the port's time-outs, never later.
#include "common/Errors.h"

#include <QObject>

#include <string>

class QSerialPort;

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

// Raised for an open that fails, a refused purge and a forbidden change while
// open. Code() is this service's error code, SystemError() the system's errno.
class EComPort : public norvik::NorvikError {
public:
    enum : int {
        ceOpenFailed = 1,
        cePurgeFailed = 5,
        ceSetWhileOpen = 14,
    };
    EComPort(const std::string &message, int code, int systemError)
        : NorvikError(message), m_code(code), m_systemError(systemError)
    {
    }
    int Code() const { return m_code; }
    int SystemError() const { return m_systemError; }

private:
    int m_code;
    int m_systemError;
};

class TComPort;

class TComParity {
public:
    TParityBits Bits() const { return m_bits; }
    void SetBits(TParityBits value);
    bool Check() const { return m_check; }
    void SetCheck(bool value);

private:
    friend class TComPort;
    explicit TComParity(TComPort *port) : m_port(port) {}
    TComPort *m_port;
    TParityBits m_bits = prNone;
    bool m_check = false;
};

// Driver queue sizes; an odd size is stored one lower. A Linux tty has queues
// of a fixed size, so there the values are only kept.
class TComBuffer {
public:
    int InputSize() const { return m_inputSize; }
    void SetInputSize(int value);
    int OutputSize() const { return m_outputSize; }
    void SetOutputSize(int value);

private:
    friend class TComPort;
    explicit TComBuffer(TComPort *port) : m_port(port) {}
    TComPort *m_port;
    int m_inputSize = 1024;
    int m_outputSize = 1024;
};

class TComFlowControl {
public:
    TDTRFlowControl ControlDTR() const { return m_controlDTR; }
    void SetControlDTR(TDTRFlowControl value);
    TRTSFlowControl ControlRTS() const { return m_controlRTS; }
    void SetControlRTS(TRTSFlowControl value);
    bool OutCTSFlow() const { return m_outCTSFlow; }
    void SetOutCTSFlow(bool value);
    bool OutDSRFlow() const { return m_outDSRFlow; }
    void SetOutDSRFlow(bool value);
    bool XonXoffOut() const { return m_xonXoffOut; }
    void SetXonXoffOut(bool value);
    bool XonXoffIn() const { return m_xonXoffIn; }
    void SetXonXoffIn(bool value);
    static constexpr char XonChar = 17;
    static constexpr char XoffChar = 19;

    // Shorthand over ControlRTS, OutCTSFlow, XonXoffOut and XonXoffIn;
    // reads back as the pattern the four form (fcCustom for any other mix).
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);

private:
    friend class TComPort;
    explicit TComFlowControl(TComPort *port) : m_port(port) {}
    TComPort *m_port;
    TDTRFlowControl m_controlDTR = dtrDisable;
    TRTSFlowControl m_controlRTS = rtsDisable;
    bool m_outCTSFlow = false;
    bool m_outDSRFlow = false;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
};

// Milliseconds. ReadInterval -1 with both read totals 0: a read returns at
// once with what is queued. Both totals 0: no total limit.
class TComTimeouts {
public:
    int ReadInterval() const { return m_readInterval; }
    void SetReadInterval(int value) { m_readInterval = value; }
    int ReadTotalMultiplier() const { return m_readTotalMultiplier; }
    void SetReadTotalMultiplier(int value) { m_readTotalMultiplier = value; }
    int ReadTotalConstant() const { return m_readTotalConstant; }
    void SetReadTotalConstant(int value) { m_readTotalConstant = value; }
    int WriteTotalMultiplier() const { return m_writeTotalMultiplier; }
    void SetWriteTotalMultiplier(int value) { m_writeTotalMultiplier = value; }
    int WriteTotalConstant() const { return m_writeTotalConstant; }
    void SetWriteTotalConstant(int value) { m_writeTotalConstant = value; }

private:
    friend class TComPort;
    TComTimeouts() = default;
    int m_readInterval = -1;
    int m_readTotalMultiplier = 0;
    int m_readTotalConstant = 0;
    int m_writeTotalMultiplier = 100;
    int m_writeTotalConstant = 1000;
};

class TComPort : public QObject {
    Q_OBJECT
public:
    explicit TComPort(QObject *owner = nullptr);
    ~TComPort() override; // closes the port

    // --- settings -----------------------------------------------------------
    // Port name as given ("COM1", "/dev/ttyUSB0"); see SerialPortName.h for
    // the device it names. A different name while open reopens the port.
    std::string Port() const { return m_port; }
    void SetPort(const std::string &value);
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value);
    int CustomBaudRate() const { return m_customBaudRate; } // used by brCustom
    void SetCustomBaudRate(int value);
    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value);
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value);
    TComParity &Parity() { return m_parity; }
    const TComParity &Parity() const { return m_parity; }
    TComBuffer &Buffer() { return m_buffer; }
    const TComBuffer &Buffer() const { return m_buffer; }
    TComFlowControl &FlowControl() { return m_flowControl; }
    const TComFlowControl &FlowControl() const { return m_flowControl; }
    TComTimeouts &Timeouts() { return m_timeouts; }
    const TComTimeouts &Timeouts() const { return m_timeouts; }
    TSyncMethod SyncMethod() const { return m_syncMethod; }
    void SetSyncMethod(TSyncMethod value); // a change while open raises EComPort

    // --- state ----------------------------------------------------------------
    bool Connected() const;
    std::string DevicePath() const; // the device the Port name maps to

    // Opens the device exclusively and applies every setting. Nothing when
    // already open. Raises EComPort naming the device and the system's reason
    // when it cannot be opened; the port then stays closed.
    void OpenPort();
    void ClosePort(); // nothing when closed

    // A read or write found the device gone (unplugged adapter, a pseudo-
    // terminal whose other side closed): the port closed itself, so that the
    // device's name is free for it to come back under, and the next OpenPort
    // opens it anew. The message names the port and what to do; empty while
    // open and after a successful OpenPort.
    const std::string &LostReason() const { return m_lostReason; }

    // The text OpenPort raises for a device that refused it with the system's
    // error (ENOENT, EACCES, EBUSY, ...); holder names who has a busy line
    // ("process 1234 (minicom)"), empty when the system does not tell.
    static std::string OpenFailureMessage(const std::string &port, const std::string &path, int error,
                                          const std::string &holder);
    // How a user gets the right to open serial devices, which belong to the
    // dialout group on Linux: the refusal above and the programs' help say it
    // in these words.
    static std::string DialoutHint();
    // Who holds the device at path by a lock file or a whole-file lock
    // ("process 1234 (minicom)"); empty when nobody does, as far as the system tells.
    static std::string LineHolder(const std::string &path);

    // --- transfers (0 bytes moved on a closed port) ---------------------------
    int WriteBytes(const void *buffer, int count);
    int ReadBytes(void *buffer, int count);
    int WriteText(const std::string &text);
    int ReadText(std::string &text, int count);
    // Takes every byte that has arrived and not been read (the port's own
    // buffer and the driver's queue) without waiting, and returns them so the
    // caller can say what it threw away; empty on a closed port. Never raises.
    std::string DiscardInput();
    // Raises EComPort "PurgeComm function failed (win error code: %d)", code 5,
    // when the device refuses (a closed port counts as refusing).
    void PurgeBuffers(bool input, bool output);

private:
    friend class TComParity;
    friend class TComBuffer;
    friend class TComFlowControl;
    void applyLineSettings();
    void portLost(int error); // closes the port and says why

    std::string m_port = "COM1";
    TBaudRate m_baudRate = br9600;
    int m_customBaudRate = 9600;
    TDataBits m_dataBits = dbEight;
    TStopBits m_stopBits = sbOneStopBit;
    TComParity m_parity{this};
    TComBuffer m_buffer{this};
    TComFlowControl m_flowControl{this};
    TComTimeouts m_timeouts;
    TSyncMethod m_syncMethod = smThreadSync;

    QSerialPort *m_serial = nullptr; // exists only while open
    int m_lockFd = -1;               // holds the advisory lock while open
    std::string m_lostReason;
};
