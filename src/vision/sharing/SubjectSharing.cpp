#include "SubjectSharing.h"

#include "SharingStages.h"

#include <algorithm>

InstanceMask SubjectSharing::split(const InstanceMask& matte, const cv::Mat& rgb,
                                   const std::vector<DetectedObject>& objects,
                                   const std::vector<DetectedPose>& people,
                                   const SubjectTuning& tuning)
{
    CV_Assert(matte.matte.type() == CV_8UC1 && rgb.type() == CV_8UC3 &&
              rgb.size() == matte.matte.size());
    // Nothing in the matte is no subject, whatever the finders see: the
    // matte decides whether there is anything to cut out.
    const std::vector<SceneObject> found =
        SceneObjects::gather(objects, people, matte.matte.size(), tuning);
    if (found.empty() || matte.count == 0)
        return matte;
    std::vector<bool> notHeld(found.size(), false);
    for (;;) {
        const Sharing::Held held = Sharing::hold(matte, rgb, found, notHeld, tuning);
        const Sharing::Shares shares =
            Sharing::share(held, Sharing::flood(held, Sharing::seed(held, tuning)), tuning);
        // An object held faintly whose share does not make its shape is not
        // the matte's after all (a desk under a cat's shadowed belly): the
        // matte is shared out again without it, and it gets a mask of its own.
        const std::vector<bool> misfits = Sharing::faintMisfits(held, shares);
        if (std::find(misfits.begin(), misfits.end(), true) == misfits.end())
            return Sharing::subjectsOf(held, Sharing::withoutSlivers(held, shares, tuning), tuning);
        for (size_t i = 0; i < found.size(); ++i)
            notHeld[i] = notHeld[i] || misfits[i];
    }
}
