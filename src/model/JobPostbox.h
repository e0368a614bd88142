#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <mutex>

// How a background job hands its outcome back to the GUI thread. Jobs hold
// the postbox, not the model: once the model closes it (in its destructor),
// later outcomes are dropped instead of reaching a freed object, and an
// outcome posted before that is discarded by Qt with its receiver.
class JobPostbox final
{
public:
    explicit JobPostbox(QObject* receiver) : m_receiver(receiver) {}

    // From any thread: runs `work` on the receiver's thread, later.
    void post(std::function<void()> work);
    // From the receiver's thread, before it goes away.
    void close();

private:
    std::mutex m_lock;
    QObject* m_receiver;
};
