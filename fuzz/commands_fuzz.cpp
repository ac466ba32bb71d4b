// Every command family's reply handling: a link derived from TBasicCom hands
// out the fuzzer's bytes as the replies (ReceiveFrame) and the raw reads
// (DirectReceive), and every operation is called once with fixed, valid
// arguments. The first byte picks the card width, the second the operation to
// start the round with; the rest are the reads (see FuzzBytes).
#include "common/Errors.h"
#include "common/Sleeper.h"
#include "component/BasicCom.h"
#include "fuzz/FuzzBytes.h"

#include <QDateTime>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using norvik::fuzz::FuzzBytes;

class FuzzLink : public TBasicCom {
public:
    explicit FuzzLink(FuzzBytes &input) : m_input(input) {}

    bool Connect() override
    {
        m_connected = true;
        return true;
    }
    void Disconnect() override { m_connected = false; }
    void SendFrame(int) override {}
    int DirectSend(const void *, int count) override { return count; }

    // As a link returns what it read: anything from nothing to the read limit,
    // whatever byte 3 announces.
    int ReceiveFrame() override
    {
        ClearBuffers(false, true);
        return Place(ReplyBuffer);
    }
    int DirectReceive(void *buffer) override { return Place(buffer); }

private:
    int Place(void *buffer)
    {
        const std::uint8_t *start = nullptr;
        const std::size_t length = std::min<std::size_t>(m_input.Chunk(start), ReplyBufferMax);
        if (length > 0)
            std::memcpy(buffer, start, length);
        return static_cast<int>(length);
    }

    FuzzBytes &m_input;
};

std::vector<int> Counting(int n)
{
    std::vector<int> list(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        list[static_cast<std::size_t>(i)] = i;
    return list;
}

// A buffer of exactly the size an operation documents, on the heap, so that
// the address sanitizer reports one byte written past it.
struct Exact {
    explicit Exact(std::size_t n) : bytes(std::make_unique<std::uint8_t[]>(n)) {}
    std::uint8_t *get() { return bytes.get(); }
    std::unique_ptr<std::uint8_t[]> bytes;
};

using Operation = std::function<void(TBasicCom &)>;

const std::vector<Operation> &Operations()
{
    static const QDateTime t1(QDate(2024, 3, 31), QTime(2, 0, 0));
    static const QDateTime t2(QDate(2024, 10, 27), QTime(3, 0, 0));
    static const std::vector<int> zones = Counting(4);
    static const std::vector<int> extra = Counting(16);
    static const std::string sn = "00000001";
    static const std::string text = "Norvik door 0001";
    static const std::vector<Operation> ops = {
        [](TBasicCom &l) { l.ResetController(); },
        [](TBasicCom &l) { l.SendJumpBootloader(); },
        [](TBasicCom &l) {
            TControllerInfo info;
            l.GetControllerInfo(info);
        },
        [](TBasicCom &l) { l.GetControllerSN(Exact(8).get()); },
        [](TBasicCom &l) { l.SendSetControllerSN(sn, 1); },
        [](TBasicCom &l) { l.SendSetControllerID(2, sn); },
        [](TBasicCom &l) { l.SendReadControllerID(sn); },
        [](TBasicCom &l) { l.BeginSetDeviceID(); },
        [](TBasicCom &l) { l.SendSetDeviceID(1, 2, "ABCDEFGH"); },
        [](TBasicCom &l) { l.SendReadDeviceID(4, "ABCDEFGH"); },
        [](TBasicCom &l) { l.EndSetDeviceID(); },
        [](TBasicCom &l) { l.BookmarkFront(); },
        [](TBasicCom &l) { l.SendTime(t1); },
        [](TBasicCom &l) { l.SendPCTime(); },
        [](TBasicCom &l) { (void)l.GetControllerDateTime(); },
        [](TBasicCom &l) { l.SendSetSummerTime(t1, t2); },
        [](TBasicCom &l) { l.SendSetWinterTime(t2, t1); },
        [](TBasicCom &l) {
            l.ReadTransaction(Exact(14).get(), 14);
            (void)l.FormatTransactionLog();
        },
        [](TBasicCom &l) {
            l.ReadTransaction(Exact(22).get(), 22);
            (void)l.FormatTransactionLog();
        },
        [](TBasicCom &l) { l.ReadTransactionCard7Bytes(Exact(22).get()); },
        [](TBasicCom &l) { l.ReadTransactionCard8Bytes(Exact(22).get()); },
        [](TBasicCom &l) { l.ReadTransactionCard12Bytes(Exact(22).get()); },
        [](TBasicCom &l) { l.ReadRemovedTransaction(5, Exact(14).get(), 14); },
        [](TBasicCom &l) { l.ReadRemovedTransaction(5, Exact(22).get(), 22); },
        [](TBasicCom &l) { l.AddSortedCardA(3, "12345678", zones, true, 7, "240101", "251231", true); },
        [](TBasicCom &l) { l.AddUnSortedCardA("12345678", zones, false, 7, "", ""); },
        [](TBasicCom &l) { l.AddSortedCardB(3, extra); },
        [](TBasicCom &l) { l.AddUnSortedCardB("12345678", extra); },
        [](TBasicCom &l) { l.AddSortedCardC(3, std::string(32, 'A'), true); },
        [](TBasicCom &l) { l.AddUnSortedCardC("12345678", std::string(32, 'A'), false); },
        [](TBasicCom &l) { l.AddSortedCardD(3, "12345678", zones, true, 7, "240101", "251231", false, extra); },
        [](TBasicCom &l) { l.AddUnSortedCardD("12345678", zones, false, 7, "", "", extra); },
        [](TBasicCom &l) { l.AddSortedCardE(3, "12345678", zones, true, 7, 0x0102, "240101", "251231", true); },
        [](TBasicCom &l) { l.AddUnSortedCardE("12345678", zones, false, 7, 0x0102, "", ""); },
        [](TBasicCom &l) { l.AddSortedCardF(3, "12345678", zones, true, 7, "240101", "251231", false, extra); },
        [](TBasicCom &l) { l.AddUnSortedCardF("12345678", zones, false, 7, "", "", extra); },
        [](TBasicCom &l) { l.AddSortedCardH(3, "12345678", zones, true, 7, "240101", "251231", false, extra); },
        [](TBasicCom &l) { l.AddUnSortedCardH("12345678", zones, false, 7, "", "", extra); },
        [](TBasicCom &l) { l.SendDelOneCard("12345678"); },
        [](TBasicCom &l) { l.SendSetIndividualCard(1, 7, "12345678", 2, "240131", t1, t2, false); },
        [](TBasicCom &l) { l.SendSetEmergencyCard(3, "1234", true); },
        [](TBasicCom &l) { l.SendClearEmergencyCard(3); },
        [](TBasicCom &l) { l.SetCardIDMask(5, "FFFF00FF"); },
        [](TBasicCom &l) { l.SetAllowAnyCard(true); },
        [](TBasicCom &l) { l.SetPresentCardDelay(300); },
        [](TBasicCom &l) { l.OpenDoorNow(1, 2, 3); },
        [](TBasicCom &l) { l.ForceOpenDoorNow(1); },
        [](TBasicCom &l) { l.ForceCloseDoorNow(1); },
        [](TBasicCom &l) { l.ResumeDoorNormalNow(1); },
        [](TBasicCom &l) { l.SetDoorOpenTime(1, 5, 6); },
        [](TBasicCom &l) {
            std::uint8_t state = 0;
            l.GetDoorStatus(1, state);
        },
        [](TBasicCom &l) { l.SendSetDoorPIN(1, 2, 1234); },
        [](TBasicCom &l) { l.SendSetPanicPIN(true, 0x1234); },
        [](TBasicCom &l) { l.SendSetPanicPIN(true, std::string("123456")); },
        [](TBasicCom &l) { l.SendSetLCDText(text); },
        [](TBasicCom &l) { l.SendSetDoorLCDText(text, 1, true); },
        [](TBasicCom &l) { l.SendReadDoorLCDText(); },
        [](TBasicCom &l) { l.SendTimeZone(6, 2, {10, 10, 20, 10}); },
        [](TBasicCom &l) { l.SendTimeTable(2, std::vector<std::uint8_t>(11, 1)); },
        [](TBasicCom &l) { l.SendHoliday(1, 2, 3, 4); },
        [](TBasicCom &l) { l.SendPinDisableTimeTable(std::vector<std::uint8_t>(16, 2)); },
        [](TBasicCom &l) { l.SendAutoOpenDoorTimeTable(extra); },
        [](TBasicCom &l) { l.SendAutoForceCloseDoorTimeTable(extra); },
        [](TBasicCom &l) { l.SendAntiPassBack(7, 1, 2); },
        [](TBasicCom &l) { l.SendGroup(2, 0x0304, std::vector<std::uint8_t>(16, 3)); },
        [](TBasicCom &l) { l.SendCarParkGroup(2, 0x0304, std::vector<std::uint8_t>(16, 3), 1, 2); },
        [](TBasicCom &l) { l.SendCarParkGroupE(7, 1, 2); },
        [](TBasicCom &l) { l.SendSetLiftOpenTime(1, Counting(40)); },
        [](TBasicCom &l) { l.SendSet80FloorOpenSecond(1, Counting(80)); },
        [](TBasicCom &l) { l.DirectReadBlockXRAM(0x1234, Exact(255).get(), 0); },
        [](TBasicCom &l) {
            std::uint8_t value = 0;
            l.DirectReadByteXRAM(0x1234, value);
        },
        [](TBasicCom &l) { l.DirectWriteByteXRAM(0x1234, 0x55); },
        [](TBasicCom &l) { l.TurnOnIORelay(1, 3, 500); },
        [](TBasicCom &l) {
            std::uint16_t state = 0;
            l.GetIORealTimeStatus(1, state);
        },
    };
    return ops;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The engine's fixed pauses (retries, settling, confirmations) would only slow the fuzzer down.
    norvik::SetSleeper([](int) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzBytes input(data, size);
    FuzzLink link(input);
    static constexpr TCardBytes kWidths[] = {cbNormal, cbCard7Bytes, cbCard8Bytes, cbCard12Bytes};
    link.SetCardBytes(kWidths[input.Byte() % 4]);
    link.Connect();

    const std::vector<Operation> &ops = Operations();
    const std::size_t first = input.Byte() % ops.size();
    for (std::size_t i = 0; i < ops.size(); ++i) {
        try {
            ops[(first + i) % ops.size()](link);
        } catch (const norvik::NorvikError &) {
            // Refused arguments and impossible dates read back are raised by design.
        }
    }
    return 0;
}
