#pragma once
// The thread one Python Controller works on. The component is single-threaded
// and its sockets, serial port and timers belong to the thread that made them,
// while Python may call from any thread (the main thread, a worker, a pool
// thread that changes from call to call). So every Controller gets a thread of
// its own with an event loop, as fleet gives each target: the TController is
// made, used and destroyed there, and the modem's dial timer and the
// download's two timers tick in that loop. Calls from Python are carried over
// one at a time, which also keeps two Python threads sharing a Controller
// from interleaving their frames.
#include <QThread>

#include <functional>
#include <memory>

class QObject;
class TController;

namespace pynorvik {

class ControllerThread {
public:
    ControllerThread();
    // Destroys the TController on its thread (closing its link), then ends the thread.
    ~ControllerThread();
    ControllerThread(const ControllerThread &) = delete;
    ControllerThread &operator=(const ControllerThread &) = delete;

    // Runs work on the thread and waits for it. The caller has released the
    // GIL; work never touches Python and must not let an exception escape.
    void Run(const std::function<void(TController &)> &work);
    // Queues work on the thread without waiting.
    void Post(std::function<void(TController &)> work);
    // The object that lives on the thread, for objects made there to parent to.
    QObject *Context() const { return m_context; }

private:
    QThread m_thread;
    QObject *m_context = nullptr;
    TController *m_controller = nullptr;
};

} // namespace pynorvik
