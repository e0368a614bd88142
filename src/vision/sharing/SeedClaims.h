#pragma once

#include "ColourModel.h"
#include "PersonSkeleton.h"
#include "SharingStages.h"

#include <optional>
#include <vector>

namespace Sharing {

// Per object the matte holds (by its place in Held::inMatte), over its
// reach: where it surely is, and the claim it lays on the picture against
// other objects' seeds, settled between objects.
struct Claims
{
    std::vector<cv::Mat> seedOf;            // its seeds once claims are settled
    std::vector<cv::Mat> claimOf;           // the ellipse in its box, or the skeleton drawn wide
    std::vector<cv::Mat> middleOf;          // its seeds before claims were settled
    std::vector<PersonSkeleton> skeletonOf; // per object; empty without a pose
    // Objects without a skeleton side by side or partly over each other, and
    // the colours of the seeds of those that have such rivals.
    std::vector<std::vector<size_t>> rivalsOf;
    std::vector<std::optional<ColourModel>> colourOf;
};
Claims claims(const Held& held, const SubjectTuning& tuning);

} // namespace Sharing
