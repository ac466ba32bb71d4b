#pragma once
// What a simulated controller makes of one request: the reply to send, if any,
// and a note for the trace. The access-control families (cards, doors,
// calendar, memory) answer with a Reply; the controller adds the address and
// the checksum, except to a raw reply (the memory block), which goes out as it is.
#include <QByteArray>
#include <QString>

#include <cstdint>

namespace nsim {

// Status bytes of the standard acknowledgement. 0 accepts; the controller's
// refusals are told apart only for people reading a trace.
enum Status : std::uint8_t {
    stOK = 0,
    stUnknownCommand = 1,
    stBadData = 2,
    stIdInUse = 3,
    stFull = 4,     // the list or the record memory holds all it can
    stNotFound = 5, // no such record, door, output or address
    stForced = 6,   // the door is held open or closed and ignores the output command
};

struct Reply {
    enum Kind { None, Framed, Raw };
    Kind kind = None;
    std::uint8_t code = 0; // reply code (frame byte 2)
    QByteArray data;       // Framed: the data bytes; Raw: every byte to write
    QString note;
};

// The standard acknowledgement: data = the command code, then the status.
inline Reply ackReply(std::uint8_t code, std::uint8_t status = stOK, QString note = {})
{
    QByteArray data(2, '\0');
    data[0] = static_cast<char>(code);
    data[1] = static_cast<char>(status);
    return {Reply::Framed, code, data, std::move(note)};
}

// data = the command code, then rest.
inline Reply echoReply(std::uint8_t code, const QByteArray &rest, QString note = {})
{
    QByteArray data(1, static_cast<char>(code));
    data += rest;
    return {Reply::Framed, code, data, std::move(note)};
}

inline Reply noReply(QString note = {})
{
    return {Reply::None, 0, {}, std::move(note)};
}

inline Reply rawReply(QByteArray bytes, QString note = {})
{
    return {Reply::Raw, 0, std::move(bytes), std::move(note)};
}

inline std::uint8_t u8(const QByteArray &bytes, int i)
{
    return static_cast<std::uint8_t>(bytes[i]);
}

// Two bytes, high byte first, from offset i.
inline std::uint16_t be16At(const QByteArray &bytes, int i)
{
    return static_cast<std::uint16_t>(u8(bytes, i) << 8 | u8(bytes, i + 1));
}

// Upper-case hexadecimal without separators: how the state file shows byte blocks.
inline QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

} // namespace nsim
