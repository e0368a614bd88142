#include "SharingStages.h"

namespace Sharing {

// Each object within its reach, then what no reach took goes to what it
// touches, then a piece of the matte with no seed at all stays the subject
// it was.
Flood flood(const Held& h, const Seeds& seeds)
{
    Flood out;
    out.labels = seeds.labels.clone();
    const cv::Mat edge = SeedFlood::edges(h.rgb);
    SeedFlood::grow(out.labels, h.domain, edge, seeds.reach);
    SeedFlood::grow(out.labels, h.domain, edge, std::vector<SeedFlood::Reach>(256));
    size_t labelCount = seeds.reach.size();
    std::vector<int> leftoverOf(size_t(h.matte.count) + 1, 0); // matte subject -> flood label
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* o = h.matte.owner.ptr<uchar>(y);
        uchar* s = out.labels.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (s[x] || !o[x] || o[x] > h.matte.count)
                continue;
            if (!leftoverOf[o[x]] && labelCount < InstanceMask::maxLabel)
                leftoverOf[o[x]] = int(labelCount++);
            s[x] = uchar(leftoverOf[o[x]]);
        }
    }
    out.labelCount = int(labelCount);
    return out;
}

} // namespace Sharing
