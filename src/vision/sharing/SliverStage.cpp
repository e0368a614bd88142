#include "LabelBoxes.h"
#include "SharingStages.h"

#include <algorithm>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace Sharing {

namespace {

// What is known of each flood label's pixels: how many, how many of them are
// shown matte, where they lie, and how long a border it shares with each
// other label in the shown matte (and, for labels with no shown pixel at
// all, anywhere in the matte).
struct Census
{
    explicit Census(size_t labels)
        : pixels(labels, 0), shown(labels, 0), extent(labels), shownBorder(labels * labels, 0),
          anyBorder(labels * labels, 0), count(labels)
    {
    }
    std::vector<int> pixels, shown;
    LabelBoxes extent;
    std::vector<int> shownBorder, anyBorder; // count x count, by (a, b)
    size_t count;
};

Census censusOf(const Held& h, const cv::Mat& labels, size_t labelCount)
{
    Census c(labelCount);
    auto meet = [&](uchar a, uchar b, bool bothShown) {
        if (a == b || !a || !b)
            return;
        ++c.anyBorder[a * labelCount + b];
        ++c.anyBorder[b * labelCount + a];
        if (bothShown) {
            ++c.shownBorder[a * labelCount + b];
            ++c.shownBorder[b * labelCount + a];
        }
    };
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* l = labels.ptr<uchar>(y);
        const uchar* below = y + 1 < h.size.height ? labels.ptr<uchar>(y + 1) : nullptr;
        const uchar* s = h.shown.ptr<uchar>(y);
        const uchar* sBelow = below ? h.shown.ptr<uchar>(y + 1) : nullptr;
        for (int x = 0; x < h.size.width; ++x) {
            if (!l[x])
                continue;
            ++c.pixels[l[x]];
            c.shown[l[x]] += s[x] ? 1 : 0;
            c.extent.add(l[x], x, y);
            if (x + 1 < h.size.width)
                meet(l[x], l[x + 1], s[x] && s[x + 1]);
            if (below)
                meet(l[x], below[x], s[x] && sBelow[x]);
        }
    }
    return c;
}

// How many pixels across the share is at its thickest: from the largest
// distance of its pixels to the nearest pixel not its own (1 for a line one
// pixel wide, 3 for one three wide).
double thickness(const cv::Mat& labels, const cv::Rect& box, int label)
{
    const cv::Rect padded = cv::Rect(box.x - 1, box.y - 1, box.width + 2, box.height + 2) &
                            cv::Rect(0, 0, labels.cols, labels.rows);
    cv::Mat inside = cv::Mat::zeros(box.height + 2, box.width + 2, CV_8UC1);
    const cv::Point at = padded.tl() - cv::Point(box.x - 1, box.y - 1);
    inside(cv::Rect(at, padded.size())).setTo(255, labels(padded) == label);
    cv::Mat distance;
    cv::distanceTransform(inside, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    double most = 0;
    cv::minMaxLoc(distance, nullptr, &most);
    return 2 * most - 1;
}

// The label a sliver goes to: the one it shares the longest shown border
// with, or for a sliver with nothing shown, the longest border at all; 0
// for none.
int receiverOf(const Census& c, const std::vector<int>& into, int label)
{
    const std::vector<int>& border = c.shown[size_t(label)] ? c.shownBorder : c.anyBorder;
    int best = 0, longest = 0;
    for (size_t other = 1; other < c.count; ++other) {
        const int length = border[size_t(label) * c.count + other];
        if (int(other) != label && into[other] == int(other) && length > longest) {
            longest = length;
            best = int(other);
        }
    }
    return best;
}

// The shares once slivers went where `into` says (a label to itself when
// it stays, 0 when it is no subject): the subjects left, each part of the
// matte measured again over the pixels it now has.
Shares regather(const Held& h, Shares shares, std::vector<int> into, const std::vector<bool>& gone)
{
    for (size_t l = 0; l < into.size(); ++l) {
        while (into[size_t(into[l])] != into[l])
            into[l] = into[size_t(into[l])];
    }
    const size_t labels = into.size();
    std::vector<int> pixels(labels, 0);
    LabelBoxes sureBox(labels), anyBox(labels);
    for (int y = 0; y < h.size.height; ++y) {
        uchar* l = shares.labels.ptr<uchar>(y);
        const uchar* sure = h.sure.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            l[x] = uchar(into[l[x]]);
            ++pixels[l[x]];
            anyBox.add(l[x], x, y);
            if (sure[x])
                sureBox.add(l[x], x, y);
        }
    }
    std::vector<Subject> kept;
    for (size_t m = 0; m < shares.subjects.size(); ++m) {
        Subject e = shares.subjects[m];
        if (gone[m])
            continue;
        if (e.label && !e.own)
            e.size = pixels[size_t(e.label)];
        if (e.label && e.object < 0) {
            e.box = sureBox.box(size_t(e.label));
            if (e.box.empty())
                e.box = anyBox.box(size_t(e.label));
        }
        kept.push_back(e);
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Subject& a, const Subject& b) { return a.size > b.size; });
    shares.subjects = std::move(kept);
    return shares;
}

} // namespace

// A pickable subject is an object, not a fragment of one: a share of the
// matte no object accounts for (or only a faint find names) that is a small
// part of the picture, or
// nowhere thicker than a seam, goes to the subject it borders, and a click
// on it keeps that subject. One with no shown pixel (nothing a click could
// find, nothing a cut would show) goes to what it touches, or is no subject
// at all. A sliver apart from everything else stays: it is something of its
// own, however small.
Shares withoutSlivers(const Held& h, Shares shares, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    const size_t labels = size_t(shares.labelCount);
    Census c = censusOf(h, shares.labels, labels);
    const double small = s.sliverShare * double(h.size.area());
    const double thin = s.sliverWidth * std::min(h.size.width, h.size.height);
    std::vector<int> into(labels);
    std::iota(into.begin(), into.end(), 0);
    // Subjects that are parts of the matte, or shares a faint find names,
    // smallest first.
    std::vector<size_t> parts;
    for (size_t m = 0; m < shares.subjects.size(); ++m) {
        const Subject& subject = shares.subjects[m];
        if (subject.label && (subject.object < 0 || h.objects[size_t(subject.object)].named))
            parts.push_back(m);
    }
    std::stable_sort(parts.begin(), parts.end(), [&](size_t a, size_t b) {
        return c.pixels[size_t(shares.subjects[a].label)] <
               c.pixels[size_t(shares.subjects[b].label)];
    });
    std::vector<bool> gone(shares.subjects.size(), false);
    for (size_t m : parts) {
        const int l = shares.subjects[m].label;
        const bool sliver = !c.shown[size_t(l)] || c.pixels[size_t(l)] < small ||
                            thickness(shares.labels, c.extent.box(size_t(l)), l) < thin;
        const int to = sliver ? receiverOf(c, into, l) : 0;
        if (!sliver || (!to && c.shown[size_t(l)]))
            continue;
        gone[m] = true;
        into[size_t(l)] = to;
        if (!to)
            continue;
        // The receiver takes over the sliver's pixels and borders.
        c.pixels[size_t(to)] += c.pixels[size_t(l)];
        c.shown[size_t(to)] += c.shown[size_t(l)];
        for (size_t k = 1; k < labels; ++k) {
            for (std::vector<int>* border : {&c.shownBorder, &c.anyBorder}) {
                (*border)[size_t(to) * labels + k] += (*border)[size_t(l) * labels + k];
                (*border)[k * labels + size_t(to)] += (*border)[k * labels + size_t(l)];
            }
        }
    }
    return regather(h, std::move(shares), into, gone);
}

} // namespace Sharing
