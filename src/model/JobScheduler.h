#pragma once

#include <functional>

class QThreadPool;

// Where the model's background jobs run: a thread pool of their own in the
// program, a step-by-step double in tests.
class JobScheduler
{
public:
    virtual ~JobScheduler() = default;
    virtual void schedule(std::function<void()> work) = 0;
};

// Runs jobs on the process's job pool.
class ThreadPoolScheduler final : public JobScheduler
{
public:
    void schedule(std::function<void()> work) override;

    // The pool every model's jobs run on, made on first use and never
    // waited for: an analysis still running when Vantel ends does not hold
    // it up (Qt waits for its global pool on the way out).
    static QThreadPool* pool();
};
