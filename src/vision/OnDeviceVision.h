#pragma once

#include "MatteSplit.h"
#include "ObjectDetector.h"
#include "PoseEstimator.h"
#include "SegmentationNetwork.h"
#include "SubjectTuning.h"
#include "VisionService.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

// Vantel's on-device vision: instance masks from the segmentation network
// where its file is found and loads, person segmentation otherwise. Where
// the object and pose finders are installed too, the matte is shared among
// the objects and people they find (SubjectSharing); without them the
// matte's own split stands. The networks load when first needed (or asked
// for), on a thread of their own, so the first analysis never waits on work
// queued behind it in the shared pool; release() lets go of them, and the
// next request loads them again.
class OnDeviceVision final : public VisionService
{
public:
    // A service with the network at `networkPath` (an empty path: none)
    // and the finders at theirs (empty or missing: the matte alone), telling
    // subjects apart as `tuning` says.
    explicit OnDeviceVision(QString networkPath,
                            QString objectFinderPath = ObjectDetector::defaultPath(),
                            QString poseFinderPath = PoseEstimator::defaultPath(),
                            SubjectTuning tuning = {});
    ~OnDeviceVision() override;

    // Where the installed network is (see ModelFiles). Empty when nowhere.
    static QString defaultNetworkPath();

    // Starts loading the networks where they are neither loaded nor
    // loading; returns at once. `done` is called on the loading thread when
    // an attempt has ended, with why the network is unavailable and why the
    // finders are (each empty when it loaded); it is kept for the attempts
    // after a release too.
    void
    startLoading(std::function<void(const QString& network, const QString& finders)> done = {});
    // Sets what is called as each attempt ends (as startLoading's `done`),
    // without starting one.
    void onLoaded(std::function<void(const QString& network, const QString& finders)> done);
    // Whether the load attempt has ended (successfully or not).
    bool loadingFinished() const;
    // Waits for a load attempt that has started to end.
    void waitForLoading() const;
    // Why the network is unavailable, once the attempt has ended.
    QString unavailableReason();
    // Why the object and pose finders are not used, where the network
    // loaded but they did not (empty otherwise): the matte's own split
    // tells the subjects apart then.
    QString findersUnavailableReason();
    // Which engine runs each network that loaded ("segmentation network:
    // oneDNN 2.6.3, ..."), one line each; waits for the loading.
    QStringList engines();

    void prepare() override;
    // Lets go of the networks once no request uses them (a request under way
    // keeps them to its end), then hands the freed memory back to the
    // system. False while they are still loading.
    bool release() override;
    void keepWorkingMemory(bool keep) override;

    bool instanceMasksAvailable() override;
    std::optional<InstanceMask> generateForegroundInstanceMask(const QImage& image) override;
    cv::Mat generateRegionMatte(const QImage& image, const cv::Rect& region) override;
    cv::Mat generatePersonSegmentation(const QImage& image) override;

    // Whether the object and pose finders loaded with the network.
    bool findersAvailable();

    // The subjects of a network's matte (1024 x 1024, 0..1) of an image:
    // what an instance-mask request does after the forward pass. With both
    // finders, the matte is shared among what they find in the image at
    // working size; without, its own split (faces and all) stands.
    static InstanceMask subjectsIn(const QImage& image, const cv::Mat& matte,
                                   ObjectDetector* objectFinder = nullptr,
                                   PoseEstimator* poseFinder = nullptr,
                                   const SubjectTuning& tuning = {});

private:
    struct Loaded
    {
        // Hands the freed memory back once the last copy of this attempt
        // goes; first, so that it goes after the networks.
        std::shared_ptr<void> trimOnRelease = trimWhenGone();
        std::shared_ptr<SegmentationNetwork> network;
        std::shared_ptr<ObjectDetector> objects;
        std::shared_ptr<PoseEstimator> poses;
        QString error;
        QString findersError;
    };
    // Loads the three networks, each failure kept apart.
    static Loaded loadAll(const QString& path, const QString& objectFinderPath,
                          const QString& poseFinderPath);
    static std::shared_ptr<void> trimWhenGone();
    // A copy: what a request holds stays loaded until it is done.
    Loaded loaded();
    std::shared_future<Loaded> loading() const;

    const QString m_path;
    const QString m_objectFinderPath;
    const QString m_poseFinderPath;
    const SubjectTuning m_tuning;
    mutable std::mutex m_lock; // guards m_loading and m_done
    // The attempt under way or ended; none before the first and after a
    // release.
    std::shared_future<Loaded> m_loading;
    std::function<void(const QString&, const QString&)> m_done;
};
