#pragma once

#include "ObjectDetector.h"
#include "PersonSkeleton.h"
#include "PoseEstimator.h"
#include "SubjectTuning.h"

#include <QString>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

// One object the finders agree on: a detection, or a person with a pose.
struct SceneObject
{
    cv::Rect box;
    QString className;
    float score = 0;
    std::optional<PersonSkeleton::Keypoints> pose;
    double area = 0;    // of the box
    cv::Rect reach;     // where its share of the matte may lie: box, pose and a margin
    bool faint = false; // below the sure score

    bool person() const { return className == QLatin1String("person"); }
};

// The objects in a picture from what the object finder and the pose finder
// report, each once.
class SceneObjects final
{
public:
    SceneObjects() = delete;

    // Detections from the faint score (those below the sure score faint,
    // and none of those over a quarter of the picture), the best of any that
    // overlap whatever their classes, at most 48; poses from the pose score
    // go with the person box they fit best, and a sure pose without
    // one is a person of its own. A person box without a pose lying mostly
    // on a person with one is that person again. Limbs two poses share are
    // settled (PersonSkeleton::settleLimbs). `size` is the picture's.
    static std::vector<SceneObject> gather(const std::vector<DetectedObject>& objects,
                                           const std::vector<DetectedPose>& people, cv::Size size,
                                           const SubjectTuning& tuning);

    // The boxes' intersection over their union.
    static float overlap(const cv::Rect& a, const cv::Rect& b);
};
