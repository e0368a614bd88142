#include "OnDeviceVision.h"

#include "AllocatorTuning.h"
#include "AreaDownscale.h"
#include "MatView.h"
#include "MatteSplit.h"
#include "ModelFiles.h"
#include "PersonSegmenter.h"
#include "SubjectSharing.h"
#include "VantelError.h"
#include "WorkingMemory.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <chrono>
#include <opencv2/imgproc.hpp>

namespace {

// What stopped `load`, in the words the panel shows (`otherwise` where the
// error has none of its own), or nothing when it ran through.
template <typename Load> QString failureOf(Load load, const QString& otherwise)
{
    try {
        load();
        return {};
    } catch (const VantelError& e) {
        return e.errorDescription();
    } catch (const std::bad_alloc&) {
        return SegmentationNetwork::outOfMemory().errorDescription();
    } catch (const std::exception&) {
        return otherwise;
    }
}

} // namespace

OnDeviceVision::OnDeviceVision(QString networkPath, QString objectFinderPath,
                               QString poseFinderPath, SubjectTuning tuning)
    : m_path(std::move(networkPath)), m_objectFinderPath(std::move(objectFinderPath)),
      m_poseFinderPath(std::move(poseFinderPath)), m_tuning(tuning)
{
}

OnDeviceVision::~OnDeviceVision()
{
    waitForLoading();
}

QString OnDeviceVision::defaultNetworkPath()
{
    return ModelFiles::locate(QStringLiteral("isnet.onnx"));
}

OnDeviceVision::Loaded OnDeviceVision::loadAll(const QString& path, const QString& objectFinderPath,
                                               const QString& poseFinderPath)
{
    // The finders load beside the network, on a core of their own. Each
    // network's failure is its own: a damaged finder never reads as a
    // missing network, nor the other way round.
    const bool networkThere = !path.isEmpty() && QFileInfo(path).isFile();
    auto finders = std::async(std::launch::async, [objectFinderPath, poseFinderPath, networkThere] {
        Loaded found;
        if (!networkThere)
            return found;
        found.findersError = failureOf(
            [&] {
                found.objects = ObjectDetector::load(objectFinderPath);
                found.poses = PoseEstimator::load(poseFinderPath);
            },
            QCoreApplication::translate("Vantel", "The object finder could not be loaded."));
        if (!found.findersError.isEmpty()) {
            found.objects.reset();
            found.poses.reset();
        }
        return found;
    });
    Loaded result;
    result.error =
        failureOf([&] { result.network = SegmentationNetwork::load(path); },
                  QCoreApplication::translate("Vantel", "The subject finder could not be loaded."));
    Loaded found = finders.get();
    // The finders only share the matte out: without the network they are
    // not used, and without them the matte's own split stands.
    if (result.network) {
        result.objects = std::move(found.objects);
        result.poses = std::move(found.poses);
        result.findersError = found.findersError;
    }
    return result;
}

void OnDeviceVision::startLoading(std::function<void(const QString&, const QString&)> done)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (done)
        m_done = std::move(done);
    if (m_loading.valid())
        return;
    const QString path = m_path;
    const QString objectFinderPath = m_objectFinderPath;
    const QString poseFinderPath = m_poseFinderPath;
    m_loading =
        std::async(std::launch::async, [path, objectFinderPath, poseFinderPath, done = m_done] {
            Loaded result = loadAll(path, objectFinderPath, poseFinderPath);
            // What the parser used is garbage now; the network keeps
            // only its weights.
            releaseFreedMemory();
            if (done)
                done(result.error, result.findersError);
            return result;
        }).share();
}

void OnDeviceVision::onLoaded(std::function<void(const QString&, const QString&)> done)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_done = std::move(done);
}

void OnDeviceVision::prepare()
{
    startLoading();
}

bool OnDeviceVision::release()
{
    std::shared_future<Loaded> attempt;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_loading.valid())
            return true;
        if (m_loading.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return false;
        attempt = std::move(m_loading);
        m_loading = {};
    }
    return true; // the attempt goes here, or with the last request using it
}

std::shared_ptr<void> OnDeviceVision::trimWhenGone()
{
    return std::shared_ptr<void>(nullptr, [](void*) { releaseFreedMemory(); });
}

void OnDeviceVision::keepWorkingMemory(bool keep)
{
    WorkingMemory::keepBetweenPasses(keep);
}

std::shared_future<OnDeviceVision::Loaded> OnDeviceVision::loading() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_loading;
}

bool OnDeviceVision::loadingFinished() const
{
    const std::shared_future<Loaded> f = loading();
    return f.valid() && f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void OnDeviceVision::waitForLoading() const
{
    const std::shared_future<Loaded> f = loading();
    if (f.valid())
        f.wait();
}

OnDeviceVision::Loaded OnDeviceVision::loaded()
{
    startLoading();
    const std::shared_future<Loaded> attempt = loading();
    return attempt.get();
}

QString OnDeviceVision::unavailableReason()
{
    return loaded().error;
}

QString OnDeviceVision::findersUnavailableReason()
{
    return loaded().findersError;
}

QStringList OnDeviceVision::engines()
{
    const Loaded& models = loaded();
    QStringList lines;
    if (models.network)
        lines << QStringLiteral("segmentation network: ") + models.network->engine();
    if (models.objects)
        lines << QStringLiteral("object finder: ") + models.objects->engine();
    if (models.poses)
        lines << QStringLiteral("pose finder: ") + models.poses->engine();
    return lines;
}

bool OnDeviceVision::instanceMasksAvailable()
{
    return loaded().network != nullptr;
}

bool OnDeviceVision::findersAvailable()
{
    return loaded().objects && loaded().poses;
}

std::optional<InstanceMask> OnDeviceVision::generateForegroundInstanceMask(const QImage& image)
{
    const Loaded& models = loaded();
    if (!models.network)
        throw VantelError::platform(models.error);
    try {
        const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
        return subjectsIn(rgba, models.network->matte(rgba), models.objects.get(),
                          models.poses.get(), m_tuning);
    } catch (const cv::Exception& e) {
        throw SegmentationNetwork::errorFor(e);
    } catch (const std::bad_alloc&) {
        throw SegmentationNetwork::outOfMemory();
    }
}

cv::Mat OnDeviceVision::generateRegionMatte(const QImage& image, const cv::Rect& region)
{
    const Loaded& models = loaded();
    if (!models.network)
        throw VantelError::platform(models.error);
    const cv::Rect inside = region & cv::Rect(0, 0, image.width(), image.height());
    if (inside.empty())
        return cv::Mat::zeros(std::max(region.height, 0), std::max(region.width, 0), CV_8UC1);
    try {
        const QImage part = image.copy(inside.x, inside.y, inside.width, inside.height)
                                .convertToFormat(QImage::Format_RGBA8888);
        cv::Mat matte;
        AreaDownscale::resized(models.network->matte(part), inside.size())
            .convertTo(matte, CV_8U, 255.0);
        return matte;
    } catch (const cv::Exception& e) {
        throw SegmentationNetwork::errorFor(e);
    } catch (const std::bad_alloc&) {
        throw SegmentationNetwork::outOfMemory();
    }
}

InstanceMask OnDeviceVision::subjectsIn(const QImage& image, const cv::Mat& matte,
                                        ObjectDetector* objectFinder, PoseEstimator* poseFinder,
                                        const SubjectTuning& tuning)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);

    // The split works at the image's aspect, no finer than the network saw it.
    const cv::Size working = MatteSplit::workingSize(rgba.size());
    const cv::Mat workingMatte = AreaDownscale::resized(matte, working);
    const cv::Mat small = AreaDownscale::resized(rgbaView(rgba), working);
    cv::Mat rgb;
    cv::cvtColor(small, rgb, cv::COLOR_RGBA2RGB);
    if (!objectFinder || !poseFinder)
        return MatteSplit::split(workingMatte, rgb, tuning);

    // People are told apart by their poses, not their faces.
    const InstanceMask pieces = MatteSplit::split(workingMatte, cv::Mat(), tuning);
    return SubjectSharing::split(pieces, rgb,
                                 objectFinder->detect(small, tuning.scene.minFaintScore),
                                 poseFinder->detect(small, tuning.scene.minPoseScore), tuning);
}

cv::Mat OnDeviceVision::generatePersonSegmentation(const QImage& image)
{
    try {
        return PersonSegmenter::segment(image);
    } catch (const cv::Exception& e) {
        throw SegmentationNetwork::errorFor(e);
    } catch (const std::bad_alloc&) {
        throw SegmentationNetwork::outOfMemory();
    }
}
