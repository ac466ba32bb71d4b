#pragma once
// Ctrl-C for a tool that may be half-way through a firmware download or a
// modem call: the signal only raises a flag and wakes the event loop, so the
// running step can finish, the link be closed (the modem hung up) and the user
// told what state the controller was left in.
#include <QObject>

namespace ctl {

class Interrupt : public QObject {
    Q_OBJECT
public:
    // Installs the SIGINT handler; call once, after the QCoreApplication exists.
    static Interrupt &Install();
    // True once SIGINT arrived.
    static bool Requested();

    // While a question waits for the user's answer nothing is open yet, and a
    // blocked read would not see the flag: Ctrl-C then ends the program at once.
    class DefaultAction {
    public:
        DefaultAction();
        ~DefaultAction();
        DefaultAction(const DefaultAction &) = delete;
        DefaultAction &operator=(const DefaultAction &) = delete;
    };

Q_SIGNALS:
    // Emitted in the event loop, once per SIGINT.
    void requested();

private:
    Interrupt();
    void onWake();
};

} // namespace ctl
