#pragma once
// What norvik-ctl tells people when a controller did not give the answer a
// command needed: what was tried (the link, the address or the port and its
// device, the ID, the time waited), what the controller said if it said
// anything, and what to do next. Every command words these cases here, so a
// refusal never reads as silence and silence always names where it listened.
#include "cli/Options.h"

#include <QString>
#include <QStringList>

class TController;

namespace ctl {

struct Diagnosis {
    enum Kind {
        NoAnswer,   // nothing came back in the time waited
        Refused,    // a reply with a non-zero status byte
        Unexpected, // a reply, but not the one the command expects
    };
    Kind kind = NoAnswer;
    int status = -1;    // the status byte, -1 when no reply came
    QString message;    // one line: what happened and where
    QStringList advice; // what to do, one item a line (no answer only)
};

// "serial port COM1 (/dev/ttyS0)", "the network link to 10.0.0.5:1001", ...
QString LinkText(const Options &options);
// "refused by the controller (status 05)": a refusal, with its status byte in hex.
QString RefusedText(int status);
// The last exchange of controller, judged with the options it ran with.
// what names the action for the message ("Open door 7"); empty: the command.
// tries: how often the exchange was asked before it counted as unanswered.
Diagnosis Diagnose(const Options &options, const TController &controller, const QString &what = {}, int tries = 1);

// Why a --host text is no IPv4 address ("300.1.1.1"), empty when it is one or
// a host name. The usage error that refuses it is raised by the caller.
QString AddressProblem(const QString &host);
// Why the network link's host cannot be used (a name that does not resolve),
// empty when it can; asks the resolver for names only.
QString HostProblem(const Options &options);

} // namespace ctl
