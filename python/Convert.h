#pragma once
// Python values to the component's argument types and back. A value that the
// C++ parameter cannot hold is refused with norvik::EArgumentError naming the
// argument (Python's norvik.ArgumentError, a ValueError), before the call
// reaches the controller's thread; the limits of the device itself (list
// lengths, text lengths, minutes in a day) stay the component's to check.
#include <pybind11/pybind11.h>

#include "component/BasicCom.h"

#include <QDateTime>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace pynorvik {

namespace py = pybind11;

// An integer (not a bool, not a float) within [low, high].
long long Integer(py::handle value, const char *name, long long low, long long high);
// True, False, 1 or 0.
bool Boolean(py::handle value, const char *name);
// str (each character 8-bit) or bytes; exactly `length` characters when length > 0.
std::string Text(py::handle value, const char *name, std::size_t length = 0);
// A sequence of integers from -2147483648 to 4294967295 (the component keeps them as 32 bits).
std::vector<int> IntegerList(py::handle value, const char *name);
// bytes, bytearray or a sequence of integers from 0 to 255.
std::vector<std::uint8_t> ByteBlock(py::handle value, const char *name);
// A datetime.datetime (naive: local time), a datetime.time (today) or a text
// "YYYY-MM-DD HH:MM:SS".
QDateTime DateTime(py::handle value, const char *name);

// --- back to Python ----------------------------------------------------------------

// A byte buffer handed back by an operation.
struct Bytes {
    std::vector<std::uint8_t> data;
};

inline py::object ToPython(bool value) { return py::bool_(value); }
inline py::object ToPython(int value) { return py::int_(value); }
inline py::object ToPython(long long value) { return py::int_(value); }
inline py::object ToPython(const Bytes &value)
{
    return py::bytes(reinterpret_cast<const char *>(value.data.data()), value.data.size());
}
py::object ToPython(const QDateTime &value);
py::object ToPython(const TControllerInfo &value);
template <class T> py::object ToPython(const std::optional<T> &value)
{
    return value ? ToPython(*value) : py::none();
}
template <class... T> py::object ToPython(const std::tuple<T...> &values)
{
    return std::apply([](const auto &...v) { return py::object(py::make_tuple(ToPython(v)...)); }, values);
}

// Text from the component (8-bit) as str: UTF-8 where it is, else Latin-1.
py::str ComponentText(const std::string &text);

} // namespace pynorvik
