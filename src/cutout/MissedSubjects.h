#pragma once

#include "InstanceMask.h"

#include <QImage>
#include <opencv2/core.hpp>
#include <vector>

class VisionService;

// Subjects the finders list that the whole matte leaves out. With nothing
// picked the result is the matte, as the network saw the picture; but where
// the network saw a large object only faintly (a pale bear behind bright
// balls) while a finder is sure of it, the default result would keep the
// small things and drop the one the list ranks first.
//
// A listed subject is added to the default result when the finder is sure of
// it, its box is larger than every part the matte shows, the matte shows
// little of it, and it is not plainly background: its box does not span the
// picture (a floor, a wall, the sky), and the network, run again over the
// box alone, finds an object there that the matte does not hold, covering a
// fair share of the box (not the matte's subjects again with a few pixels
// around them). What that pass finds inside the box is what is added; the
// finder's box alone never adds pixels.
class MissedSubjects final
{
public:
    MissedSubjects() = delete;

    // The matte shows less than this share of a missed subject's box.
    static constexpr double maxShownShare = 0.25;
    // A box spanning this share of the picture's width or height is
    // background.
    static constexpr double spanShare = 0.9;
    // The pass over a box finds new object pixels over this share of it.
    static constexpr double minNewShare = 0.2;
    // At most this many passes of the network are run for one picture.
    static constexpr int maxPasses = 2;

    // The subjects of `found` to look at again, larger first (labels).
    static std::vector<int> candidates(const InstanceMask& found);

    // What the candidates add to the default result of an RGBA8888 image
    // (CV_8UC1 of the image's size); empty when nothing is added. Throws
    // VantelError where a pass cannot run.
    static cv::Mat added(const InstanceMask& found, const QImage& image, VisionService& vision);
};
