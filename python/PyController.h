#pragma once
// norvik.Controller: the link settings as norvik-ctl names them, kept here and
// copied into the TController on its own thread; every call is carried over to
// that thread with the GIL released.
#include <pybind11/pybind11.h>

#include "component/Norvik_Include.h"
#include "python/ControllerThread.h"
#include "python/Convert.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

class TController;

namespace pynorvik {

namespace py = pybind11;

// What norvik-ctl's link options hold, with its defaults.
struct LinkSettings {
    std::string host;  // non-empty: the network link
    int udpPort = 1001;
    std::string port = "COM1";
    std::string phone; // non-empty (and no host): the modem link on `port`
    int id = 1;
    int timeout = 200;
    int retry = 20;
    int retrySleep = 20;
    int cardBytes = 4;
    int dialTimeout = 90000;
    bool debugMode = false;
    std::string debugPath;

    TConnectMethod Method() const { return !host.empty() ? cmTCPIP : !phone.empty() ? cmModem : cmSerial; }
};

// Every setting into the component, the link chosen first: the retry values
// are stored in the link that is current when they are written.
void ApplySettings(TController &controller, const LinkSettings &settings);

class PyController {
public:
    explicit PyController(LinkSettings settings);

    const LinkSettings &Settings() const { return m_settings; }
    // Changes settings through `change`, then writes them into the component.
    template <class F> void Change(F change)
    {
        LinkSettings next = m_settings;
        change(next);
        Call([&next](TController &c) {
            ApplySettings(c, next);
            return true;
        });
        m_settings = std::move(next);
    }

    // Runs work(TController&) on the controller's thread with the GIL released
    // and gives back what it returned; an exception it raised is raised here.
    template <class F> auto Call(F &&work) -> decltype(work(std::declval<TController &>()))
    {
        using R = decltype(work(std::declval<TController &>()));
        RefuseWhileDownloading();
        std::exception_ptr error;
        if constexpr (std::is_void_v<R>) {
            {
                py::gil_scoped_release release;
                m_thread->Run([&](TController &c) {
                    try {
                        work(c);
                    } catch (...) {
                        error = std::current_exception();
                    }
                });
            }
            if (error)
                std::rethrow_exception(error);
        } else {
            std::optional<R> result;
            {
                py::gil_scoped_release release;
                m_thread->Run([&](TController &c) {
                    try {
                        result.emplace(work(c));
                    } catch (...) {
                        error = std::current_exception();
                    }
                });
            }
            if (error)
                std::rethrow_exception(error);
            return std::move(*result);
        }
    }

    // Opens the link; raises norvik.LinkError with the port's own reason when it does not open.
    void Connect();
    void Disconnect();
    bool Connected();
    // Dials on the modem link and waits until the modem connects; raises
    // norvik.DialError (hanging up) when it reports anything else or the time runs out.
    void Dial(const std::string &number, std::optional<int> timeoutMs);
    // The context manager: connect, and on the modem link dial `phone` too.
    void Enter();

    ControllerThread &Thread() { return *m_thread; }
    // A download owns the link while it runs: other calls are refused meanwhile.
    void SetDownloading(bool downloading) { m_downloading = downloading; }
    void RefuseWhileDownloading() const;

private:
    LinkSettings m_settings;
    std::unique_ptr<ControllerThread> m_thread;
    bool m_downloading = false;
};

// The operation bindings (Operations.cpp) and their description for the type stub.
void BindOperations(py::class_<PyController> &cls);
// The module's exceptions (Errors.cpp) and the translation of the component's.
void RegisterErrors(py::module_ &module);
// A Python exception of the module by its name ("LinkError", ...), for raising from the bindings.
py::handle ErrorClass(const char *name);
[[noreturn]] void Raise(const char *errorClass, const std::string &message);
// hex_info and download (Firmware.cpp).
void BindFirmware(py::module_ &module);

} // namespace pynorvik
