#pragma once
// The component's operations as norvik-ctl `call` reaches them: one table row
// per operation holds its name, its typed arguments, what it hands back and how
// its result reads as success. The listing, the argument parsing and its
// refusals, the output and the exit code all come from that one table.
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class TController;

namespace ctl {

enum class ArgType {
    Byte,     // 0..255
    Word,     // 0..65535
    Integer,  // signed 32-bit
    Cardinal, // 0..4294967295
    Boolean,  // true, false, 1, 0
    Text,     // as given, 8-bit
    List,     // comma-separated integers
    Bytes,    // comma-separated bytes or a plain hex string, a fixed count
    DateTime, // "YYYY-MM-DD HH:MM:SS"
};

struct ArgSpec {
    const char *name;
    ArgType type;
    int size = 0;                       // Bytes: the count taken; Text: the exact length (0: any)
    const char *defaultValue = nullptr; // an optional trailing argument's value when left out
};

// The parsed arguments of one call, by position.
class Arguments {
public:
    int Int(int i) const { return static_cast<int>(At(i).number); }
    std::uint8_t Byte(int i) const { return static_cast<std::uint8_t>(At(i).number); }
    std::uint16_t Word(int i) const { return static_cast<std::uint16_t>(At(i).number); }
    std::uint32_t Cardinal(int i) const { return static_cast<std::uint32_t>(At(i).number); }
    bool Bool(int i) const { return At(i).number != 0; }
    const std::string &Text(int i) const { return At(i).text; }
    const std::vector<int> &List(int i) const { return At(i).list; }
    const std::vector<std::uint8_t> &Bytes(int i) const { return At(i).bytes; }
    const QDateTime &Time(int i) const { return At(i).time; }

    // Raises UsageError naming the argument when a text does not parse or
    // breaks the type's range, and for a wrong number of arguments.
    static Arguments Parse(const QString &operation, const std::vector<ArgSpec> &specs, const QStringList &texts);

private:
    struct Slot {
        long long number = 0;
        std::string text;
        std::vector<int> list;
        std::vector<std::uint8_t> bytes;
        QDateTime time;
    };
    const Slot &At(int i) const { return m_slots.at(static_cast<std::size_t>(i)); }
    std::vector<Slot> m_slots;
};

// What a call handed back: its result, whether that means success by the
// operation's own convention, and its out-arguments.
struct CallOutcome {
    QJsonValue result;   // true/false, a number, a text; null for none
    bool success = false;
    struct Out {
        QString name;
        QJsonValue json;   // byte buffers: one hex string without blanks
        QString text;      // byte buffers: hex pairs separated by blanks
    };
    std::vector<Out> outs; // only when the call succeeded
};

struct Operation {
    const char *name;
    std::vector<ArgSpec> args;
    QStringList outs; // names with types, for the listing: "Buffer: bytes"
    std::function<CallOutcome(TController &, const Arguments &)> call;
};

// Every operation, in the order the listing shows them.
const std::vector<Operation> &Operations();
// The operation whose name matches case-insensitively, or nullptr.
const Operation *FindOperation(const QString &name);
// "YYYY-MM-DD HH:MM:SS" (or with a "T" between date and time) as typed; the
// caller judges what it holds, since a clock moment the PC's local time skips
// still has valid fields for the controller.
QDateTime ParseDateTimeText(const QString &text);

// Whether the last reply really carried the clock 2001-01-01 00:00:00, which
// GetControllerDateTime also returns when no answer came.
bool ReplyCarriedFallbackClock(TController &controller);

// "AddSortedCardA Index: integer, CardNo: text, ..." for `call --list`.
QString ListingLine(const Operation &operation);

} // namespace ctl
