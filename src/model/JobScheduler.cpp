#include "JobScheduler.h"

#include <QThreadPool>

void ThreadPoolScheduler::schedule(std::function<void()> work)
{
    QThreadPool::globalInstance()->start(std::move(work));
}
