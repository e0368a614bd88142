#pragma once

#include "FakeVision.h"
#include "FileChooser.h"
#include "JobScheduler.h"
#include "TestImages.h"
#include "VantelModel.h"

#include <QCoreApplication>
#include <deque>
#include <functional>
#include <thread>

// Holds the model's background jobs until the test releases them, in any
// order, each on a thread of its own as in the program.
class StepScheduler final : public JobScheduler
{
public:
    struct Pending
    {
        std::function<void()> work;
        int64_t jobAtSchedule = 0;
    };
    std::deque<Pending> pending;
    std::function<int64_t()> currentJob; // the model's job number, when scheduled

    void schedule(std::function<void()> work) override
    {
        pending.push_back({std::move(work), currentJob ? currentJob() : 0});
    }
    size_t count() const { return pending.size(); }

    // Runs job i (in scheduling order among those pending) to its end, then
    // delivers what it posted back to the GUI thread.
    void release(size_t i = 0)
    {
        Pending job = std::move(pending.at(i));
        pending.erase(pending.begin() + std::ptrdiff_t(i));
        std::thread(job.work).join();
        QCoreApplication::processEvents();
    }
    void releaseAll()
    {
        while (!pending.empty())
            release(0);
    }
};

// Open and save panels that answer what the test queued.
class FakeChooser final : public FileChooser
{
public:
    std::optional<QUrl> openAnswer;
    std::optional<QUrl> saveAnswer;
    QString proposed; // the name the save panel was given

    std::optional<QUrl> chooseImageFile() override { return openAnswer; }
    std::optional<QUrl> choosePngDestination(const QString& name) override
    {
        proposed = name;
        return saveAnswer;
    }
};

using TestImages::filled;

// An editor model on the doubles above, with two subjects to find.
struct ModelRig
{
    FakeVision vision;
    StepScheduler scheduler;
    FakeChooser chooser;
    std::unique_ptr<VantelModel> model =
        std::make_unique<VantelModel>(VantelModel::Dependencies{&vision, &scheduler, &chooser});

    ModelRig()
    {
        vision.instanceResult = twoSubjects(40, 30);
        scheduler.currentJob = [this] {
            return model->job();
        };
    }
    // Opens an image and finishes its analysis.
    void ready(QColor colour = Qt::red)
    {
        model->open(filled(colour));
        scheduler.releaseAll();
    }
};
