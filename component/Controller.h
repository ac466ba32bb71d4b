#pragma once
// TController: the one class applications use. It owns one link of each kind,
// keeps one current, forwards every command to it and spreads each setting to
// the link that holds it.
#include "component/BasicCom.h"
#include "component/Norvik_Include.h"

#include <QObject>

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
#undef NORVIK_FORWARD

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
