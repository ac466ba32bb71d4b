#pragma once
// norvik-ctl's help: one table of commands, options, exit codes, environment
// and files, read by --help, `help COMMAND` (and COMMAND --help), --help-all
// (the text the manual page is made from) and, through those, the bash
// completion.
#include <QString>
#include <QStringList>

namespace ctl {

class Output;
struct Options;

// The help of one command ("scan") or one of fleet's subcommands ("fleet
// download"): usage, what it does, its options and an example. Empty for a
// name the table does not know.
QString CommandHelpText(const QString &command);
// Everything: the general help, every command's help, exit status,
// environment, files and examples, with the headings the manual page's
// generator turns into sections.
QString ManualText();
// The commands the help knows, and every option name (with "-h").
QStringList HelpCommandNames();
QStringList HelpOptionNames();

// The candidates nearest to a mistyped name: those it begins (or that begin
// it), case-insensitively, else those within a few edits; the closest first,
// at most five.
QStringList Nearest(const QString &typed, const QStringList &candidates);
// " (did you mean info?)" or "" when nothing is near.
QString DidYouMean(const QString &typed, const QStringList &candidates);

// The command `help [COMMAND [SUBCOMMAND]]`.
int RunHelp(const Options &options, const Output &out);

} // namespace ctl
