#pragma once

// Drawn pictures, mattes and made-up finds for the tests of the sharing of
// the matte among objects.
#include "MatteSplit.h"
#include "SubjectSharing.h"

#include <algorithm>
#include <initializer_list>
#include <opencv2/imgproc.hpp>
#include <tuple>
#include <utility>

namespace SharingScenes {

inline DetectedObject object(const char* name, float score, cv::Rect2f box)
{
    DetectedObject o;
    o.className = QString::fromLatin1(name);
    o.classId = o.className == QLatin1String("person") ? 0 : 1;
    o.score = score;
    o.box = box;
    return o;
}

// A pose with the given joints (COCO's numbering) sure, the rest unseen.
inline DetectedPose pose(cv::Rect2f box, std::initializer_list<std::pair<int, cv::Point2f>> joints)
{
    DetectedPose p;
    p.box = box;
    p.score = 0.6f;
    for (const auto& [j, at] : joints)
        p.keypoints[size_t(j)] = {at, 0.8f};
    return p;
}

// The matte's own split of a drawn matte (1 where `where` is set).
inline InstanceMask matteOf(const cv::Mat& where)
{
    cv::Mat m;
    where.convertTo(m, CV_32F, 1.0 / 255);
    return MatteSplit::split(m, cv::Mat());
}

// A picture of plain blocks on a ground, and the matte's split of them, each
// block at its matte level.
struct Blocks
{
    cv::Mat rgb;
    InstanceMask pieces;
};

inline Blocks blocks(cv::Size size, cv::Scalar ground,
                     std::initializer_list<std::tuple<cv::Rect, cv::Scalar, int>> drawn)
{
    Blocks b{cv::Mat(size, CV_8UC3, ground), {}};
    cv::Mat where = cv::Mat::zeros(size, CV_8UC1);
    for (const auto& [r, colour, level] : drawn) {
        b.rgb(r).setTo(colour);
        where(r).setTo(level);
    }
    b.pieces = matteOf(where);
    return b;
}

inline int ownerAt(const InstanceMask& s, int x, int y)
{
    return s.owner.at<uchar>(y, x);
}

inline double overlap(const cv::Mat& a, const cv::Mat& b)
{
    return double(cv::countNonZero(a & b)) / std::max(1, cv::countNonZero(a | b));
}

} // namespace SharingScenes

using namespace SharingScenes;
