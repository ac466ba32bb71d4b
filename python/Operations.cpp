// Every operation norvik-ctl's `call` reaches, bound under the component's own
// name with the argument names of its listing. Each binding converts the Python
// values, runs the component's method on the controller's thread and gives back
// the result first, then the out-values (None for an out-value the call did not
// fill). Each is also reachable under its snake_case name.
#include "python/PyController.h"

#include "common/Errors.h"
#include "component/Controller.h"

#include <array>
#include <cctype>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

namespace pynorvik {

namespace {

// --- argument kinds: how a Python value becomes the C++ parameter ---------------------

struct Arg {
    const char *name;
    py::arg PyArg() const { return py::arg(name); }
};
struct Byte : Arg {
    static constexpr const char *hint = "int";
    std::uint8_t operator()(py::handle v) const { return static_cast<std::uint8_t>(Integer(v, name, 0, 255)); }
};
struct Word : Arg {
    static constexpr const char *hint = "int";
    std::uint16_t operator()(py::handle v) const { return static_cast<std::uint16_t>(Integer(v, name, 0, 65535)); }
};
struct Int : Arg {
    static constexpr const char *hint = "int";
    int operator()(py::handle v) const { return static_cast<int>(Integer(v, name, INT32_MIN, INT32_MAX)); }
};
// An integer argument that may be left out (0).
struct IntOr0 : Int {
    py::arg_v PyArg() const { return py::arg_v(name, 0); }
};
struct Cardinal : Arg {
    static constexpr const char *hint = "int";
    std::uint32_t operator()(py::handle v) const { return static_cast<std::uint32_t>(Integer(v, name, 0, 0xFFFFFFFFLL)); }
};
struct Flag : Arg {
    static constexpr const char *hint = "bool";
    bool operator()(py::handle v) const { return Boolean(v, name); }
};
struct Str : Arg {
    std::size_t length = 0; // exact length on the wire, 0: any
    static constexpr const char *hint = "str";
    std::string operator()(py::handle v) const { return Text(v, name, length); }
};
struct List : Arg {
    static constexpr const char *hint = "Sequence[int]";
    std::vector<int> operator()(py::handle v) const { return IntegerList(v, name); }
};
struct Block : Arg {
    static constexpr const char *hint = "bytes | Sequence[int]";
    std::vector<std::uint8_t> operator()(py::handle v) const { return ByteBlock(v, name); }
};
struct Time : Arg {
    static constexpr const char *hint = "datetime.datetime | str";
    QDateTime operator()(py::handle v) const { return DateTime(v, name); }
};
// The panic PIN: a text goes to the text form (digits two per byte), an integer to the integer form.
struct Pin : Arg {
    static constexpr const char *hint = "str | int";
    std::variant<std::string, int> operator()(py::handle v) const
    {
        if (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()))
            return static_cast<int>(static_cast<std::uint32_t>(Integer(v, name, INT32_MIN, 0xFFFFFFFFLL)));
        return Text(v, name);
    }
};

// --- the description the type stub is written from --------------------------------------

struct Described {
    std::string name;
    std::vector<std::tuple<std::string, std::string, bool>> args; // name, hint, has a default
    std::string returns;
};

std::vector<Described> &described()
{
    static std::vector<Described> all;
    return all;
}

// "GetControllerInfo" -> "get_controller_info", "DirectReadBlockXRAM" -> "direct_read_block_xram".
std::string SnakeCase(const std::string &name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool upper = std::isupper(static_cast<unsigned char>(c));
        if (upper && i > 0) {
            const char before = name[i - 1];
            const bool afterLower = std::islower(static_cast<unsigned char>(before)) || std::isdigit(static_cast<unsigned char>(before));
            const bool endsAcronym = std::isupper(static_cast<unsigned char>(before)) && i + 1 < name.size() &&
                                     std::islower(static_cast<unsigned char>(name[i + 1]));
            if (afterLower || endsAcronym)
                out += '_';
        }
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

template <class S> using AsObject = py::object;

// Binds one operation: call(TController&, converted arguments...) returns the
// C++ result, which becomes the Python one.
template <class F, class... S>
void Op(py::class_<PyController> &cls, const char *name, const char *returns, F call, S... specs)
{
    cls.def(
        name,
        [call, specs...](PyController &self, AsObject<S>... values) -> py::object {
            // Braced: converted left to right, so the first bad argument is the one named.
            std::tuple<decltype(specs(values))...> args{specs(values)...};
            using R = decltype(call(std::declval<TController &>(), std::declval<decltype(specs(values)) &>()...));
            if constexpr (std::is_void_v<R>) {
                self.Call([&](TController &c) { std::apply([&](auto &...a) { call(c, a...); }, args); });
                return py::none();
            } else {
                return ToPython(self.Call([&](TController &c) {
                    return std::apply([&](auto &...a) { return call(c, a...); }, args);
                }));
            }
        },
        specs.PyArg()...);
    const std::string snake = SnakeCase(name);
    cls.attr(snake.c_str()) = cls.attr(name);
    described().push_back({name, {{specs.name, S::hint, !std::is_same_v<decltype(specs.PyArg()), py::arg>}...}, returns});
}

using Ctl = TController &;
using Info = std::tuple<bool, std::optional<TControllerInfo>>;
using BoolBytes = std::tuple<bool, std::optional<Bytes>>;
using TriBytes = std::tuple<int, std::optional<Bytes>>;
using BoolNumber = std::tuple<bool, std::optional<int>>;

std::optional<Bytes> BytesIf(bool filled, const std::uint8_t *data, int count)
{
    if (!filled)
        return std::nullopt;
    return Bytes{{data, data + count}};
}

// A transaction read fills 14 bytes only for 4-byte cards asked for size 14.
int TransactionSize(Ctl c, int size)
{
    return c.CardBytes() == cbNormal && size == 14 ? 14 : 22;
}

void BindIdentityAndClock(py::class_<PyController> &cls)
{
    Op(cls, "ResetController", "int", [](Ctl c) { return c.ResetController(); });
    Op(cls, "SendJumpBootloader", "bool", [](Ctl c) { return c.SendJumpBootloader(); });
    Op(cls, "GetControllerInfo", "tuple[bool, ControllerInfo | None]", [](Ctl c) {
        TControllerInfo info;
        const bool ok = c.GetControllerInfo(info);
        return Info{ok, ok ? std::optional(info) : std::nullopt};
    });
    Op(cls, "GetControllerSN", "tuple[bool, bytes | None]", [](Ctl c) {
        std::uint8_t sn[8] = {};
        const bool ok = c.GetControllerSN(sn);
        return BoolBytes{ok, BytesIf(ok, sn, 8)};
    });
    Op(cls, "SendSetControllerSN", "bool", [](Ctl c, const std::string &sn, std::uint8_t id) {
        return c.SendSetControllerSN(sn, id);
    }, Str{{"SN"}, 8}, Byte{{"ID"}});
    Op(cls, "SendSetControllerID", "None", [](Ctl c, std::uint8_t id, const std::string &sn) {
        c.SendSetControllerID(id, sn);
    }, Byte{{"ID"}}, Str{{"SN"}, 8});
    Op(cls, "SendReadControllerID", "int", [](Ctl c, const std::string &sn) { return c.SendReadControllerID(sn); },
       Str{{"SN"}, 8});
    Op(cls, "BeginSetDeviceID", "bool", [](Ctl c) { return c.BeginSetDeviceID(); });
    Op(cls, "SendSetDeviceID", "int", [](Ctl c, std::uint8_t value, std::uint8_t selector, const std::string &text) {
        return c.SendSetDeviceID(value, selector, text);
    }, Byte{{"Value"}}, Byte{{"Selector"}}, Str{{"Text"}, 8});
    Op(cls, "SendReadDeviceID", "int", [](Ctl c, std::uint8_t selector, const std::string &text) {
        return c.SendReadDeviceID(selector, text);
    }, Byte{{"Selector"}}, Str{{"Text"}, 8});
    Op(cls, "EndSetDeviceID", "bool", [](Ctl c) { return c.EndSetDeviceID(); });
    Op(cls, "BookmarkFront", "bool", [](Ctl c) { return c.BookmarkFront(); });

    Op(cls, "SendTime", "int", [](Ctl c, const QDateTime &t) { return c.SendTime(t); }, Time{{"DateTime"}});
    Op(cls, "SendPCTime", "int", [](Ctl c) { return c.SendPCTime(); });
    Op(cls, "GetControllerDateTime", "datetime.datetime", [](Ctl c) { return c.GetControllerDateTime(); });
    Op(cls, "SendSetSummerTime", "int", [](Ctl c, const QDateTime &a, const QDateTime &b) {
        return c.SendSetSummerTime(a, b);
    }, Time{{"Time1"}}, Time{{"Time2"}});
    Op(cls, "SendSetWinterTime", "int", [](Ctl c, const QDateTime &a, const QDateTime &b) {
        return c.SendSetWinterTime(a, b);
    }, Time{{"Time1"}}, Time{{"Time2"}});
}

void BindCards(py::class_<PyController> &cls)
{
    Op(cls, "ReadTransaction", "tuple[int, bytes | None]", [](Ctl c, int size) {
        std::uint8_t buffer[22] = {};
        const int result = c.ReadTransaction(buffer, size);
        return TriBytes{result, BytesIf(result == 1, buffer, TransactionSize(c, size))};
    }, Int{{"Size"}});
    Op(cls, "ReadRemovedTransaction", "tuple[int, bytes | None]", [](Ctl c, std::uint16_t index, int size) {
        std::uint8_t buffer[22] = {};
        const int result = c.ReadRemovedTransaction(index, buffer, size);
        return TriBytes{result, BytesIf(result == 1, buffer, size == 14 ? 14 : 22)};
    }, Word{{"Index"}}, Int{{"Size"}});

    const Str card{{"CardNo"}};
    const List zones{{"ZoneList"}};
    const Flag useDates{{"UseDates"}};
    const Word code{{"Code"}};
    const Str start{{"StartDate"}}, end{{"EndDate"}};
    const Flag flag{{"Flag"}};
    const List extra{{"ExtraList"}};
    const Word index{{"Index"}};
    using S = const std::string &;
    using L = const std::vector<int> &;
    Op(cls, "AddSortedCardA", "int", [](Ctl c, std::uint16_t i, S n, L z, bool u, std::uint16_t k, S a, S b, bool f) {
        return c.AddSortedCardA(i, n, z, u, k, a, b, f);
    }, index, card, zones, useDates, code, start, end, flag);
    Op(cls, "AddUnSortedCardA", "int", [](Ctl c, S n, L z, bool u, std::uint16_t k, S a, S b) {
        return c.AddUnSortedCardA(n, z, u, k, a, b);
    }, card, zones, useDates, code, start, end);
    Op(cls, "AddSortedCardB", "int", [](Ctl c, std::uint16_t i, L bytes) { return c.AddSortedCardB(i, bytes); },
       index, List{{"ByteList"}});
    Op(cls, "AddUnSortedCardB", "int", [](Ctl c, S n, L bytes) { return c.AddUnSortedCardB(n, bytes); }, card,
       List{{"ByteList"}});
    Op(cls, "AddSortedCardC", "int", [](Ctl c, std::uint16_t i, S raw, bool isLong) {
        return c.AddSortedCardC(i, raw, isLong);
    }, index, Str{{"RawText"}}, Flag{{"IsLong"}});
    Op(cls, "AddUnSortedCardC", "int", [](Ctl c, S n, S raw, bool isLong) { return c.AddUnSortedCardC(n, raw, isLong); },
       card, Str{{"RawText"}}, Flag{{"IsLong"}});
    Op(cls, "AddSortedCardD", "int", [](Ctl c, std::uint16_t i, S n, L z, bool u, std::uint16_t k, S a, S b, bool f, L x) {
        return c.AddSortedCardD(i, n, z, u, k, a, b, f, x);
    }, index, card, zones, useDates, code, start, end, flag, extra);
    Op(cls, "AddUnSortedCardD", "int", [](Ctl c, S n, L z, bool u, std::uint16_t k, S a, S b, L x) {
        return c.AddUnSortedCardD(n, z, u, k, a, b, x);
    }, card, zones, useDates, code, start, end, extra);
    Op(cls, "AddSortedCardE", "int",
       [](Ctl c, std::uint16_t i, S n, L z, bool u, std::uint16_t k, std::uint16_t e, S a, S b, bool f) {
           return c.AddSortedCardE(i, n, z, u, k, e, a, b, f);
       }, index, card, zones, useDates, code, Word{{"ExtraValue"}}, start, end, flag);
    Op(cls, "AddUnSortedCardE", "int", [](Ctl c, S n, L z, bool u, std::uint16_t k, std::uint16_t e, S a, S b) {
        return c.AddUnSortedCardE(n, z, u, k, e, a, b);
    }, card, zones, useDates, code, Word{{"ExtraValue"}}, start, end);
    Op(cls, "AddSortedCardF", "int", [](Ctl c, std::uint16_t i, S n, L z, bool u, std::uint16_t k, S a, S b, bool f, L x) {
        return c.AddSortedCardF(i, n, z, u, k, a, b, f, x);
    }, index, card, zones, useDates, code, start, end, flag, extra);
    Op(cls, "AddUnSortedCardF", "int", [](Ctl c, S n, L z, bool u, std::uint16_t k, S a, S b, L x) {
        return c.AddUnSortedCardF(n, z, u, k, a, b, x);
    }, card, zones, useDates, code, start, end, extra);
    Op(cls, "AddSortedCardH", "int", [](Ctl c, std::uint16_t i, S n, L z, bool u, std::uint16_t k, S a, S b, bool f, L x) {
        return c.AddSortedCardH(i, n, z, u, k, a, b, f, x);
    }, index, card, zones, useDates, code, start, end, flag, extra);
    Op(cls, "AddUnSortedCardH", "int", [](Ctl c, S n, L z, bool u, std::uint16_t k, S a, S b, L x) {
        return c.AddUnSortedCardH(n, z, u, k, a, b, x);
    }, card, zones, useDates, code, start, end, extra);
    Op(cls, "SendDelOneCard", "bool", [](Ctl c, S n) { return c.SendDelOneCard(n); }, card);

    Op(cls, "SendSetIndividualCard", "int",
       [](Ctl c, std::uint16_t i, std::uint8_t v, S n, std::uint16_t number, S date, const QDateTime &t1,
          const QDateTime &t2, bool all) { return c.SendSetIndividualCard(i, v, n, number, date, t1, t2, all); },
       index, Byte{{"Value"}}, card, Word{{"Number"}}, Str{{"Date"}}, Time{{"Time1"}}, Time{{"Time2"}},
       Flag{{"AllCards"}});
    Op(cls, "SendSetEmergencyCard", "bool", [](Ctl c, std::uint8_t slot, S n, bool lock) {
        return c.SendSetEmergencyCard(slot, n, lock);
    }, Byte{{"Slot"}}, card, Flag{{"Lock"}});
    Op(cls, "SendClearEmergencyCard", "bool", [](Ctl c, std::uint8_t slot) { return c.SendClearEmergencyCard(slot); },
       Byte{{"Slot"}});
    Op(cls, "SetCardIDMask", "bool", [](Ctl c, std::uint8_t v, S mask) { return c.SetCardIDMask(v, mask); },
       Byte{{"Value"}}, Str{{"Mask"}});
    Op(cls, "SetAllowAnyCard", "bool", [](Ctl c, bool allow) { return c.SetAllowAnyCard(allow); }, Flag{{"Allow"}});
    Op(cls, "SetPresentCardDelay", "bool", [](Ctl c, std::uint16_t d) { return c.SetPresentCardDelay(d); },
       Word{{"Delay"}});
}

void BindDoorsAndTables(py::class_<PyController> &cls)
{
    const Byte door{{"Door"}};
    Op(cls, "OpenDoorNow", "bool", [](Ctl c, std::uint8_t d, std::uint8_t a, std::uint8_t b) {
        return c.OpenDoorNow(d, a, b);
    }, door, Byte{{"Value1"}}, Byte{{"Value2"}});
    Op(cls, "ForceOpenDoorNow", "bool", [](Ctl c, std::uint8_t d) { return c.ForceOpenDoorNow(d); }, door);
    Op(cls, "ForceCloseDoorNow", "bool", [](Ctl c, std::uint8_t d) { return c.ForceCloseDoorNow(d); }, door);
    Op(cls, "ResumeDoorNormalNow", "bool", [](Ctl c, std::uint8_t d) { return c.ResumeDoorNormalNow(d); }, door);
    Op(cls, "SetDoorOpenTime", "int", [](Ctl c, std::uint8_t d, std::uint8_t a, std::uint8_t b) {
        return c.SetDoorOpenTime(d, a, b);
    }, door, Byte{{"Value1"}}, Byte{{"Value2"}});
    Op(cls, "GetDoorStatus", "tuple[bool, int | None]", [](Ctl c, std::uint8_t d) {
        std::uint8_t state = 0;
        const bool ok = c.GetDoorStatus(d, state);
        return BoolNumber{ok, ok ? std::optional<int>(state) : std::nullopt};
    }, door);
    Op(cls, "SendSetDoorPIN", "bool", [](Ctl c, std::uint8_t d, std::uint8_t slot, int pin) {
        return c.SendSetDoorPIN(d, slot, pin);
    }, door, Byte{{"Slot"}}, Int{{"PIN"}});
    Op(cls, "SendSetPanicPIN", "bool", [](Ctl c, bool enable, const std::variant<std::string, int> &pin) {
        return std::visit([&](const auto &p) { return c.SendSetPanicPIN(enable, p); }, pin);
    }, Flag{{"Enable"}}, Pin{{"PIN"}});
    Op(cls, "SendSetLCDText", "int", [](Ctl c, const std::string &t) { return c.SendSetLCDText(t); }, Str{{"Text"}});
    Op(cls, "SendSetDoorLCDText", "int", [](Ctl c, const std::string &t, std::uint8_t d, bool f) {
        return c.SendSetDoorLCDText(t, d, f);
    }, Str{{"Text"}}, door, Flag{{"Flag"}});
    Op(cls, "SendReadDoorLCDText", "int", [](Ctl c) { return c.SendReadDoorLCDText(); });

    using B = const std::vector<std::uint8_t> &;
    using L = const std::vector<int> &;
    Op(cls, "SendTimeZone", "int", [](Ctl c, std::uint8_t z, int count, L intervals) {
        return c.SendTimeZone(z, count, intervals);
    }, Byte{{"Zone"}}, Int{{"Count"}}, List{{"Intervals"}});
    Op(cls, "SendTimeTable", "int", [](Ctl c, std::uint8_t i, B record) { return c.SendTimeTable(i, record); },
       Byte{{"Index"}}, Block{{"Record"}});
    Op(cls, "SendHoliday", "int", [](Ctl c, std::uint8_t a, std::uint8_t b, std::uint8_t d, std::uint8_t e) {
        return c.SendHoliday(a, b, d, e);
    }, Byte{{"Byte1"}}, Byte{{"Byte2"}}, Byte{{"Byte3"}}, Byte{{"Byte4"}});
    Op(cls, "SendPinDisableTimeTable", "int", [](Ctl c, B table) { return c.SendPinDisableTimeTable(table); },
       Block{{"Table"}});
    Op(cls, "SendAutoOpenDoorTimeTable", "bool", [](Ctl c, L list) { return c.SendAutoOpenDoorTimeTable(list); },
       List{{"ByteList"}});
    Op(cls, "SendAutoForceCloseDoorTimeTable", "bool", [](Ctl c, L list) {
        return c.SendAutoForceCloseDoorTimeTable(list);
    }, List{{"ByteList"}});

    Op(cls, "SendAntiPassBack", "int", [](Ctl c, std::uint16_t n, std::uint8_t a, std::uint8_t b) {
        return c.SendAntiPassBack(n, a, b);
    }, Word{{"Number"}}, Byte{{"ByteA"}}, Byte{{"ByteB"}});
    Op(cls, "SendGroup", "int", [](Ctl c, std::uint8_t g, std::uint16_t v, B members) {
        return c.SendGroup(g, v, members);
    }, Byte{{"Group"}}, Word{{"GroupValue"}}, Block{{"Members"}});
    Op(cls, "SendCarParkGroup", "int",
       [](Ctl c, std::uint8_t g, std::uint16_t v, B members, std::uint8_t a, std::uint8_t b) {
           return c.SendCarParkGroup(g, v, members, a, b);
       }, Byte{{"Group"}}, Word{{"GroupValue"}}, Block{{"Members"}}, Byte{{"ByteA"}}, Byte{{"ByteB"}});
    Op(cls, "SendCarParkGroupE", "int", [](Ctl c, std::uint16_t n, std::uint8_t a, std::uint8_t b) {
        return c.SendCarParkGroupE(n, a, b);
    }, Word{{"Number"}}, Byte{{"ByteA"}}, Byte{{"ByteB"}});
    Op(cls, "SendSetLiftOpenTime", "bool", [](Ctl c, std::uint8_t u, L floors) { return c.SendSetLiftOpenTime(u, floors); },
       Byte{{"Unit"}}, List{{"Floors"}});
    Op(cls, "SendSet80FloorOpenSecond", "bool", [](Ctl c, std::uint8_t u, L floors) {
        return c.SendSet80FloorOpenSecond(u, floors);
    }, Byte{{"Unit"}}, List{{"Floors"}});
}

void BindMemory(py::class_<PyController> &cls)
{
    Op(cls, "DirectReadBlockXRAM", "tuple[bool, bytes | None]", [](Ctl c, std::uint32_t address, int unused) {
        std::uint8_t buffer[256] = {}; // what DirectReceive may place
        const bool ok = c.DirectReadBlockXRAM(address, buffer, unused);
        return BoolBytes{ok, BytesIf(ok, buffer, 64)};
    }, Cardinal{{"Address"}}, IntOr0{{"Unused"}});
    Op(cls, "DirectReadByteXRAM", "tuple[bool, int | None]", [](Ctl c, std::uint32_t address) {
        std::uint8_t value = 0;
        const bool ok = c.DirectReadByteXRAM(address, value);
        return BoolNumber{ok, ok ? std::optional<int>(value) : std::nullopt};
    }, Cardinal{{"Address"}});
    Op(cls, "DirectWriteByteXRAM", "bool", [](Ctl c, std::uint32_t address, std::uint8_t value) {
        return c.DirectWriteByteXRAM(address, value);
    }, Cardinal{{"Address"}}, Byte{{"Value"}});
    Op(cls, "TurnOnIORelay", "bool", [](Ctl c, std::uint8_t relay, std::uint8_t mode, std::uint16_t time) {
        return c.TurnOnIORelay(relay, mode, time);
    }, Byte{{"Relay"}}, Byte{{"Mode"}}, Word{{"Time"}});
    Op(cls, "GetIORealTimeStatus", "tuple[bool, int | None]", [](Ctl c, std::uint8_t unit) {
        std::uint16_t state = 0;
        bool ok = false;
        try {
            ok = c.GetIORealTimeStatus(unit, state);
        } catch (const norvik::EConvertError &e) {
            // Raised by the controller's answer, not by an argument: a controller fault.
            throw norvik::NorvikError(std::string("the controller's I/O state is not hexadecimal: ") + e.what());
        }
        return BoolNumber{ok, ok ? std::optional<int>(state) : std::nullopt};
    }, Byte{{"Unit"}});
}

} // namespace

void BindOperations(py::class_<PyController> &cls)
{
    BindIdentityAndClock(cls);
    BindCards(cls);
    BindDoorsAndTables(cls);
    BindMemory(cls);

    // For the type stub: [(name, [(argument, type, has default)], returns)], in binding order.
    cls.def_static("_operations", [] {
        py::list all;
        for (const Described &d : described()) {
            py::list args;
            for (const auto &[name, hint, optional] : d.args)
                args.append(py::make_tuple(name, hint, optional));
            all.append(py::make_tuple(d.name, SnakeCase(d.name), args, d.returns));
        }
        return all;
    });
}

} // namespace pynorvik
