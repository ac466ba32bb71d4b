#pragma once
// The commands of norvik-ctl. Each returns its exit code (ExitCodes.h) after
// writing its result; errors raised below (socket, serial port, file, date)
// pass through to main, which maps them to exit codes.
#include "cli/Options.h"

namespace ctl {

class Output;

int RunCommand(const Options &options, const Output &out);

// The commands that need no controller.
int RunHexInfo(const Options &options, const Output &out);
int RunPorts(const Options &options, const Output &out);

} // namespace ctl
