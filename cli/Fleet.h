#pragma once
// norvik-ctl fleet download|info: a site's controllers in one run, network
// targets in parallel, with a live line per running target on a terminal and
// a summary table at the end.
#include "cli/Options.h"

namespace ctl {

class Output;

int RunFleet(const Options &options, const Output &out);

} // namespace ctl
