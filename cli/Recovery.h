#pragma once
// The norvik-ctl lines a run hands to its user for what comes next: the line
// that sends the record lines to controllers it may have left in their boot
// loader, and the one that verifies them after their power was switched off
// and on. Both are this run's own line, edited, so that every link option
// (host, port, ID, time-outs) is the one that reached them.
#include "cli/Options.h"

#include <QStringList>

namespace ctl {

// This run with --in-bootloader and --yes; for a fleet only `targets`, each
// as --target SPEC, in place of the run's own list.
QString RecoveryCommand(const Options &options, const QStringList &targets = {});
// This run as verify (or fleet verify) of the same file: the options of a
// download dropped; for a fleet only `targets` when given.
QString VerifyCommand(const Options &options, const QStringList &targets = {});

} // namespace ctl
