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
    // Name of today's debug log file: DebugPath + "RX" + yyyymmdd + ".txt".
    // Callers write to it only when DebugMode is on.
    std::string DailyLogFileName() const;
    static std::string DailyLogFileName(const std::string &debugPath, const QDate &date);

    void SetCardBytes(TCardBytes value) { CardBytes = value; }
    void SetDebugMode(bool value) { DebugMode = value; }
    void SetDebugPath(const std::string &value) { DebugPath = value; }
    void SetSendAfterSleep(int value) { SendAfterSleep = value; }
    bool Connected() const { return m_connected; }

    // --- identity, info and boot-loader commands --------------------------------
    // Serial numbers and device-ID texts are exactly 8 characters on the wire.
    // A text of any other length is refused before anything is sent: the
    // command returns its no-answer value (false, -1; SendSetControllerID
    // simply returns), so a wrong SN can never address the wrong controller.
    int ResetController();
    bool SendJumpBootloader();
    bool GetControllerInfo(TControllerInfo &info);
    bool GetControllerSN(std::uint8_t *buffer /* 8 bytes */);
    bool SendSetControllerSN(const std::string &sn, unsigned id);
    void SendSetControllerID(int id, const std::string &sn);
    // The ID of the controller owning sn; 0 for an answer that is not a good
    // 14-byte echo of sn (any length other than 0 and 14 included), -1 for none.
    int SendReadControllerID(const std::string &sn);
    bool BeginSetDeviceID();
    int SendSetDeviceID(int value, int selector, const std::string &text);
    int SendReadDeviceID(int selector, const std::string &text);
    bool EndSetDeviceID();
    bool BookmarkFront();

    // --- clock commands ---------------------------------------------------------
    // An invalid (null) date-time argument is refused before anything is sent
    // and the command returns -1, as if the controller had not answered.
    int SendTime(const QDateTime &dateTime);
    int SendPCTime();
    QDateTime GetControllerDateTime(); // raises norvik::EDateError for an impossible date
    int SendSetSummerTime(const QDateTime &time1, const QDateTime &time2);
    int SendSetWinterTime(const QDateTime &time1, const QDateTime &time2);

    // --- settings and buffers ------------------------------------------------------
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
    // --- the exchange, in pieces that every command family reuses ----------------
    // Writes 0x33, address, code, n, the n data bytes and the checksum into
    // RequestBuffer and returns the frame length n + 5; 0 (nothing written)
    // when n does not fit the buffer.
    int BuildRequest(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n);
    // Build, send, pause (only when pauseMs > 0), receive: the count received.
    // A frame that cannot be built is not sent and gives 0 (no answer).
    int Exchange(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n, int pauseMs = 0);
    // The same, addressed to ControllerID.
    int Exchange(std::uint8_t code, const std::uint8_t *data, int n, int pauseMs = 0);
    // Build and send only (commands whose frame has no answer).
    void SendOnly(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n);
    static void Pause(int milliseconds); // no call to the sleeper for 0 or less
    // Code 0x39: one daylight-saving switch, summer (data byte 0 = 1) or winter (0).
    int SendDaylightSaving(bool summer, const QDateTime &time1, const QDateTime &time2);

    // SendAfterSleep as the transaction reads use it: 0 -> 50 ms, positive -> that, negative -> none.
    int PauseRuleA() const;
    // SendAfterSleep as the table/setting writes use it: positive -> that, otherwise none.
    int PauseRuleB() const;

    // --- result conventions: count and reply bytes reduced to a result ----------
    // Status is ReplyBuffer[5], the echo ReplyBuffer[4]; expected is the reply length.
    int TriStateStatus(int count, int expected = 7) const;                      // 1 / 0 / -1
    bool BoolStatus(int count, int expected = 7) const;                         // true / false
    bool BoolStatusEcho(int count, std::uint8_t code, int expected = 7) const;  // also echo == code
    int TriStateStatusEcho(int count, std::uint8_t code, int expected = 7) const;
    static bool LengthOnly(int count, int expected);                            // status not looked at
    static int TriStateByCount(int count, int expected = 7);                    // 1, 0 count -> -1, else 0

    bool m_connected = false;
};
