#include "SceneObjects.h"

#include "SubjectSharing.h"

#include <algorithm>

namespace {

// Detections overlapping a surer one by more than this (IoU) are the same
// thing under another name; so is one of the same class lying this much
// inside another no more than a few times its size.
constexpr float sameThing = 0.5f;
constexpr double sameContained = 0.85;
constexpr double sameSize = 0.3;
// A pose goes with the person box it overlaps by at least this (IoU); a
// person box without a pose lying this much on a person with one is that
// person again.
constexpr float poseFits = 0.3f;
constexpr double samePerson = 0.5;
// A pose without a person box is a person when this sure of itself, with at
// least this many keypoints.
constexpr float lonePose = 0.3f;
constexpr int lonePoints = 5;
constexpr int maxObjects = 48;
// A faint find is offered only up to this share of the picture: a box over
// much of the scene the finder is unsure of is the scene misread.
constexpr double faintArea = 0.25;
// Smaller boxes are specks (as MatteSplit).
constexpr double speckShare = 0.0005;
// Each object's share lies within its box and this share of it beyond.
constexpr double boxMargin = 0.1;

// The share of `a` inside `b`, or of `b` inside `a`, whichever is larger.
double contained(const cv::Rect& a, const cv::Rect& b)
{
    const double both = (a & b).area();
    return both / std::max(1, std::min(a.area(), b.area()));
}

cv::Rect pixelBox(const cv::Rect2f& box, const cv::Rect& frame)
{
    return cv::Rect(cv::Point(cvFloor(box.x), cvFloor(box.y)),
                    cv::Point(cvCeil(box.br().x), cvCeil(box.br().y))) &
           frame;
}

// Detections from the faint score up, the best of any that overlap, each
// once, surer ones first.
std::vector<SceneObject> detections(const std::vector<DetectedObject>& objects,
                                    const cv::Rect& frame, int minArea)
{
    std::vector<const DetectedObject*> byScore;
    for (const DetectedObject& o : objects)
        byScore.push_back(&o);
    std::stable_sort(byScore.begin(), byScore.end(),
                     [](auto* a, auto* b) { return a->score > b->score; });
    std::vector<SceneObject> things;
    for (const DetectedObject* o : byScore) {
        if (o->score < SubjectSharing::minFaintScore || int(things.size()) >= maxObjects)
            continue;
        const cv::Rect box = pixelBox(o->box, frame);
        const bool faint = o->score < SubjectSharing::minScore;
        if (box.area() < minArea || (faint && box.area() > faintArea * frame.area()))
            continue;
        if (std::any_of(things.begin(), things.end(), [&](const SceneObject& t) {
                return SceneObjects::overlap(t.box, box) > sameThing ||
                       (t.className == o->className && contained(box, t.box) > sameContained &&
                        std::min(box.area(), t.box.area()) >=
                            sameSize * std::max(box.area(), t.box.area()));
            }))
            continue;
        SceneObject t;
        t.box = box;
        t.className = o->className;
        t.score = o->score;
        t.faint = faint;
        things.push_back(t);
    }
    return things;
}

// Poses go with the person boxes they fit; confident poses without one are
// people of their own; a person box without a pose lying on a person with
// one is dropped.
void addPeople(std::vector<SceneObject>& things, const std::vector<DetectedPose>& people,
               const cv::Rect& frame, int minArea)
{
    // Poses go with person boxes, the best-fitting pairs first.
    std::vector<const DetectedPose*> poses;
    std::vector<cv::Rect> poseBoxes;
    for (const DetectedPose& p : people) {
        if (p.score < SubjectSharing::minPoseScore)
            continue;
        poses.push_back(&p);
        poseBoxes.push_back(pixelBox(p.box, frame));
    }
    struct Pair
    {
        float overlap;
        size_t pose, thing;
    };
    std::vector<Pair> pairs;
    for (size_t p = 0; p < poses.size(); ++p) {
        for (size_t t = 0; t < things.size(); ++t) {
            const float fit = SceneObjects::overlap(things[t].box, poseBoxes[p]);
            if (things[t].person() && !things[t].faint && fit >= poseFits)
                pairs.push_back({fit, p, t});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.overlap > b.overlap; });
    std::vector<bool> placed(poses.size(), false);
    for (const Pair& pair : pairs) {
        if (placed[pair.pose] || things[pair.thing].pose)
            continue;
        things[pair.thing].pose = poses[pair.pose]->keypoints;
        placed[pair.pose] = true;
    }
    for (size_t p = 0; p < poses.size(); ++p) {
        const cv::Rect& box = poseBoxes[p];
        const int points = int(
            std::count_if(poses[p]->keypoints.begin(), poses[p]->keypoints.end(),
                          [](const auto& k) { return k.score >= PersonSkeleton::keypointScore; }));
        if (placed[p] || poses[p]->score < lonePose || points < lonePoints ||
            box.area() < minArea || int(things.size()) >= maxObjects)
            continue;
        if (std::any_of(things.begin(), things.end(), [&](const SceneObject& t) {
                return SceneObjects::overlap(t.box, box) > sameThing;
            }))
            continue;
        SceneObject t;
        t.box = box;
        t.className = QStringLiteral("person");
        t.score = poses[p]->score;
        t.pose = poses[p]->keypoints;
        things.push_back(t);
    }
    // A person box without a pose that lies mostly on a person with one is
    // the same person seen again.
    std::vector<SceneObject> kept;
    for (const SceneObject& t : things) {
        const bool again = t.person() && !t.pose &&
                           std::any_of(things.begin(), things.end(), [&](const SceneObject& o) {
                               return o.pose && (o.box & t.box).area() >= samePerson * t.box.area();
                           });
        if (!again)
            kept.push_back(t);
    }
    things = std::move(kept);
}

} // namespace

float SceneObjects::overlap(const cv::Rect& a, const cv::Rect& b)
{
    const double both = (a & b).area();
    const double either = double(a.area()) + b.area() - both;
    return either > 0 ? float(both / either) : 0.0f;
}

std::vector<SceneObject> SceneObjects::gather(const std::vector<DetectedObject>& objects,
                                              const std::vector<DetectedPose>& people,
                                              cv::Size size)
{
    const cv::Rect frame(0, 0, size.width, size.height);
    const int minArea = std::max(16, int(speckShare * double(size.area())));
    std::vector<SceneObject> things = detections(objects, frame, minArea);
    addPeople(things, people, frame, minArea);
    std::vector<PersonSkeleton::Keypoints*> posed;
    for (SceneObject& t : things) {
        t.area = double(t.box.area());
        cv::Rect reach = t.box;
        if (t.pose) {
            posed.push_back(&*t.pose);
            for (const auto& k : *t.pose) {
                if (k.score >= PersonSkeleton::keypointScore)
                    reach |= cv::Rect(cv::Point(k.position), cv::Size(1, 1));
            }
        }
        const int mx = int(boxMargin * reach.width) + 2, my = int(boxMargin * reach.height) + 2;
        t.reach =
            cv::Rect(reach.x - mx, reach.y - my, reach.width + 2 * mx, reach.height + 2 * my) &
            frame;
    }
    PersonSkeleton::settleLimbs(posed);
    return things;
}
