#pragma once
// norvik-ctl download: the window's download sequence (firmware/DownloadSequence)
// driven from the command line, with a progress bar on a terminal, JSON
// progress lines with --json, and Ctrl-C stopping after the current tick.
#include "cli/Options.h"

namespace ctl {

class Output;

int RunDownload(const Options &options, const Output &out);

} // namespace ctl
