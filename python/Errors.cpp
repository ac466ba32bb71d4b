// The module's exceptions. Every one derives from norvik.Error; argument
// errors are also ValueErrors, link and file failures also OSErrors, so that
// callers catch them by Python's own categories and keep the component's text.
#include "python/PyController.h"

#include "common/Errors.h"
#include "services/ComPort.h"
#include "services/IdUDPClient.h"

#include <map>
#include <string>

namespace pynorvik {

namespace {

std::map<std::string, py::handle> &classes()
{
    static std::map<std::string, py::handle> byName;
    return byName;
}

py::handle Define(py::module_ &module, const char *name, py::tuple bases, const char *doc)
{
    const std::string qualified = std::string("norvik.") + name;
    PyObject *cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!cls)
        throw py::error_already_set();
    module.add_object(name, py::handle(cls)); // the module keeps a reference, and this one stays for good
    classes()[name] = cls;
    return cls;
}

void SetError(const char *name, const char *what)
{
    PyErr_SetObject(ErrorClass(name).ptr(), ComponentText(what).ptr());
}

} // namespace

py::handle ErrorClass(const char *name)
{
    return classes().at(name);
}

void Raise(const char *errorClass, const std::string &message)
{
    PyErr_SetObject(ErrorClass(errorClass).ptr(), ComponentText(message).ptr());
    throw py::error_already_set();
}

void RegisterErrors(py::module_ &module)
{
    const py::handle base = Define(module, "Error", py::make_tuple(py::handle(PyExc_Exception)),
                                   "Base of every error the controller component raises.");
    const py::handle argument =
        Define(module, "ArgumentError", py::make_tuple(base, py::handle(PyExc_ValueError)),
               "An argument the controller's frame cannot carry; nothing was sent. The message names the argument.");
    Define(module, "DateError", py::make_tuple(base, py::handle(PyExc_ValueError)),
           "An impossible date or time, such as a controller clock reading month 13.");
    const py::handle link = Define(module, "LinkError", py::make_tuple(base, py::handle(PyExc_OSError)),
                                   "The link to the controller failed: a port that does not open, a socket error.");
    Define(module, "SocketError", py::make_tuple(link), "A failed socket call of the network link.");
    Define(module, "SerialPortError", py::make_tuple(link), "A serial port that cannot be opened or used.");
    Define(module, "DialError", py::make_tuple(link), "The modem did not connect.");
    Define(module, "FileError", py::make_tuple(base, py::handle(PyExc_OSError)),
           "A file that cannot be read or written.");
    Define(module, "HexFileError", py::make_tuple(argument),
           "A firmware file that must not be downloaded: a broken record, or no record at all.");
    Define(module, "DownloadError", py::make_tuple(base, py::handle(PyExc_OSError)),
           "A download that ended on a raised error (link or work file); the message says which.");

    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised)
                std::rethrow_exception(raised);
        } catch (const norvik::EArgumentError &e) {
            SetError("ArgumentError", e.what());
        } catch (const norvik::EConvertError &e) {
            SetError("ArgumentError", e.what());
        } catch (const norvik::EDateError &e) {
            SetError("DateError", e.what());
        } catch (const EIdException &e) {
            SetError("SocketError", e.what());
        } catch (const EComPort &e) {
            SetError("SerialPortError", e.what());
        } catch (const norvik::EInOutError &e) {
            SetError("FileError", e.what());
        } catch (const norvik::NorvikError &e) {
            SetError("Error", e.what());
        }
    });
}

} // namespace pynorvik
