#include "SubjectSharing.h"

#include "MatteSharing.h"
#include "SceneObjects.h"

InstanceMask SubjectSharing::split(const InstanceMask& matte, const cv::Mat& rgb,
                                   const std::vector<DetectedObject>& objects,
                                   const std::vector<DetectedPose>& people)
{
    CV_Assert(matte.matte.type() == CV_8UC1 && rgb.type() == CV_8UC3 &&
              rgb.size() == matte.matte.size());
    // Nothing in the matte is no subject, whatever the finders see: the
    // matte decides whether there is anything to cut out.
    const std::vector<SceneObject> found =
        SceneObjects::gather(objects, people, matte.matte.size());
    if (found.empty() || matte.count == 0)
        return matte;
    return MatteSharing(matte, rgb, found).run();
}
