#pragma once
// TController: the one class applications use. It owns one link of each kind,
// keeps one current, forwards every command to it and spreads each setting to
// the link that holds it.
#include "component/BasicCom.h"
#include "component/Norvik_Include.h"

#include <QObject>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

class TUART;
class TTCPIP;
class TMODEM;

class TController : public QObject {
    Q_OBJECT
public:
    explicit TController(QObject *owner = nullptr);
    ~TController() override;

    // --- published properties (declaration order) ------------------------------
    TDialupStatus DialupStatus() const;
    unsigned DialTimeOut() const;
    void SetDialTimeOut(unsigned value);
    TConnectMethod ConnectMethod() const { return m_connectMethod; }
    void SetConnectMethod(TConnectMethod value);
    std::uint8_t ControllerID() const;
    void SetControllerID(std::uint8_t value);
    std::string Host() const;
    void SetHost(const std::string &value);
    std::uint16_t HostPort() const;
    void SetHostPort(std::uint16_t value);
    std::string COM() const;
    void SetCOM(const std::string &value);
    int ReadTimeOut() const;
    void SetReadTimeOut(int value);
    int RetrySleep() const;
    void SetRetrySleep(int value);
    int SendAfterSleep() const;
    void SetSendAfterSleep(int value);
    int RetryTime() const;
    void SetRetryTime(int value);
    bool DebugMode() const { return m_debugMode; }
    void SetDebugMode(bool value);
    std::string DebugPath() const { return m_debugPath; }
    void SetDebugPath(const std::string &value);
    std::string Version() const { return m_version; }
    TCardBytes CardBytes() const { return m_cardBytes; }
    void SetCardBytes(TCardBytes value);

    // --- link operations (current link) and the modem ---------------------------
    bool Connect();
    void Disconnect();
    // Why the current serial or modem link is not usable: its port did not
    // open at the last Connect, or was lost since (see TUART::LastError).
    // Empty when it is fine, and always for the network link.
    std::string LinkFault() const;
    int DirectSend(const void *buffer, int count);
    int DirectReceive(void *buffer); // buffer must hold 255 bytes
    void Dial(const std::string &phoneNumber);
    void About();

    // Shows About's box: an information box with one OK button, no owner window.
    // The component has no widgets of its own, so a window installs a
    // message-box hook; the default writes caption and text to stderr.
    using AboutHook = std::function<void(const std::string &caption, const std::string &text)>;
    static AboutHook SetAboutHook(AboutHook hook); // empty restores the default; returns the previous
    std::string AboutText() const;

    // --- command methods: each forwards unchanged to the current link's engine ---
#define NORVIK_FORWARD(Name)                                                                                     \
    template <class... Args> decltype(auto) Name(Args &&...args)                                                 \
    {                                                                                                            \
        return m_current->Name(std::forward<Args>(args)...);                                                    \
    }
    NORVIK_FORWARD(CalCheckSum)
    NORVIK_FORWARD(SendJumpBootloader)
    NORVIK_FORWARD(GetControllerInfo)
    NORVIK_FORWARD(GetControllerSN)
    NORVIK_FORWARD(SendSetControllerSN)
    NORVIK_FORWARD(SendSetControllerID)
    NORVIK_FORWARD(SendReadControllerID)
    NORVIK_FORWARD(BeginSetDeviceID)
    NORVIK_FORWARD(SendSetDeviceID)
    NORVIK_FORWARD(SendReadDeviceID)
    NORVIK_FORWARD(EndSetDeviceID)
    NORVIK_FORWARD(ResetController)
    NORVIK_FORWARD(BookmarkFront)
    NORVIK_FORWARD(SendTime)
    NORVIK_FORWARD(SendPCTime)
    NORVIK_FORWARD(GetControllerDateTime)
    NORVIK_FORWARD(SendSetSummerTime)
    NORVIK_FORWARD(SendSetWinterTime)
    NORVIK_FORWARD(ReadRemovedTransaction)
    NORVIK_FORWARD(AddSortedCardA)
    NORVIK_FORWARD(AddSortedCardB)
    NORVIK_FORWARD(AddSortedCardC)
    NORVIK_FORWARD(AddSortedCardD)
    NORVIK_FORWARD(AddSortedCardE)
    NORVIK_FORWARD(AddSortedCardF)
    NORVIK_FORWARD(AddSortedCardH)
    NORVIK_FORWARD(AddUnSortedCardA)
    NORVIK_FORWARD(AddUnSortedCardB)
    NORVIK_FORWARD(AddUnSortedCardC)
    NORVIK_FORWARD(AddUnSortedCardD)
    NORVIK_FORWARD(AddUnSortedCardE)
    NORVIK_FORWARD(AddUnSortedCardF)
    NORVIK_FORWARD(AddUnSortedCardH)
    NORVIK_FORWARD(SendDelOneCard)
    NORVIK_FORWARD(SendSetIndividualCard)
    NORVIK_FORWARD(SendSetEmergencyCard)
    NORVIK_FORWARD(SendClearEmergencyCard)
    NORVIK_FORWARD(SetCardIDMask)
    NORVIK_FORWARD(SetAllowAnyCard)
    NORVIK_FORWARD(SetPresentCardDelay)
    NORVIK_FORWARD(OpenDoorNow)
    NORVIK_FORWARD(ForceOpenDoorNow)
    NORVIK_FORWARD(ForceCloseDoorNow)
    NORVIK_FORWARD(ResumeDoorNormalNow)
    NORVIK_FORWARD(GetDoorStatus)
    NORVIK_FORWARD(SetDoorOpenTime)
    NORVIK_FORWARD(SendSetDoorPIN)
    NORVIK_FORWARD(SendSetLCDText)
    NORVIK_FORWARD(SendSetDoorLCDText)
    NORVIK_FORWARD(SendReadDoorLCDText)
    NORVIK_FORWARD(SendTimeZone)
    NORVIK_FORWARD(SendTimeTable)
    NORVIK_FORWARD(SendHoliday)
    NORVIK_FORWARD(SendAutoOpenDoorTimeTable)
    NORVIK_FORWARD(SendAutoForceCloseDoorTimeTable)
    NORVIK_FORWARD(SendPinDisableTimeTable)
    NORVIK_FORWARD(SendGroup)
    NORVIK_FORWARD(SendAntiPassBack)
    NORVIK_FORWARD(SendCarParkGroup)
    NORVIK_FORWARD(SendCarParkGroupE)
    NORVIK_FORWARD(SendSetLiftOpenTime)
    NORVIK_FORWARD(SendSet80FloorOpenSecond)
    NORVIK_FORWARD(DirectReadBlockXRAM)
    NORVIK_FORWARD(DirectReadByteXRAM)
    NORVIK_FORWARD(DirectWriteByteXRAM)
    NORVIK_FORWARD(TurnOnIORelay)
    NORVIK_FORWARD(GetIORealTimeStatus)
#undef NORVIK_FORWARD

    // By the component's own CardBytes: the wide widths read their own layout
    // into the 22-byte form, so buffer must hold 22 bytes and size must say so
    // (at least 22); 4-byte cards honour size (14, or 22 and more). A smaller
    // size raises EArgumentError ("Size: ...") before anything is sent.
    int ReadTransaction(std::uint8_t *buffer, int size);

    // The current link's status byte of the last reply (see
    // TBasicCom::LastReplyStatus): -1 for none, else what the controller said.
    int LastReplyStatus() const { return m_current->LastReplyStatus(); }

    // The PIN as the caller holds it: 8-bit text goes to the text form (digits
    // two per byte); anything else is taken as an integer (a wide text of
    // digits included) and goes to the integer form. A value that is no
    // integer raises the conversion error.
    bool SendSetPanicPIN(bool enable, const QVariant &pin);
    bool SendSetPanicPIN(bool enable, const std::string &pin) { return m_current->SendSetPanicPIN(enable, pin); }
    bool SendSetPanicPIN(bool enable, const char *pin) { return m_current->SendSetPanicPIN(enable, std::string(pin)); }
    bool SendSetPanicPIN(bool enable, int pin) { return m_current->SendSetPanicPIN(enable, pin); }

    // --- access for tests and tools ----------------------------------------------
    TBasicCom *Current() const { return m_current; }
    TUART *SerialLink() const { return m_serial; }
    TTCPIP *NetworkLink() const { return m_network; }
    TMODEM *ModemLink() const { return m_modem; }

private:
    TTCPIP *m_network = nullptr;
    TUART *m_serial = nullptr;
    TMODEM *m_modem = nullptr;
    TBasicCom *m_current = nullptr;
    std::string m_version = "1.84";
    TConnectMethod m_connectMethod = cmSerial;
    bool m_debugMode = false;
    std::string m_debugPath;
    int m_sendAfterSleep = 0;
    TCardBytes m_cardBytes = cbNormal;
};
