// Transaction reading: fetching the controller's stored records one at a time,
// confirming each delivered record so that the controller moves on to the
// next, and the daily debug log of what was delivered.
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <QTime>

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t kCodeReadTransaction = 0x22;
constexpr std::uint8_t kCodeReadRemoved = 0x40;
constexpr std::uint8_t kCodeConfirm = 0xFF;

// Where the fields of a transaction reply sit. Every record starts at frame
// byte 5; only the width of the card number moves the fields after it.
struct RecordLayout {
    int cardBytes;

    static constexpr int kCard = 5;
    int Date() const { return kCard + cardBytes; }
    int Time() const { return Date() + 3; }
    int Delivery() const { return Time() + 3; }
    int Event() const { return Delivery() + 1; }
    int Tag() const { return Event() + 1; }
    int Checksum() const { return Tag() + 2; }
    int ReplyLength() const { return Checksum() + 1; }
    int RecordLength() const { return Checksum() - kCard; } // card .. tag
};

RecordLayout LayoutOf(TCardBytes width)
{
    switch (width) {
    case cbCard7Bytes:
        return {7};
    case cbCard8Bytes:
        return {8};
    case cbCard12Bytes:
        return {12};
    case cbNormal:
        break;
    }
    return {4};
}

// The long copy holds the card number right-aligned in 12 bytes, so a caller
// finds date, time, delivery byte and tag at the same place for every width.
constexpr int kLongForm = 22;
constexpr int kShortForm = 14;

void CopyRecord(const std::uint8_t *reply, const RecordLayout &layout, std::uint8_t *buffer, bool shortForm)
{
    const std::size_t length = static_cast<std::size_t>(layout.RecordLength());
    if (shortForm) {
        std::memcpy(buffer, reply + RecordLayout::kCard, length);
        return;
    }
    const std::size_t padding = static_cast<std::size_t>(kLongForm) - length;
    std::memset(buffer, 0, padding);
    std::memcpy(buffer + padding, reply + RecordLayout::kCard, length);
}

std::string HexByte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%.2X", value);
    return text;
}

// Three bytes as "0x.., 0x.., 0x..(a<sep>b<sep>c),": date and time of a record.
std::string Triple(const std::uint8_t *bytes, char separator)
{
    return HexByte(bytes[0]) + "," + HexByte(bytes[1]) + "," + HexByte(bytes[2]) + "(" + std::to_string(bytes[0]) +
           separator + std::to_string(bytes[1]) + separator + std::to_string(bytes[2]) + "),";
}

} // namespace

int TBasicCom::ReadTransactionAs(TCardBytes width, std::uint8_t *buffer, bool shortForm)
{
    const RecordLayout layout = LayoutOf(width);
    const int length = layout.ReplyLength();
    if (Exchange(kCodeReadTransaction, nullptr, 0, PauseRuleA()) != length)
        return -1;
    // A confirmation tells the controller that its record arrived, so only an
    // intact answer from the controller addressed is confirmed.
    if (CalCheckSum(ReplyBuffer, length - 1) != ReplyBuffer[length - 1])
        return -1;
    if (ReplyBuffer[1] != ControllerID)
        return -1;

    const std::uint8_t confirm[3] = {kCodeReadTransaction, ReplyBuffer[layout.Tag()], ReplyBuffer[layout.Tag() + 1]};
    const int confirmLength = BuildRequest(ControllerID, kCodeConfirm, confirm, 3);
    const bool delivered = ReplyBuffer[layout.Delivery()] != 0;
    if (delivered) {
        // The controller needs a moment after its answer before it takes the
        // confirmation; the confirmation itself is not answered.
        Pause(50);
        SendFrame(confirmLength);
    }
    CopyRecord(ReplyBuffer, layout, buffer, shortForm && width == cbNormal);
    if (DebugMode && delivered)
        AppendLogLine(DailyLogFileName(), TransactionLogLine(width));
    return 1;
}

int TBasicCom::ReadTransaction(std::uint8_t *buffer, int size)
{
    norvik::args::RecordBuffer(size, true, "Size");
    return ReadTransactionAs(cbNormal, buffer, size == kShortForm);
}

int TBasicCom::ReadTransactionCard7Bytes(std::uint8_t *buffer)
{
    return ReadTransactionAs(cbCard7Bytes, buffer, false);
}

int TBasicCom::ReadTransactionCard8Bytes(std::uint8_t *buffer)
{
    return ReadTransactionAs(cbCard8Bytes, buffer, false);
}

int TBasicCom::ReadTransactionCard12Bytes(std::uint8_t *buffer)
{
    return ReadTransactionAs(cbCard12Bytes, buffer, false);
}

int TBasicCom::ReadRemovedTransaction(std::uint16_t index, std::uint8_t *buffer, int size)
{
    // The controller looks the record up by index and needs 200 ms to answer;
    // it answers in the 4-byte-card layout whatever width it otherwise uses.
    norvik::args::RecordBuffer(size, true, "Size");
    const std::uint8_t data[2] = {static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index & 0xFF)};
    const RecordLayout layout = LayoutOf(cbNormal);
    if (Exchange(kCodeReadRemoved, data, 2, 200) != layout.ReplyLength())
        return -1;
    Pause(50);
    CopyRecord(ReplyBuffer, layout, buffer, size == kShortForm);
    return 1;
}

std::string TBasicCom::FormatTransactionLog() const
{
    return TransactionLogLine(CardBytes);
}

std::string TBasicCom::TransactionLogLine(TCardBytes width) const
{
    const RecordLayout layout = LayoutOf(width);
    const std::uint8_t *reply = ReplyBuffer;
    // The line's second field is the event byte for 4- and 7-byte cards and the
    // delivery byte for the wider ones, as readers of these logs expect.
    const bool leadIsDelivery = width == cbCard8Bytes || width == cbCard12Bytes;
    const std::uint8_t lead = reply[leadIsDelivery ? layout.Delivery() : layout.Event()];

    std::string line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString() + "||";
    line += std::to_string(ControllerID) + "," + HexByte(lead) + ",";

    std::string cardText;
    std::uint32_t cardNumber = 0;
    for (int i = 0; i < layout.cardBytes; ++i) {
        const std::uint8_t byte = reply[RecordLayout::kCard + i];
        line += HexByte(byte) + (i + 1 < layout.cardBytes ? "," : "");
        cardText += HexByte(byte).substr(2);
        cardNumber = (cardNumber << 8) | byte;
    }
    line += "(" + (width == cbNormal ? std::to_string(cardNumber) : cardText) + "),";
    line += Triple(reply + layout.Date(), '/');
    line += Triple(reply + layout.Time(), ':');
    const std::uint8_t delivery = reply[layout.Delivery()];
    const std::uint8_t event = reply[layout.Event()];
    line += HexByte(delivery) + "(" + std::to_string(delivery) + ")," + HexByte(event) + "(" + std::to_string(event) +
            "),";
    // The tag goes into the line as the two raw bytes, whatever their value.
    line += static_cast<char>(reply[layout.Tag()]);
    line += ',';
    line += static_cast<char>(reply[layout.Tag() + 1]);
    line += ',';
    return line;
}
