#pragma once
// norvik-ctl history: the upgrade history read back as a table, JSON or CSV.
#include "cli/Options.h"

#include <QDateTime>

namespace ctl {

class Output;

int RunHistory(const Options &options, const Output &out);

// --since: "YYYY-MM-DD" (local midnight) or "YYYY-MM-DDTHH:MM[:SS]" (also with
// a space for the T), local or with "Z" or "+HH:MM"; raises UsageError else.
QDateTime ParseSince(const QString &text);

} // namespace ctl
