#pragma once
// The few failures that are raised rather than returned: conversions of
// arguments, impossible dates read from a controller, socket and serial-port
// faults, and file faults. All derive from one base so that every slot and
// timer tick can catch them at its boundary and show the message.
#include <stdexcept>
#include <string>

namespace norvik {

class NorvikError : public std::runtime_error {
public:
    explicit NorvikError(const std::string &message) : std::runtime_error(message) {}
};

// "'%s' is not a valid integer value" and similar text-to-number failures.
class EConvertError : public NorvikError {
public:
    using NorvikError::NorvikError;
};

// An argument outside what the controller's frame can carry (a list too
// short, a text under its fixed length, minutes past midnight beyond the day):
// refused before anything is sent, the message naming the argument.
class EArgumentError : public NorvikError {
public:
    using NorvikError::NorvikError;
};

// An impossible calendar date or time (month 13, hour 24, ...).
class EDateError : public NorvikError {
public:
    using NorvikError::NorvikError;
};

// A file that cannot be opened, created, read or written; carries the system's reason.
class EInOutError : public NorvikError {
public:
    using NorvikError::NorvikError;
};

} // namespace norvik
