#pragma once

// Drawn pictures, mattes and made-up finds for the tests of the sharing of
// the matte among objects.
#include "MatteSplit.h"
#include "SubjectSharing.h"

#include <QDebug>
#include <QTest>
#include <algorithm>
#include <initializer_list>
#include <opencv2/imgproc.hpp>
#include <set>
#include <utility>
#include <vector>

// Lists of owners and labels compared at once print in full when they differ.
template <> inline char* QTest::toString(const std::vector<int>& values)
{
    QString text;
    QDebug(&text) << values;
    return qstrdup(text.toUtf8().constData());
}

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

// A pose with the given joints sure, the rest unseen: `joints` holds each
// joint's number (COCO's numbering), x and y in turn.
inline DetectedPose pose(cv::Rect2f box, std::initializer_list<float> joints)
{
    DetectedPose p;
    p.box = box;
    p.score = 0.6f;
    for (const float* j = joints.begin(); j + 2 < joints.end(); j += 3)
        p.keypoints[size_t(j[0])] = {{j[1], j[2]}, 0.8f};
    return p;
}

// A mask of `size`, 255 over `rects`.
inline cv::Mat areaOf(cv::Size size, const std::vector<cv::Rect>& rects)
{
    cv::Mat m = cv::Mat::zeros(size, CV_8UC1);
    for (const cv::Rect& r : rects)
        m(r).setTo(255);
    return m;
}

// A picture of plain blocks on a ground, and the matte drawn with them, each
// block at its matte level.
struct Scene
{
    cv::Mat rgb, where;

    Scene(cv::Size size, cv::Scalar ground)
        : rgb(size, CV_8UC3, ground), where(cv::Mat::zeros(size, CV_8UC1))
    {
    }
    Scene& add(const std::vector<cv::Rect>& rects, cv::Scalar colour, int level = 255)
    {
        for (const cv::Rect& r : rects) {
            rgb(r).setTo(colour);
            where(r).setTo(level);
        }
        return *this;
    }
    // The matte's own split of the drawn matte.
    InstanceMask pieces() const
    {
        cv::Mat m;
        where.convertTo(m, CV_32F, 1.0 / 255);
        return MatteSplit::split(m, cv::Mat());
    }
    InstanceMask split(const std::vector<DetectedObject>& objects,
                       const std::vector<DetectedPose>& people = {},
                       const SubjectTuning& tuning = {}) const
    {
        return SubjectSharing::split(pieces(), rgb, objects, people, tuning);
    }
};

inline int at(const cv::Mat& m, int x, int y)
{
    return m.at<uchar>(y, x);
}

// The values of `m` (an owner or label image) at `points`.
inline std::vector<int> valuesAt(const cv::Mat& m, std::initializer_list<cv::Point> points)
{
    std::vector<int> found;
    for (const cv::Point& p : points)
        found.push_back(at(m, p.x, p.y));
    return found;
}

inline const SubjectInfo& infoOf(const InstanceMask& s, int subject)
{
    static const SubjectInfo none;
    return subject >= 1 && subject <= int(s.info.size()) ? s.info[size_t(subject - 1)] : none;
}

// The class names of `subjects`, empty for a subject of no class or none.
inline QStringList namesOf(const InstanceMask& s, std::initializer_list<int> subjects)
{
    QStringList names;
    for (const int n : subjects)
        names << infoOf(s, n).className;
    return names;
}

// Every subject listed can be clicked: each is in the label image, and
// nothing else is.
inline bool allClickable(const InstanceMask& s)
{
    std::set<int> found(s.labels.begin<uchar>(), s.labels.end<uchar>()), listed{0};
    found.insert(0);
    for (int n = 1; n <= s.count; ++n)
        listed.insert(n);
    return found == listed;
}

inline double overlap(const cv::Mat& a, const cv::Mat& b)
{
    return double(cv::countNonZero(a & b)) / std::max(1, cv::countNonZero(a | b));
}

} // namespace SharingScenes

using namespace SharingScenes;
