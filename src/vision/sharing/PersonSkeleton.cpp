#include "PersonSkeleton.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace {

using Keypoints = PersonSkeleton::Keypoints;
using Segment = PersonSkeleton::Segment;

enum Joint {
    nose = 0,
    leftShoulder = 5,
    rightShoulder = 6,
    leftElbow = 7,
    rightElbow = 8,
    leftWrist = 9,
    rightWrist = 10,
    leftHip = 11,
    rightHip = 12,
    leftKnee = 13,
    rightKnee = 14,
    leftAnkle = 15,
    rightAnkle = 16,
};
// Arms and legs: the root joint, the middle one, the end.
constexpr std::array<std::array<int, 3>, 4> limbJoints{{{leftShoulder, leftElbow, leftWrist},
                                                        {rightShoulder, rightElbow, rightWrist},
                                                        {leftHip, leftKnee, leftAnkle},
                                                        {rightHip, rightKnee, rightAnkle}}};

bool present(const Keypoints& k, int j, float level)
{
    return k[size_t(j)].score >= level;
}

cv::Point2f at(const Keypoints& k, int j)
{
    return k[size_t(j)].position;
}

double length(cv::Point2f v)
{
    return std::hypot(double(v.x), double(v.y));
}

// A person's size: the shoulders' width, else the hips', else a share of the box.
double personScale(const Keypoints& k, const cv::Rect& box, const SubjectTuning::Person& tuning)
{
    const float level = tuning.keypointScore;
    if (present(k, leftShoulder, level) && present(k, rightShoulder, level))
        return std::max(tuning.minSize, length(at(k, leftShoulder) - at(k, rightShoulder)));
    if (present(k, leftHip, level) && present(k, rightHip, level))
        return std::max(tuning.minSize,
                        length(at(k, leftHip) - at(k, rightHip)) * tuning.shouldersToHips);
    return std::max(tuning.minSize, tuning.shouldersToBox * box.width);
}

// The turn at a limb's middle joint, in radians (0: straight on).
double bend(const Keypoints& k, const std::array<int, 3>& limb)
{
    const cv::Point2f first = at(k, limb[1]) - at(k, limb[0]);
    const cv::Point2f second = at(k, limb[2]) - at(k, limb[1]);
    const double norms = length(first) * length(second);
    if (norms <= 0)
        return M_PI;
    return std::acos(std::clamp(double(first.dot(second)) / norms, -1.0, 1.0));
}

// Settles the limbs two people's poses may share (see settleLimbs).
void settlePair(Keypoints& ka, Keypoints& kb, const SubjectTuning::Person& tuning)
{
    const float faint = tuning.faintKeypoint;
    for (const auto& la : limbJoints) {
        for (const auto& lb : limbJoints) {
            // Arms with arms, legs with legs.
            if ((la[0] <= rightShoulder) != (lb[0] <= rightShoulder))
                continue;
            bool seen = true;
            for (int i = 0; i < 3; ++i) {
                seen =
                    seen && present(ka, la[size_t(i)], faint) && present(kb, lb[size_t(i)], faint);
            }
            if (!seen)
                continue;
            const double reach = tuning.sameJoint * std::min(length(at(ka, la[2]) - at(ka, la[1])),
                                                             length(at(kb, lb[2]) - at(kb, lb[1])));
            if (length(at(ka, la[1]) - at(kb, lb[1])) > reach ||
                length(at(ka, la[2]) - at(kb, lb[2])) > reach)
                continue;
            const bool aKeeps = bend(ka, la) <= bend(kb, lb);
            Keypoints& winner = aKeeps ? ka : kb;
            Keypoints& loser = aKeeps ? kb : ka;
            const auto& won = aKeeps ? la : lb;
            const auto& lost = aKeeps ? lb : la;
            // The middle joint is where both limbs meet: the loser keeps its
            // upper part up to there.
            for (int i = 1; i < 3; ++i) {
                DetectedPose::Keypoint& w = winner[size_t(won[size_t(i)])];
                DetectedPose::Keypoint& l = loser[size_t(lost[size_t(i)])];
                if (l.score > w.score)
                    w = l;
                if (i == 2)
                    l.score = 0;
            }
        }
    }
}

} // namespace

PersonSkeleton PersonSkeleton::of(const Keypoints& k, const cv::Rect& box,
                                  const SubjectTuning::Person& tuning)
{
    PersonSkeleton s;
    s.m_tuning = tuning;
    s.scale = personScale(k, box, tuning);
    s.width = float(std::max(tuning.minLine, tuning.lineShare * s.scale));
    auto present = [&](const Keypoints& kp, int j) {
        return ::present(kp, j, tuning.keypointScore);
    };

    // Torso: shoulders and hips, drawn out a little: the joints lie inside
    // the body's outline.
    std::vector<cv::Point2f> corners;
    for (int j : {leftShoulder, rightShoulder, rightHip, leftHip}) {
        if (present(k, j))
            corners.push_back(at(k, j));
    }
    if (corners.size() >= 3) {
        const cv::Point2f middle =
            std::accumulate(corners.begin(), corners.end(), cv::Point2f()) / float(corners.size());
        for (const cv::Point2f& c : corners)
            s.torso.push_back(middle + (c - middle) * float(tuning.torsoScale));
    } else if (corners.size() == 2) {
        s.trunk.push_back({corners[0], corners[1]});
    }

    // Head: the face's keypoints, joined to the middle of the shoulders.
    std::vector<cv::Point2f> face;
    for (int j = nose; j < leftShoulder; ++j) {
        if (present(k, j))
            face.push_back(at(k, j));
    }
    if (!face.empty()) {
        const cv::Point2f head =
            std::accumulate(face.begin(), face.end(), cv::Point2f()) / float(face.size());
        for (const cv::Point2f& f : face)
            s.trunk.push_back({head, f});
        if (present(k, leftShoulder) && present(k, rightShoulder))
            s.trunk.push_back({head, (at(k, leftShoulder) + at(k, rightShoulder)) * 0.5f});
    }

    for (const auto& limb : limbJoints) {
        for (int i = 0; i < 2; ++i) {
            if (present(k, limb[size_t(i)]) && present(k, limb[size_t(i + 1)]))
                s.limbs.push_back({at(k, limb[size_t(i)]), at(k, limb[size_t(i + 1)])});
        }
        // The hand goes on beyond the wrist.
        if (limb[0] <= rightShoulder && present(k, limb[1]) && present(k, limb[2])) {
            const cv::Point2f end = at(k, limb[2]);
            s.limbs.push_back({end, end + (end - at(k, limb[1])) * float(tuning.handShare)});
        }
    }
    return s;
}

void PersonSkeleton::settleLimbs(const std::vector<Keypoints*>& people,
                                 const SubjectTuning::Person& tuning)
{
    for (size_t a = 0; a < people.size(); ++a) {
        for (size_t b = a + 1; b < people.size(); ++b)
            settlePair(*people[a], *people[b], tuning);
    }
}

void PersonSkeleton::draw(cv::Mat& m, cv::Point2f origin, double lineWidth) const
{
    if (!torso.empty()) {
        std::vector<cv::Point> shifted;
        for (const cv::Point& c : torso)
            shifted.push_back(c - cv::Point(origin));
        cv::fillConvexPoly(m, shifted, cv::Scalar(255));
    }
    for (const auto* part : {&trunk, &limbs}) {
        for (const Segment& g : *part)
            cv::line(m, g.a - origin, g.b - origin, cv::Scalar(255), cvRound(lineWidth));
    }
}

std::vector<cv::Point> PersonSkeleton::wideTorso(double factor) const
{
    cv::Point2f middle;
    for (const cv::Point& c : torso)
        middle += cv::Point2f(c) / float(torso.size());
    std::vector<cv::Point> wide;
    for (const cv::Point& c : torso)
        wide.emplace_back(middle + (cv::Point2f(c) - middle) * float(factor / m_tuning.torsoScale));
    return wide;
}

std::vector<cv::Point> PersonSkeleton::bodyTorso() const
{
    return wideTorso(m_tuning.bodyTorsoScale);
}

cv::Mat PersonSkeleton::body(const cv::Rect& reach) const
{
    cv::Mat m = cv::Mat::zeros(reach.size(), CV_8UC1);
    const cv::Point2f origin(reach.tl());
    if (!torso.empty()) {
        std::vector<cv::Point> wide = bodyTorso();
        for (cv::Point& c : wide)
            c -= reach.tl();
        cv::fillConvexPoly(m, wide, cv::Scalar(255));
    }
    for (const Segment& g : trunk)
        cv::line(m, g.a - origin, g.b - origin, cv::Scalar(255),
                 std::max(1, cvRound(m_tuning.bodyHead * scale)));
    for (const Segment& g : limbs)
        cv::line(m, g.a - origin, g.b - origin, cv::Scalar(255),
                 std::max(1, cvRound(m_tuning.bodyLimb * scale)));
    return m;
}
