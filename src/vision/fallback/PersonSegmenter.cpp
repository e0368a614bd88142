#include "PersonSegmenter.h"

#include "FaceDetector.h"
#include "MatView.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <vector>

namespace {

// Head and shoulders below a face: about three faces wide, down to the
// bottom of the frame or five faces, whichever comes first.
cv::Rect bustFor(const cv::Rect& face, const cv::Size& size)
{
    const cv::Rect bust(face.x - face.width, face.y - face.height / 2, face.width * 3,
                        face.height * 11 / 2);
    return bust & cv::Rect(0, 0, size.width, size.height);
}

std::vector<cv::Rect> findPeople(const cv::Mat& bgr)
{
    std::vector<cv::Rect> people;
    cv::HOGDescriptor hog;
    hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    std::vector<cv::Rect> found;
    std::vector<double> weights;
    if (bgr.cols >= hog.winSize.width && bgr.rows >= hog.winSize.height)
        hog.detectMultiScale(bgr, found, weights, 0, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2);
    const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
    for (size_t i = 0; i < found.size(); ++i) {
        if (i < weights.size() && weights[i] < 0.5)
            continue;
        // The detector's boxes are loose around the figure; tighten sideways.
        cv::Rect r = found[i];
        r.x += r.width / 10;
        r.width -= r.width / 5;
        people.push_back(r & frame);
    }
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    for (const cv::Rect& face : FaceDetector::detect(grey, std::max(16, bgr.cols / 40))) {
        const cv::Rect bust = bustFor(face, bgr.size());
        bool covered = false;
        for (const cv::Rect& p : people)
            covered |= (p & bust).area() > bust.area() / 2;
        if (!covered)
            people.push_back(bust);
    }
    return people;
}

} // namespace

cv::Mat PersonSegmenter::segment(const QImage& image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    const int longer = std::max(rgba.width(), rgba.height());
    const double scale = longer > workingSide ? double(workingSide) / longer : 1.0;
    const cv::Mat view = rgbaView(rgba);
    cv::Mat small;
    cv::resize(view, small, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat bgr;
    cv::cvtColor(small, bgr, cv::COLOR_RGBA2BGR);

    cv::Mat mask = cv::Mat::zeros(bgr.size(), CV_8UC1);
    for (const cv::Rect& person : findPeople(bgr)) {
        if (person.width < 8 || person.height < 8)
            continue;
        cv::Mat labels(bgr.size(), CV_8UC1, cv::Scalar(cv::GC_BGD));
        cv::Mat bgModel, fgModel;
        cv::grabCut(bgr, labels, person, bgModel, fgModel, 4, cv::GC_INIT_WITH_RECT);
        mask.setTo(255, (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD));
    }
    return mask;
}
