#include "JobScheduler.h"

#include <QThreadPool>

void ThreadPoolScheduler::schedule(std::function<void()> work)
{
    pool()->start(std::move(work));
}

QThreadPool* ThreadPoolScheduler::pool()
{
    // Deliberately never deleted: deleting a pool waits for its jobs.
    static QThreadPool* const jobs = new QThreadPool;
    return jobs;
}
