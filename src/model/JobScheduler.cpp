#include "JobScheduler.h"

#include <QThread>
#include <QThreadPool>

void ThreadPoolScheduler::schedule(std::function<void()> work)
{
    pool()->start(std::move(work));
}

QThreadPool* ThreadPoolScheduler::pool()
{
    // Deliberately never deleted: deleting a pool waits for its jobs. A
    // thread per core: an analysis spreads its network's pass over all of
    // them anyway, and takes turns with any other pass.
    static QThreadPool* const jobs = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(QThread::idealThreadCount());
        return pool;
    }();
    return jobs;
}
