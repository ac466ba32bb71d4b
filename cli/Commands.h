#pragma once
// The commands of norvik-ctl. Each returns its exit code (ExitCodes.h) after
// writing its result; errors raised below (socket, serial port, file, date)
// pass through to main, which maps them to exit codes.
#include "cli/Options.h"

#include <QJsonObject>

namespace ctl {

class Output;

int RunCommand(const Options &options, const Output &out);

// The window's refusal of a firmware path that names no file: false after
// saying "HEX File "<path>" not found." on stderr and, with --json, writing
// `failure` with that message under "error".
bool HexFileExists(const QString &path, const Output &out, QJsonObject failure);

} // namespace ctl
