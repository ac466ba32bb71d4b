#include "python/ControllerThread.h"

#include "component/Controller.h"

#include <QMetaObject>
#include <QObject>

namespace pynorvik {

ControllerThread::ControllerThread()
{
    m_thread.setObjectName(QStringLiteral("norvik.Controller"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_context, [this] { m_controller = new TController; }, Qt::BlockingQueuedConnection);
}

ControllerThread::~ControllerThread()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            try {
                // An open modem link is hung up rather than left with a call standing.
                if (m_controller->Current()->Connected())
                    m_controller->Disconnect();
            } catch (...) {
                // A link that will not close cleanly is closed by the destructor below.
            }
            delete m_controller;
            m_controller = nullptr;
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_context;
}

void ControllerThread::Run(const std::function<void(TController &)> &work)
{
    QMetaObject::invokeMethod(
        m_context, [this, &work] { work(*m_controller); }, Qt::BlockingQueuedConnection);
}

void ControllerThread::Post(std::function<void(TController &)> work)
{
    QMetaObject::invokeMethod(
        m_context, [this, work = std::move(work)] { work(*m_controller); }, Qt::QueuedConnection);
}

} // namespace pynorvik
