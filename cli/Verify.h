#pragma once
// norvik-ctl verify FILE [--wait MS]: does the controller run the file? With
// --wait it keeps asking (a technician switches the controller off and on
// meanwhile), and every check is a row of the upgrade history.
#include "cli/Options.h"

namespace ctl {

class Output;

int RunVerify(const Options &options, const Output &out);

// How often a waiting verify asks again: often enough to tick a controller off
// soon after its restart, seldom enough to leave the link to the others.
constexpr int kVerifyPollMs = 1000;

} // namespace ctl
