#include "FaceSearch.h"

#include "FaceDetector.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

FaceSearch::FaceSearch(const cv::Mat& rgb, const SubjectTuning::Split& tuning) : m_tuning(tuning)
{
    const int longer = std::max(rgb.cols, rgb.rows);
    m_scale = longer > m_tuning.searchSide ? double(m_tuning.searchSide) / longer : 1.0;
    cv::Mat grey;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    if (m_scale < 1.0)
        cv::resize(grey, grey, cv::Size(), m_scale, m_scale, cv::INTER_AREA);
    cv::equalizeHist(grey, m_equalized);
}

std::vector<cv::Rect> FaceSearch::within(const cv::Rect& box) const
{
    const cv::Rect area = cv::Rect(cvFloor(box.x * m_scale), cvFloor(box.y * m_scale),
                                   cvCeil(box.width * m_scale), cvCeil(box.height * m_scale)) &
                          cv::Rect(0, 0, m_equalized.cols, m_equalized.rows);
    std::vector<cv::Rect> faces;
    if (area.width < m_tuning.minSubjectSide || area.height < m_tuning.minSubjectSide)
        return faces;
    const cv::Mat crop = m_equalized(area);
    const int minSide =
        std::max(m_tuning.minFaceSide, std::max(area.width, area.height) / m_tuning.faceShare);
    faces = FaceDetector::frontal(crop, minSide);
    if (faces.size() == 1 && area.width >= m_tuning.roomForTwo * faces.front().width) {
        for (const cv::Rect& r : FaceDetector::profiles(crop, minSide))
            FaceDetector::merge(faces, r);
    }
    for (cv::Rect& f : faces) {
        f = cv::Rect(cvRound((f.x + area.x) / m_scale), cvRound((f.y + area.y) / m_scale),
                     cvRound(f.width / m_scale), cvRound(f.height / m_scale));
    }
    return faces;
}
