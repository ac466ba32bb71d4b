#pragma once
// What every controller command of norvik-ctl is made of: the component with
// its link session, and the common endings (no answer, interrupted).
#include "cli/LinkSession.h"
#include "cli/Options.h"
#include "component/Controller.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace ctl {

class Output;

// Everything a command needs to talk to one controller; the link is closed
// when it goes out of scope.
struct Link {
    Link(const Options &options, const Output &out) : session(controller, options, out) {}
    TController controller;
    LinkSession session;
};

QJsonObject Failure(const QString &command, const QString &error);
// "2.10" for 0x020A: how the controller's version is shown and compared with a file's.
QString VersionText(std::uint16_t version);
// The 8 bytes of a serial number as text; a zero byte ends it, as in the window's box.
QString SnText(const std::uint8_t *sn);
int Interrupted(const Output &out, const QString &command);
// Asks on stderr and reads one line of stdin: true only for "y" or "yes".
bool AskYes(const QString &question);
// Said once per run when a download's row could not go into the upgrade history.
QString HistoryNotWritten(const QString &why);
// A command without its answer: the controller is silent or refused (exit 1,
// saying where it was asked and what to do, see Diagnosis.h), Ctrl-C cut the
// wait short, or the serial port was lost (exit 3, saying so). what names the
// action in the message; empty: the command.
// tries: how often the read was asked (the network link asks reads again).
int NoAnswer(const Output &out, const Options &options, const TController &controller, const QString &what = {},
             int tries = 1);

// The commands that reach the access-control side of the controller.
int RunCall(const Options &options, const Output &out);
int RunTransactions(const Options &options, const Output &out);
int RunDoor(const Options &options, const Output &out);

} // namespace ctl
