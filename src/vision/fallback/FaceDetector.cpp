#include "FaceDetector.h"

#include <QFile>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace {

struct Cascades
{
    cv::CascadeClassifier frontal;
    cv::CascadeClassifier profile;
};

std::string cascadePath(const char* name)
{
    for (const char* dir :
         {"/usr/share/opencv4/haarcascades/", "/usr/local/share/opencv4/haarcascades/"}) {
        const std::string path = std::string(dir) + name;
        if (QFile::exists(QString::fromStdString(path)))
            return path;
    }
    return {};
}

std::mutex& cascadeLock()
{
    static std::mutex lock;
    return lock;
}

Cascades& cascades()
{
    static Cascades c = [] {
        Cascades loaded;
        const std::string frontal = cascadePath("haarcascade_frontalface_alt2.xml");
        const std::string profile = cascadePath("haarcascade_profileface.xml");
        if (!frontal.empty())
            loaded.frontal.load(frontal);
        if (!profile.empty())
            loaded.profile.load(profile);
        return loaded;
    }();
    return c;
}

} // namespace

void FaceDetector::merge(std::vector<cv::Rect>& faces, const cv::Rect& face)
{
    for (const cv::Rect& f : faces) {
        const double overlap =
            double((f & face).area()) / std::max(1, std::min(f.area(), face.area()));
        if (overlap > 0.3)
            return;
    }
    faces.push_back(face);
}

std::vector<cv::Rect> FaceDetector::frontal(const cv::Mat& equalized, int minSide)
{
    CV_Assert(equalized.type() == CV_8UC1);
    std::vector<cv::Rect> faces;
    if (equalized.empty())
        return faces;
    const cv::Size minSize(std::max(12, minSide), std::max(12, minSide));
    std::vector<cv::Rect> found;
    {
        std::lock_guard<std::mutex> lock(cascadeLock());
        Cascades& c = cascades();
        if (c.frontal.empty())
            return faces;
        c.frontal.detectMultiScale(equalized, found, 1.1, 4, 0, minSize);
    }
    for (const cv::Rect& r : found)
        merge(faces, r);
    return faces;
}

std::vector<cv::Rect> FaceDetector::profiles(const cv::Mat& equalized, int minSide)
{
    CV_Assert(equalized.type() == CV_8UC1);
    std::vector<cv::Rect> faces;
    if (equalized.empty())
        return faces;
    const cv::Size minSize(std::max(12, minSide), std::max(12, minSide));
    // Profiles facing either way: the cascade knows one side only.
    for (bool mirrored : {false, true}) {
        cv::Mat src = equalized;
        if (mirrored)
            cv::flip(equalized, src, 1);
        std::vector<cv::Rect> found;
        {
            std::lock_guard<std::mutex> lock(cascadeLock());
            Cascades& c = cascades();
            if (c.profile.empty())
                return faces;
            c.profile.detectMultiScale(src, found, 1.1, 5, 0, minSize);
        }
        for (cv::Rect r : found) {
            if (mirrored)
                r.x = equalized.cols - r.x - r.width;
            merge(faces, r);
        }
    }
    return faces;
}

std::vector<cv::Rect> FaceDetector::detect(const cv::Mat& grey, int minSide)
{
    CV_Assert(grey.type() == CV_8UC1);
    if (grey.empty())
        return {};
    cv::Mat equalized;
    cv::equalizeHist(grey, equalized);
    std::vector<cv::Rect> faces = frontal(equalized, minSide);
    for (const cv::Rect& r : profiles(equalized, minSide))
        merge(faces, r);
    return faces;
}
