// The module `norvik`: the Qt application the component's sockets and timers
// need, norvik.Controller with its link settings and link operations, and the
// controller's info record.
#include "python/PyController.h"

#include "common/Errors.h"
#include "component/BasicCom.h"
#include "component/Controller.h"
#include "component/commands/Arguments.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <clocale>
#include <string>

namespace pynorvik {

namespace {

// Qt's sockets, timers and thread event loops need one application object per
// process; an application that already made one (a Qt program embedding
// Python) keeps its own.
void EnsureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "norvik";
    static char *argv[] = {name, nullptr};
    // Qt sets the process's locale from the environment; Python and the
    // libraries it loaded keep the one they started with.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    new QCoreApplication(argc, argv); // lives as long as the process
    std::setlocale(LC_ALL, saved.c_str());
}

TCardBytes CardWidth(int bytes)
{
    switch (bytes) {
    case 7: return cbCard7Bytes;
    case 8: return cbCard8Bytes;
    case 12: return cbCard12Bytes;
    default: return cbNormal;
    }
}

int CheckedCardBytes(py::handle value)
{
    const int width = static_cast<int>(Integer(value, "card_bytes", 4, 12));
    if (width != 4 && width != 7 && width != 8 && width != 12)
        throw norvik::EArgumentError("card_bytes: " + std::to_string(width) + " is not a card width (4, 7, 8 or 12)");
    return width;
}

std::string OptionalText(py::handle value, const char *name)
{
    return value.is_none() ? std::string() : Text(value, name);
}

// "NO CARRIER", "BUSY", ... for the message of a dial that did not connect.
std::string DialupStatusText(TDialupStatus status)
{
    switch (status) {
    case usOK: return "the modem answered OK instead of connecting";
    case usConnected: return "connected";
    case usRing: return "the modem answered RING";
    case usNoCarrier: return "NO CARRIER";
    case usBusy: return "BUSY";
    case usNoAnswer: return "NO ANSWER";
    case usError: return "the modem answered ERROR";
    case usNoDialTone: return "NO DIALTONE";
    case usConnecting: return "still connecting";
    case usTimeOut: return "no connection within the dial time-out";
    }
    return "unknown dial state " + std::to_string(static_cast<int>(status));
}

// The status byte of the last reply of the current link; -1 when none came.
int LastReplyStatus(PyController &self)
{
    return self.Call([](TController &c) { return c.LastReplyStatus(); });
}

} // namespace

void ApplySettings(TController &controller, const LinkSettings &s)
{
    controller.SetConnectMethod(s.Method());
    controller.SetCOM(s.port);
    controller.SetHost(s.host);
    controller.SetHostPort(static_cast<std::uint16_t>(s.udpPort));
    controller.SetReadTimeOut(s.timeout);
    controller.SetRetryTime(s.retry);
    controller.SetRetrySleep(s.retrySleep);
    controller.SetControllerID(static_cast<std::uint8_t>(s.id));
    controller.SetDialTimeOut(static_cast<unsigned>(s.dialTimeout));
    controller.SetCardBytes(CardWidth(s.cardBytes));
    controller.SetDebugPath(s.debugPath);
    controller.SetDebugMode(s.debugMode);
}

PyController::PyController(LinkSettings settings) : m_settings(std::move(settings))
{
    {
        py::gil_scoped_release release;
        m_thread = std::make_unique<ControllerThread>();
    }
    Call([this](TController &c) { ApplySettings(c, m_settings); });
}

void PyController::RefuseWhileDownloading() const
{
    if (m_downloading)
        throw py::value_error("a download is running on this Controller; wait for norvik.download() to return");
}

void PyController::Connect()
{
    const std::string fault = Call([this](TController &c) -> std::string {
        if (c.Connect())
            return {};
        const std::string reason = c.LinkFault();
        return reason.empty() ? "Cannot open serial port " + m_settings.port : reason;
    });
    if (!fault.empty())
        Raise("SerialPortError", fault);
}

void PyController::Disconnect()
{
    Call([](TController &c) { c.Disconnect(); });
}

bool PyController::Connected()
{
    return Call([](TController &c) { return c.Current()->Connected(); });
}

void PyController::Dial(const std::string &number, std::optional<int> timeoutMs)
{
    if (m_settings.Method() == cmTCPIP)
        throw norvik::EArgumentError("number: dialling needs the modem link, but host is set to " + m_settings.host);
    if (number.empty())
        throw norvik::EArgumentError("number: no number to dial (give one, or set phone)");
    if (m_settings.Method() != cmModem)
        Change([&](LinkSettings &s) { s.phone = number; });
    if (timeoutMs)
        Change([&](LinkSettings &s) { s.dialTimeout = *timeoutMs; });
    if (!Connected())
        Connect();
    Call([&](TController &c) { c.Dial(number); });

    // As the dial-up window: the modem's own timer follows its answers in the
    // controller thread's event loop, and the status is looked at meanwhile.
    // The modem gives up after the dial time-out; the extra seconds only guard
    // against a status that never leaves "connecting".
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 bound = static_cast<qint64>(m_settings.dialTimeout) + 5000;
    TDialupStatus status = usConnecting;
    for (;;) {
        status = Call([](TController &c) { return c.DialupStatus(); });
        if (status != usConnecting || elapsed.elapsed() >= bound)
            break;
        {
            py::gil_scoped_release release;
            QThread::msleep(100);
        }
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set interrupted; // KeyboardInterrupt: hang up, then let it through
            Disconnect();
            throw interrupted;
        }
    }
    if (status == usConnected)
        return;
    if (status == usConnecting)
        status = usTimeOut;
    Disconnect();
    Raise("DialError", "Dialup fail. (" + DialupStatusText(status) + " after " +
                           std::to_string((elapsed.elapsed() + 500) / 1000) + " s)");
}

void PyController::Enter()
{
    Connect();
    if (m_settings.Method() == cmModem)
        Dial(m_settings.phone, std::nullopt);
}

namespace {

template <class Get, class Set>
void Setting(py::class_<PyController> &cls, const char *name, Get get, Set set, const char *doc)
{
    cls.def_property(
        name,
        [get](PyController &self) -> py::object {
            auto value = get(self.Settings());
            if constexpr (std::is_base_of_v<py::handle, decltype(value)>)
                return value;
            else
                return py::cast(value);
        },
        [set](PyController &self, py::object value) {
            self.Change([&](LinkSettings &s) { set(s, value); });
        },
        doc);
}

void BindController(py::module_ &m)
{
    py::class_<TControllerInfo>(m, "ControllerInfo", "The controller's info record (GetControllerInfo).")
        .def_readonly("Version", &TControllerInfo::Version, "Firmware version: high byte major, low byte minor.")
        .def_readonly("TypeCode", &TControllerInfo::TypeCode)
        .def_readonly("CardMax", &TControllerInfo::CardMax)
        .def_readonly("RecordMax", &TControllerInfo::RecordMax)
        .def_readonly("SortCardCount", &TControllerInfo::SortCardCount)
        .def_readonly("UnsortCardCount", &TControllerInfo::UnsortCardCount)
        .def_readonly("RecordCount", &TControllerInfo::RecordCount)
        .def_property_readonly(
            "version_text",
            [](const TControllerInfo &i) { return std::to_string(i.Version >> 8) + "." + std::to_string(i.Version & 0xFF); },
            "The version as text, \"2.10\".")
        .def("__repr__", [](const TControllerInfo &i) {
            return "ControllerInfo(Version=" + std::to_string(i.Version) + ", TypeCode=" + std::to_string(i.TypeCode) +
                   ", CardMax=" + std::to_string(i.CardMax) + ", RecordMax=" + std::to_string(i.RecordMax) +
                   ", SortCardCount=" + std::to_string(i.SortCardCount) +
                   ", UnsortCardCount=" + std::to_string(i.UnsortCardCount) +
                   ", RecordCount=" + std::to_string(i.RecordCount) + ")";
        });

    py::class_<PyController> cls(m, "Controller",
                                 "One controller link. host= chooses the network link, phone= the modem on port=, "
                                 "else the serial port. As a context manager it connects (and dials) and disconnects.");
    cls.def(py::init([](py::object host, py::object udpPort, py::object port, py::object phone, py::object id,
                        py::object timeout, py::object retry, py::object retrySleep, py::object cardBytes,
                        py::object dialTimeout, py::object debugMode, py::object debugPath) {
                LinkSettings s;
                s.host = OptionalText(host, "host");
                s.udpPort = static_cast<int>(Integer(udpPort, "udp_port", 1, 65535));
                s.port = Text(port, "port");
                if (s.port.empty())
                    throw norvik::EArgumentError("port: needs a non-empty name");
                s.phone = OptionalText(phone, "phone");
                s.id = static_cast<int>(Integer(id, "id", 1, 255));
                s.timeout = static_cast<int>(Integer(timeout, "timeout", 0, 60000));
                s.retry = static_cast<int>(Integer(retry, "retry", 1, 1000));
                s.retrySleep = static_cast<int>(Integer(retrySleep, "retry_sleep", 0, 10000));
                s.cardBytes = CheckedCardBytes(cardBytes);
                s.dialTimeout = static_cast<int>(Integer(dialTimeout, "dial_timeout", 0, 3600000));
                s.debugMode = Boolean(debugMode, "debug_mode");
                s.debugPath = Text(debugPath, "debug_path");
                return std::make_unique<PyController>(std::move(s));
            }),
            py::kw_only(), py::arg("host") = py::none(), py::arg("udp_port") = 1001, py::arg("port") = "COM1",
            py::arg("phone") = py::none(), py::arg("id") = 1, py::arg("timeout") = 200, py::arg("retry") = 20,
            py::arg("retry_sleep") = 20, py::arg("card_bytes") = 4, py::arg("dial_timeout") = 90000,
            py::arg("debug_mode") = false, py::arg("debug_path") = "");

    Setting(cls, "host", [](const LinkSettings &s) { return s.host.empty() ? py::object(py::none()) : py::object(py::str(s.host)); },
            [](LinkSettings &s, py::handle v) { s.host = OptionalText(v, "host"); },
            "Host name or address of the network link; None for the serial or modem link.");
    Setting(cls, "udp_port", [](const LinkSettings &s) { return s.udpPort; },
            [](LinkSettings &s, py::handle v) { s.udpPort = static_cast<int>(Integer(v, "udp_port", 1, 65535)); },
            "UDP port of the network link.");
    Setting(cls, "port", [](const LinkSettings &s) { return s.port; },
            [](LinkSettings &s, py::handle v) {
                s.port = Text(v, "port");
                if (s.port.empty())
                    throw norvik::EArgumentError("port: needs a non-empty name");
            },
            "Serial port of the serial and modem links: COMn or a device path.");
    Setting(cls, "phone", [](const LinkSettings &s) { return s.phone.empty() ? py::object(py::none()) : py::object(py::str(s.phone)); },
            [](LinkSettings &s, py::handle v) { s.phone = OptionalText(v, "phone"); },
            "Number the modem link dials; None for the serial link.");
    Setting(cls, "id", [](const LinkSettings &s) { return s.id; },
            [](LinkSettings &s, py::handle v) { s.id = static_cast<int>(Integer(v, "id", 1, 255)); },
            "Bus ID of the controller addressed.");
    Setting(cls, "timeout", [](const LinkSettings &s) { return s.timeout; },
            [](LinkSettings &s, py::handle v) { s.timeout = static_cast<int>(Integer(v, "timeout", 0, 60000)); },
            "Network read time-out in ms.");
    Setting(cls, "retry", [](const LinkSettings &s) { return s.retry; },
            [](LinkSettings &s, py::handle v) { s.retry = static_cast<int>(Integer(v, "retry", 1, 1000)); },
            "Reads of a reply before giving up.");
    Setting(cls, "retry_sleep", [](const LinkSettings &s) { return s.retrySleep; },
            [](LinkSettings &s, py::handle v) { s.retrySleep = static_cast<int>(Integer(v, "retry_sleep", 0, 10000)); },
            "Pause between two reads in ms.");
    Setting(cls, "card_bytes", [](const LinkSettings &s) { return s.cardBytes; },
            [](LinkSettings &s, py::handle v) { s.cardBytes = CheckedCardBytes(v); },
            "Width of card numbers: 4, 7, 8 or 12.");
    Setting(cls, "dial_timeout", [](const LinkSettings &s) { return s.dialTimeout; },
            [](LinkSettings &s, py::handle v) { s.dialTimeout = static_cast<int>(Integer(v, "dial_timeout", 0, 3600000)); },
            "How long the modem may take to connect, in ms.");
    Setting(cls, "debug_mode", [](const LinkSettings &s) { return s.debugMode; },
            [](LinkSettings &s, py::handle v) { s.debugMode = Boolean(v, "debug_mode"); },
            "Write each transaction read to the day's log file under debug_path.");
    Setting(cls, "debug_path", [](const LinkSettings &s) { return s.debugPath; },
            [](LinkSettings &s, py::handle v) { s.debugPath = Text(v, "debug_path"); },
            "Folder (with its trailing separator) of the debug log files.");

    cls.def_property_readonly(
        "link", [](PyController &self) {
            switch (self.Settings().Method()) {
            case cmTCPIP: return "network";
            case cmModem: return "modem";
            case cmSerial: break;
            }
            return "serial";
        },
        "The link the settings choose: \"network\", \"modem\" or \"serial\".");
    cls.def_property_readonly("connected", &PyController::Connected, "Whether the current link is open.");
    cls.def_property_readonly(
        "dialup_status", [](PyController &self) { return static_cast<int>(self.Call([](TController &c) { return c.DialupStatus(); })); },
        "The modem's dial state (0 OK, 1 connected, ... 8 connecting, 9 time-out).");
    cls.def_property_readonly(
        "component_version", [](PyController &self) { return self.Call([](TController &c) { return c.Version(); }); },
        "The component's own version.");
    cls.def_property_readonly("last_reply_status", &LastReplyStatus,
                              "The status byte of the last reply (0 accepted); -1 when none came.");
    cls.def("LastReplyStatus", &LastReplyStatus, "The status byte of the last reply, as last_reply_status.");

    cls.def("connect", &PyController::Connect, "Opens the link; raises norvik.LinkError when it does not open.");
    cls.def("disconnect", &PyController::Disconnect, "Closes the link (the modem link hangs up).");
    cls.def(
        "dial",
        [](PyController &self, py::object number, py::object timeout) {
            const std::string text = number.is_none() ? self.Settings().phone : Text(number, "number");
            std::optional<int> ms;
            if (!timeout.is_none())
                ms = static_cast<int>(Integer(timeout, "timeout", 0, 3600000));
            self.Dial(text, ms);
        },
        py::arg("number") = py::none(), py::arg("timeout") = py::none(),
        "Dials on the modem link (opening it first) and returns once connected; timeout in ms "
        "(default dial_timeout). Raises norvik.DialError when the modem reports anything else.");
    cls.def("__enter__", [](PyController &self) -> PyController & {
        self.Enter();
        return self;
    }, py::return_value_policy::reference);
    cls.def("__exit__", [](PyController &self, py::object, py::object, py::object) {
        self.Disconnect();
        return false;
    });

    BindOperations(cls);
}

} // namespace

} // namespace pynorvik

PYBIND11_MODULE(norvik, m)
{
    m.doc() = "The Norvik controller component: every operation on a controller over a serial line, the network "
              "(UDP) or a modem, firmware files and the download.";
    m.attr("__version__") = NORVIK_VERSION;
    pynorvik::EnsureApplication();
    pynorvik::RegisterErrors(m);
    pynorvik::BindController(m);
    pynorvik::BindFirmware(m);
}
