#pragma once
// The protocol engine: request/reply buffers, checksum, the exchange and its
// result conventions, and every command operation. Links derive from it and
// implement only the six transport operations.
#include "component/Norvik_Include.h"

#include <QDateTime>
#include <QObject>

#include <cstdint>
#include <string>

struct TControllerInfo {
    std::uint16_t Version = 0; // high byte major, low byte minor
    std::uint16_t TypeCode = 0;
    std::uint16_t CardMax = 0;
    std::uint16_t RecordMax = 0;
    std::uint16_t SortCardCount = 0;
    std::uint16_t UnsortCardCount = 0;
    std::uint16_t RecordCount = 0;
};

class TBasicCom : public QObject {
    Q_OBJECT
public:
    // Last valid index of each buffer; a frame read never asks for more than this.
    static constexpr int RequestBufferMax = 255;
    static constexpr int ReplyBufferMax = 255;

    explicit TBasicCom(QObject *owner = nullptr);
    ~TBasicCom() override;

    // --- the six transport operations, in slot order -------------------------
    virtual bool Connect() = 0;
    virtual void Disconnect() = 0;
    virtual int ReceiveFrame() = 0;
    virtual void SendFrame(int count) = 0;
    virtual int DirectSend(const void *buffer, int count) = 0;
    virtual int DirectReceive(void *buffer) = 0; // buffer must hold 255 bytes

    // --- helpers ---------------------------------------------------------------
    static std::uint8_t CalCheckSum(const std::uint8_t *buffer, int count);
    void ClearBuffers(bool clearRequest, bool clearReply);
    void AppendLogLine(const std::string &fileName, const std::string &line);

    void SetCardBytes(TCardBytes value) { CardBytes = value; }
    void SetDebugMode(bool value) { DebugMode = value; }
    void SetDebugPath(const std::string &value) { DebugPath = value; }
    void SetSendAfterSleep(int value) { SendAfterSleep = value; }
    bool Connected() const { return m_connected; }

    // --- identity, info and boot-loader commands --------------------------------
    int ResetController();
    bool SendJumpBootloader();
    bool GetControllerInfo(TControllerInfo &info);
    bool GetControllerSN(std::uint8_t *buffer /* 8 bytes */);
    bool SendSetControllerSN(const std::string &sn, unsigned id);
    void SendSetControllerID(int id, const std::string &sn);
    int SendReadControllerID(const std::string &sn);
    bool BeginSetDeviceID();
    int SendSetDeviceID(int value, int selector, const std::string &text);
    int SendReadDeviceID(int selector, const std::string &text);
    bool EndSetDeviceID();
    bool BookmarkFront();

    // --- clock commands ---------------------------------------------------------
    int SendTime(const QDateTime &dateTime);
    int SendPCTime();
    QDateTime GetControllerDateTime(); // raises norvik::EDateError for an impossible date
    int SendSetSummerTime(const QDateTime &time1, const QDateTime &time2);
    int SendSetWinterTime(const QDateTime &time1, const QDateTime &time2);

    // --- settings and buffers (declaration order as the device protocol needs) --
    std::uint8_t ControllerID = 1;
    TCardBytes CardBytes = cbNormal;
    int RetrySleep = 100;
    int RetryTime = 5;
    int SendAfterSleep = 0;
    bool DebugMode = false;
    std::string DebugPath;
    std::uint8_t ReplyBuffer[256] = {};
    std::uint8_t RequestBuffer[256] = {};

protected:
    bool m_connected = false;
};
