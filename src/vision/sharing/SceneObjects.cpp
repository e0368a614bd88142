#include "SceneObjects.h"

#include <algorithm>

namespace {

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
                                    const cv::Rect& frame, int minArea,
                                    const SubjectTuning::Scene& tuning)
{
    std::vector<const DetectedObject*> byScore;
    for (const DetectedObject& o : objects)
        byScore.push_back(&o);
    std::stable_sort(byScore.begin(), byScore.end(),
                     [](auto* a, auto* b) { return a->score > b->score; });
    std::vector<SceneObject> things;
    for (const DetectedObject* o : byScore) {
        if (o->score < tuning.minFaintScore || int(things.size()) >= tuning.maxObjects)
            continue;
        const cv::Rect box = pixelBox(o->box, frame);
        const bool faint = o->score < tuning.minScore;
        if (box.area() < minArea || (faint && box.area() > tuning.faintArea * frame.area()))
            continue;
        if (std::any_of(things.begin(), things.end(), [&](const SceneObject& t) {
                return SceneObjects::overlap(t.box, box) > tuning.sameThing ||
                       (t.className == o->className &&
                        contained(box, t.box) > tuning.sameContained &&
                        std::min(box.area(), t.box.area()) >=
                            tuning.sameSize * std::max(box.area(), t.box.area()));
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

// Poses go with person boxes, the best-fitting pairs first. Returns, per
// pose from the pose score up, whether it found its box.
std::vector<bool> posePeople(std::vector<SceneObject>& things,
                             const std::vector<const DetectedPose*>& poses,
                             const std::vector<cv::Rect>& poseBoxes,
                             const SubjectTuning::Scene& tuning)
{
    struct Pair
    {
        float overlap;
        size_t pose, thing;
    };
    std::vector<Pair> pairs;
    for (size_t p = 0; p < poses.size(); ++p) {
        for (size_t t = 0; t < things.size(); ++t) {
            const float fit = SceneObjects::overlap(things[t].box, poseBoxes[p]);
            if (things[t].person() && !things[t].faint && fit >= tuning.poseFits)
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
    return placed;
}

// Poses go with the person boxes they fit; sure poses without one are
// people of their own; a person box without a pose lying on a person with
// one is dropped.
void addPeople(std::vector<SceneObject>& things, const std::vector<DetectedPose>& people,
               const cv::Rect& frame, int minArea, const SubjectTuning& tuning)
{
    const SubjectTuning::Scene& scene = tuning.scene;
    std::vector<const DetectedPose*> poses;
    std::vector<cv::Rect> poseBoxes;
    for (const DetectedPose& p : people) {
        if (p.score < scene.minPoseScore)
            continue;
        poses.push_back(&p);
        poseBoxes.push_back(pixelBox(p.box, frame));
    }
    const std::vector<bool> placed = posePeople(things, poses, poseBoxes, scene);
    for (size_t p = 0; p < poses.size(); ++p) {
        const cv::Rect& box = poseBoxes[p];
        const int points = int(
            std::count_if(poses[p]->keypoints.begin(), poses[p]->keypoints.end(),
                          [&](const auto& k) { return k.score >= tuning.person.keypointScore; }));
        if (placed[p] || poses[p]->score < scene.lonePose || points < scene.lonePoints ||
            box.area() < minArea || int(things.size()) >= scene.maxObjects)
            continue;
        if (std::any_of(things.begin(), things.end(), [&](const SceneObject& t) {
                return SceneObjects::overlap(t.box, box) > scene.sameThing;
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
        const bool again =
            t.person() && !t.pose &&
            std::any_of(things.begin(), things.end(), [&](const SceneObject& o) {
                return o.pose && (o.box & t.box).area() >= scene.samePerson * t.box.area();
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
                                              cv::Size size, const SubjectTuning& tuning)
{
    const cv::Rect frame(0, 0, size.width, size.height);
    const int minArea = std::max(tuning.minArea, int(tuning.speckShare * double(size.area())));
    std::vector<SceneObject> things = detections(objects, frame, minArea, tuning.scene);
    addPeople(things, people, frame, minArea, tuning);
    std::vector<PersonSkeleton::Keypoints*> posed;
    for (SceneObject& t : things) {
        t.area = double(t.box.area());
        cv::Rect reach = t.box;
        if (t.pose) {
            posed.push_back(&*t.pose);
            for (const auto& k : *t.pose) {
                if (k.score >= tuning.person.keypointScore)
                    reach |= cv::Rect(cv::Point(k.position), cv::Size(1, 1));
            }
        }
        const SubjectTuning::Scene& scene = tuning.scene;
        const int mx = int(scene.boxMargin * reach.width) + scene.minMargin;
        const int my = int(scene.boxMargin * reach.height) + scene.minMargin;
        t.reach =
            cv::Rect(reach.x - mx, reach.y - my, reach.width + 2 * mx, reach.height + 2 * my) &
            frame;
    }
    PersonSkeleton::settleLimbs(posed, tuning.person);
    return things;
}
