#include "JobPostbox.h"

#include <QMetaObject>

void JobPostbox::post(std::function<void()> work)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_receiver)
        QMetaObject::invokeMethod(m_receiver, std::move(work), Qt::QueuedConnection);
}

void JobPostbox::close()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_receiver = nullptr;
}
