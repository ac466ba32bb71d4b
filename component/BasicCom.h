#pragma once
// The protocol engine: request/reply buffers, checksum, the exchange and its
// result conventions, and every command operation. Links derive from it and
// implement only the six transport operations.
#include "component/Norvik_Include.h"

#include <QDateTime>
#include <QObject>

#include <cstdint>
#include <string>
#include <vector>

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

    // The controller's status byte for the last exchange, so that applications
    // can tell a refusal from silence where a command's result cannot (the
    // commands judged by their reply's length alone count a refusal as done):
    //   -1     nothing read yet, or the last exchange got no reply (count 0);
    //   0..255 the status byte (frame byte 5) of a 7-byte acknowledgement;
    //   0      a reply of any other length: the controller answered with data
    //          (or a frame no command expects), which is no refusal.
    // DirectReadByteXRAM carries the byte read where the status would be and
    // counts as 0; DirectReadBlockXRAM's raw block gives 0, its absence -1.
    int LastReplyStatus() const { return m_lastReplyStatus; }

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
    // Raises norvik::EDateError for an impossible date. The controller's fields
    // come back as they are, also in the hour the host's local time skips.
    QDateTime GetControllerDateTime();
    int SendSetSummerTime(const QDateTime &time1, const QDateTime &time2);
    int SendSetWinterTime(const QDateTime &time1, const QDateTime &time2);

    // --- transaction reading ---------------------------------------------------------
    // Each read returns 1 for a valid answer (also one without a record: delivery
    // byte 0), -1 otherwise; a delivered record is confirmed 50 ms later by
    // echoing its record tag. size is what buffer holds: 14 selects the 14-byte
    // form (4-byte cards only), 22 or more the 22-byte form, which is written
    // (22 bytes) for every other card width too. Any other size raises
    // EArgumentError ("Size: ...") before anything is sent. The CardNBytes
    // reads always write 22 bytes: buffer must hold 22.
    int ReadTransaction(std::uint8_t *buffer, int size);
    int ReadTransactionCard7Bytes(std::uint8_t *buffer);
    int ReadTransactionCard8Bytes(std::uint8_t *buffer);
    int ReadTransactionCard12Bytes(std::uint8_t *buffer);
    // ReadRemovedTransaction answers in the 4-byte-card layout whatever CardBytes
    // is; it is neither verified, confirmed nor logged. size as ReadTransaction's.
    int ReadRemovedTransaction(std::uint16_t index, std::uint8_t *buffer, int size);
    // One debug-log line for the reply in ReplyBuffer, laid out by CardBytes.
    std::string FormatTransactionLog() const;

    // --- card lists ---------------------------------------------------------------------
    // Lists are integers of which each used entry goes out as one byte.
    // Results: tri-state by count (1 for a 7-byte answer, 0 for another
    // length, -1 for none). A card text that does not convert, a date text that
    // is not six digits, a list or raw text shorter than the frame needs, or a
    // used zone, extra or byte list entry outside 0 to 255 raises before
    // anything is sent (EConvertError / EArgumentError, naming the argument).
    int AddSortedCardA(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                       int code, const std::string &startDate, const std::string &endDate, bool flag);
    int AddUnSortedCardA(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                         const std::string &startDate, const std::string &endDate);
    int AddSortedCardB(int index, const std::vector<int> &byteList);
    int AddUnSortedCardB(const std::string &cardNo, const std::vector<int> &byteList);
    int AddSortedCardC(int index, const std::string &rawText, bool isLong);
    int AddUnSortedCardC(const std::string &cardNo, const std::string &rawText, bool isLong);
    int AddSortedCardD(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                       int code, const std::string &startDate, const std::string &endDate, bool flag,
                       const std::vector<int> &extraList);
    int AddUnSortedCardD(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                         const std::string &startDate, const std::string &endDate, const std::vector<int> &extraList);
    int AddSortedCardE(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                       int code, int extraValue, const std::string &startDate, const std::string &endDate, bool flag);
    int AddUnSortedCardE(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                         int extraValue, const std::string &startDate, const std::string &endDate);
    int AddSortedCardF(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                       int code, const std::string &startDate, const std::string &endDate, bool flag,
                       const std::vector<int> &extraList);
    int AddUnSortedCardF(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                         const std::string &startDate, const std::string &endDate, const std::vector<int> &extraList);
    int AddSortedCardH(int index, const std::string &cardNo, const std::vector<int> &zoneList, bool useDates,
                       int code, const std::string &startDate, const std::string &endDate, bool flag,
                       const std::vector<int> &extraList);
    int AddUnSortedCardH(const std::string &cardNo, const std::vector<int> &zoneList, bool useDates, int code,
                         const std::string &startDate, const std::string &endDate, const std::vector<int> &extraList);
    bool SendDelOneCard(const std::string &cardNo);

    // --- special cards and card options ----------------------------------------------
    // The individual card's times send only their time of day; a null time is
    // refused before anything is sent (-1, as if the controller had not
    // answered). The emergency card number is a signed 32-bit decimal (-1 goes
    // out as FFFFFFFF); other card texts are 0 to 4294967295. Texts that do not
    // convert or are shorter than the frame needs raise before anything is sent.
    int SendSetIndividualCard(int index, std::uint8_t value, const std::string &cardNo, int number,
                              const std::string &date, const QDateTime &time1, const QDateTime &time2, bool allCards);
    bool SendSetEmergencyCard(std::uint8_t slot, const std::string &cardNo, bool lock);
    bool SendClearEmergencyCard(std::uint8_t slot);
    bool SetCardIDMask(std::uint8_t value, const std::string &mask);
    bool SetAllowAnyCard(bool allow);
    bool SetPresentCardDelay(std::uint16_t delay);

    // --- doors -------------------------------------------------------------------------
    bool OpenDoorNow(std::uint8_t door, std::uint8_t value1, std::uint8_t value2);
    bool ForceOpenDoorNow(std::uint8_t door);
    bool ForceCloseDoorNow(std::uint8_t door);
    bool ResumeDoorNormalNow(std::uint8_t door);
    int SetDoorOpenTime(std::uint8_t door, std::uint8_t value1, std::uint8_t value2);
    // state is written only when true is returned.
    bool GetDoorStatus(std::uint8_t door, std::uint8_t &state);
    bool SendSetDoorPIN(std::uint8_t door, std::uint8_t slot, std::int32_t pin);
    bool SendSetPanicPIN(bool enable, int pin);                // low 16 bits, low byte first
    bool SendSetPanicPIN(bool enable, const std::string &pin); // digits two per byte, last two first
    int SendSetLCDText(const std::string &text);               // at least 16 characters
    int SendSetDoorLCDText(const std::string &text, std::uint8_t door, bool flag);
    int SendReadDoorLCDText();

    // --- time zones, time tables and holidays ----------------------------------------
    int SendTimeZone(std::uint8_t zone, int count, const std::vector<int> &intervals);
    int SendTimeTable(std::uint8_t index, const std::vector<std::uint8_t> &record /* 11 bytes */);
    int SendHoliday(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3, std::uint8_t byte4);
    int SendPinDisableTimeTable(const std::vector<std::uint8_t> &table /* 16 bytes */);
    bool SendAutoOpenDoorTimeTable(const std::vector<int> &byteList /* at least 16 */);
    bool SendAutoForceCloseDoorTimeTable(const std::vector<int> &byteList /* at least 16 */);

    // --- groups, anti-passback, car park and lift --------------------------------------
    int SendAntiPassBack(std::uint16_t number, std::uint8_t byteA, std::uint8_t byteB);
    int SendGroup(std::uint8_t group, std::uint16_t groupValue, const std::vector<std::uint8_t> &members /* 16 */);
    int SendCarParkGroup(std::uint8_t group, std::uint16_t groupValue, const std::vector<std::uint8_t> &members,
                         std::uint8_t byteA, std::uint8_t byteB);
    int SendCarParkGroupE(std::uint16_t number, std::uint8_t byteA, std::uint8_t byteB);
    bool SendSetLiftOpenTime(std::uint8_t unit, const std::vector<int> &floors /* at least 40 */);
    bool SendSet80FloorOpenSecond(std::uint8_t unit, const std::vector<int> &floors /* at least 80 */);

    // --- memory and I/O -------------------------------------------------------------------
    // buffer must hold 255 bytes (what DirectReceive may place); true for exactly 64.
    bool DirectReadBlockXRAM(std::uint32_t address, std::uint8_t *buffer, int unused);
    bool DirectReadByteXRAM(std::uint32_t address, std::uint8_t &value);
    bool DirectWriteByteXRAM(std::uint32_t address, std::uint8_t value);
    bool TurnOnIORelay(std::uint8_t relay, std::uint8_t mode /* 0..15 */, std::uint16_t time);
    bool GetIORealTimeStatus(std::uint8_t unit, std::uint16_t &state);

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
    // Code 0x51: the first count floor times of a lift unit, ten per frame.
    bool SendLiftFloors(std::uint8_t unit, const std::vector<int> &floors, std::size_t count);

    // One transaction read in the layout of the given card width; shortForm
    // selects the 14-byte copy (4-byte cards only).
    int ReadTransactionAs(TCardBytes width, std::uint8_t *buffer, bool shortForm);
    // The debug-log line of the reply in ReplyBuffer, in the layout of the given width.
    std::string TransactionLogLine(TCardBytes width) const;

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
    int m_lastReplyStatus = -1;
};
