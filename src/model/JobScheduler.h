#pragma once

#include <functional>

// Where the model's background jobs run: the global thread pool in the
// program, a step-by-step double in tests.
class JobScheduler
{
public:
    virtual ~JobScheduler() = default;
    virtual void schedule(std::function<void()> work) = 0;
};

// Runs jobs on QThreadPool::globalInstance().
class ThreadPoolScheduler final : public JobScheduler
{
public:
    void schedule(std::function<void()> work) override;
};
