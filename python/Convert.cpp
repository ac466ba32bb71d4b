#include "python/Convert.h"

#include "common/Errors.h"
#include "component/commands/Arguments.h"

#include <pybind11/stl.h>

#include <datetime.h>

#include <limits>

namespace pynorvik {

namespace {

[[noreturn]] void Refuse(const char *name, const std::string &why)
{
    throw norvik::EArgumentError(std::string(name) + ": " + why);
}

std::string TypeName(py::handle value)
{
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// The bytes of a bytes or bytearray object.
std::string RawBytes(py::handle value)
{
    if (PyByteArray_Check(value.ptr()))
        return {PyByteArray_AS_STRING(value.ptr()), static_cast<std::size_t>(PyByteArray_GET_SIZE(value.ptr()))};
    return {PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr()))};
}

void EnsureDateTimeApi()
{
    if (!PyDateTimeAPI)
        PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw py::error_already_set();
}

} // namespace

long long Integer(py::handle value, const char *name, long long low, long long high)
{
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        Refuse(name, "expected an integer, got " + TypeName(value));
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0)
        Refuse(name, py::str(value).cast<std::string>() + " is outside " + std::to_string(low) + " to " +
                         std::to_string(high));
    norvik::args::InRange(number, low, high, name);
    return number;
}

bool Boolean(py::handle value, const char *name)
{
    if (PyBool_Check(value.ptr()))
        return value.ptr() == Py_True;
    if (PyLong_Check(value.ptr())) {
        const long long number = PyLong_AsLongLong(value.ptr());
        if (number == 0 || number == 1)
            return number == 1;
    }
    Refuse(name, "expected True or False, got " + py::repr(value).cast<std::string>());
}

std::string Text(py::handle value, const char *name, std::size_t length)
{
    std::string text;
    if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        text = RawBytes(value);
    } else if (PyUnicode_Check(value.ptr())) {
        // The controller stores 8-bit characters: a text that needs more is refused, not mangled.
        PyObject *latin1 = PyUnicode_AsLatin1String(value.ptr());
        if (!latin1) {
            PyErr_Clear();
            Refuse(name, "holds characters the controller cannot store (8-bit text only)");
        }
        text.assign(PyBytes_AS_STRING(latin1), static_cast<std::size_t>(PyBytes_GET_SIZE(latin1)));
        Py_DECREF(latin1);
    } else {
        Refuse(name, "expected a str, got " + TypeName(value));
    }
    if (length > 0 && text.size() != length)
        Refuse(name, "'" + text + "' must be exactly " + std::to_string(length) + " characters");
    return text;
}

std::vector<int> IntegerList(py::handle value, const char *name)
{
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || !PySequence_Check(value.ptr()))
        Refuse(name, "expected a list of integers, got " + TypeName(value));
    std::vector<int> list;
    for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
        const long long number = Integer(item, name, std::numeric_limits<int>::min(), 0xFFFFFFFFLL);
        list.push_back(static_cast<int>(static_cast<std::uint32_t>(number)));
    }
    return list;
}

std::vector<std::uint8_t> ByteBlock(py::handle value, const char *name)
{
    if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        const std::string raw = RawBytes(value);
        return {raw.begin(), raw.end()};
    }
    if (PyUnicode_Check(value.ptr()) || !PySequence_Check(value.ptr()))
        Refuse(name, "expected bytes or a list of bytes, got " + TypeName(value));
    std::vector<std::uint8_t> bytes;
    for (py::handle item : py::reinterpret_borrow<py::sequence>(value))
        bytes.push_back(static_cast<std::uint8_t>(Integer(item, name, 0, 255)));
    return bytes;
}

QDateTime DateTime(py::handle value, const char *name)
{
    EnsureDateTimeApi();
    PyObject *v = value.ptr();
    if (PyDateTime_Check(v)) {
        if (PyDateTime_DATE_GET_TZINFO(v) != Py_None)
            Refuse(name, "expected a naive datetime in the controller's local time, got one with a time zone");
        return QDateTime(QDate(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)),
                         QTime(PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                               PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v) / 1000));
    }
    if (PyTime_Check(v))
        return QDateTime(QDate::currentDate(), QTime(PyDateTime_TIME_GET_HOUR(v), PyDateTime_TIME_GET_MINUTE(v),
                                                     PyDateTime_TIME_GET_SECOND(v)));
    if (PyUnicode_Check(v)) {
        QString text = QString::fromStdString(py::str(value).cast<std::string>()).trimmed();
        if (text.size() > 10 && text.at(10) == QLatin1Char('T'))
            text[10] = QLatin1Char(' ');
        const QDateTime parsed = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (parsed.date().isValid() && parsed.time().isValid())
            return parsed;
        Refuse(name, "'" + text.toStdString() + "' is not a date and time like \"2026-01-31 13:45:00\"");
    }
    Refuse(name, "expected a datetime, got " + TypeName(value));
}

py::object ToPython(const QDateTime &value)
{
    EnsureDateTimeApi();
    if (!value.isValid())
        return py::none();
    const QDate d = value.date();
    const QTime t = value.time();
    PyObject *result = PyDateTime_FromDateAndTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(),
                                                  t.msec() * 1000);
    if (!result)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object ToPython(const TControllerInfo &value)
{
    return py::cast(value);
}

py::str ComponentText(const std::string &text)
{
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!decoded) {
        PyErr_Clear();
        decoded = PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

} // namespace pynorvik
