#include "InstanceMask.h"

#include "MaskScale.h"
#include "OwnMask.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace {

// A subject a finder names is an object whatever the matte thinks of how it
// stands out: where the network saw it only faintly (a child at the side of
// a group, at 0.5 throughout), picking it lifts its share so that its
// middle level is whole, the edges keeping their shape. A share no finder
// names is only what the matte says, and is left as it is.
// Below the shown level a pixel is edge or haze, not body.
std::array<float, 256> lifts(const InstanceMask& m, const std::array<uchar, 256>& keep)
{
    const int bodyLevel = m.shownLevel;
    std::array<float, 256> lift;
    lift.fill(1.f);
    std::array<bool, 256> named{};
    bool any = false;
    for (size_t l = 1; l < 256 && l <= m.info.size(); ++l) {
        const SubjectInfo& i = m.info[l - 1];
        named[l] = keep[l] && !i.own && !i.className.isEmpty() && i.score > 0;
        any = any || named[l];
    }
    if (!any)
        return lift;
    std::vector<std::array<int, 256>> counts(256);
    for (int y = 0; y < m.matte.rows; ++y) {
        const uchar* who = m.owner.ptr<uchar>(y);
        const uchar* soft = m.matte.ptr<uchar>(y);
        for (int x = 0; x < m.matte.cols; ++x) {
            if (named[who[x]] && soft[x] >= bodyLevel)
                ++counts[who[x]][soft[x]];
        }
    }
    for (size_t l = 1; l < 256; ++l) {
        if (!named[l])
            continue;
        const int total = std::accumulate(counts[l].begin(), counts[l].end(), 0);
        int seen = 0, middle = 255;
        while (middle > bodyLevel && 2 * (seen + counts[l][size_t(middle)]) <= total)
            seen += counts[l][size_t(middle--)];
        if (total > 0)
            lift[l] = std::min(m.maxLift, 255.f / float(middle));
    }
    return lift;
}

// A matte value lifted by `lift`: fully from the body's level up, less and
// less below it, so that a faint haze around the subject stays faint.
uchar lifted(uchar soft, float lift, int bodyLevel)
{
    const float ramp = soft >= bodyLevel ? 1.f : float(soft) / float(bodyLevel);
    return cv::saturate_cast<uchar>(soft * (1.f + (lift - 1.f) * ramp));
}

} // namespace

InstanceSet InstanceMask::allInstances() const
{
    InstanceSet set;
    for (int label = 1; label <= count; ++label)
        set.insert(label);
    return set;
}

cv::Mat InstanceMask::scaledMask(const InstanceSet& instances, cv::Size size) const
{
    std::array<uchar, 256> keep{};
    std::vector<const OwnMask*> own;
    for (int64_t label : instances) {
        if (label < 1 || label > count || label > maxLabel)
            continue;
        const size_t i = size_t(label - 1);
        if (i < info.size() && info[i].own)
            own.push_back(info[i].own.get());
        else
            keep[size_t(label)] = 255;
    }
    // Each subject's values through a table of its own: nothing for those
    // not kept, the matte's own for most, lifted for a faint named one.
    const std::array<float, 256> lift = lifts(*this, keep);
    static const std::array<uchar, 256> none{};
    std::vector<std::array<uchar, 256>> tables;
    std::array<const uchar*, 256> table;
    table.fill(none.data());
    std::array<uchar, 256> same;
    for (int v = 0; v < 256; ++v)
        same[size_t(v)] = uchar(v);
    tables.reserve(instances.size());
    for (size_t l = 1; l < 256; ++l) {
        if (!keep[l])
            continue;
        if (lift[l] == 1.f) {
            table[l] = same.data();
            continue;
        }
        std::array<uchar, 256>& t = tables.emplace_back();
        for (int v = 0; v < 256; ++v)
            t[size_t(v)] = lifted(uchar(v), lift[l], shownLevel);
        table[l] = t.data();
    }
    cv::Mat chosen(matte.size(), CV_8UC1);
    for (int y = 0; y < chosen.rows; ++y) {
        const uchar* who = owner.ptr<uchar>(y);
        const uchar* soft = matte.ptr<uchar>(y);
        uchar* out = chosen.ptr<uchar>(y);
        for (int x = 0; x < chosen.cols; ++x)
            out[x] = table[who[x]][soft[x]];
    }
    for (const OwnMask* mask : own) {
        cv::Mat area = chosen(mask->roi());
        cv::max(area, mask->alpha(), area);
    }
    return MaskScale::fitted(chosen, size);
}

bool InstanceMask::needsCut(const InstanceSet& instances) const
{
    return std::any_of(instances.begin(), instances.end(), [&](int64_t label) {
        const size_t i = size_t(label - 1);
        return label >= 1 && i < info.size() && info[i].own && !info[i].own->isCut();
    });
}

cv::Mat InstanceMask::wholeMask(cv::Size size) const
{
    return MaskScale::fitted(matte, size);
}
