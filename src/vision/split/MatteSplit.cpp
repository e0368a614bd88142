#include "MatteSplit.h"

#include "DisjointSets.h"
#include "FaceSearch.h"

#include <algorithm>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

namespace {

constexpr int coreThreshold = 128; // matte one half
// A group of pieces smaller than this share of the image is a speck.
constexpr double speckShare = 0.0005;
// Matte values (0.1) from which a pixel counts as the faint surroundings of
// something: pieces not linked through such values have background between
// them, and faint areas without any piece of a subject are dropped.
constexpr int supportLevel = 26;
// A piece closer than this share of the longer side to one at least
// fragmentRatio times its size joins it, if the faint matte links them.
constexpr double gapShare = 0.015;
constexpr double fragmentRatio = 8.0;
// Pieces the matte links by a path that never drops below this level (0.3)
// are parts of one thing whose middle the network was less sure of (a face
// under a helmet, petals around a flower's heart): the smaller joins the
// larger when that is at least bridgeRatio times its size, however far
// apart their confident parts are. Things with background between them are
// never linked this way.
constexpr int bridgeLevel = 77;
constexpr double bridgeRatio = 3.0;
// Only subjects whose bounding box covers this share of the image are
// searched for faces: smaller ones are not two people worth telling apart.
constexpr double peopleShare = 0.02;

// The other pieces within `reach` of piece `i`'s bounding box, each with the
// distance from `i` to its nearest pixel, by piece number. Only what is
// near is looked at: the cost follows the piece's surroundings, not the
// number of pieces in the image.
std::vector<std::pair<int, double>> distancesFrom(const cv::Mat& pieces, const cv::Mat& stats,
                                                  int i, int reach)
{
    std::vector<std::pair<int, double>> nearest;
    cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                 stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    box.x -= reach;
    box.y -= reach;
    box.width += 2 * reach;
    box.height += 2 * reach;
    box &= cv::Rect(0, 0, pieces.cols, pieces.rows);
    const cv::Mat local = pieces(box);
    cv::Mat notPiece = local != i;
    cv::Mat distance;
    cv::distanceTransform(notPiece, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    for (int y = 0; y < local.rows; ++y) {
        const int* label = local.ptr<int>(y);
        const float* d = distance.ptr<float>(y);
        for (int x = 0; x < local.cols; ++x) {
            if (label[x] > 0 && label[x] != i)
                nearest.emplace_back(label[x], double(d[x]));
        }
    }
    // The nearest pixel of each piece.
    std::sort(nearest.begin(), nearest.end());
    nearest.erase(std::unique(nearest.begin(), nearest.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  nearest.end());
    return nearest;
}

// For each piece, the pieces at least bridgeRatio times its size that the
// matte links it to at the highest level down to bridgeLevel (several when
// they were already linked to each other above that level). The matte is
// flooded downwards from the confident pieces one level at a time; where two
// flooded regions meet, each piece of one learns the level at which it
// reaches the pieces of the other.
std::vector<std::vector<int>> bridgedHosts(const cv::Mat& m8, const cv::Mat& pieces,
                                           const cv::Mat& stats)
{
    const int n = stats.rows;
    const int w = m8.cols, h = m8.rows;
    auto areaOf = [&](int i) {
        return stats.at<int>(i, cv::CC_STAT_AREA);
    };
    std::vector<std::vector<int>> hosts(size_t(std::max(n, 1)));
    if (n <= 2)
        return hosts;

    struct Region
    {
        std::vector<int> pieces;
        std::vector<int> waiting; // pieces that have not reached a host yet
        int largest = 0;          // area of the largest piece
    };
    std::vector<Region> regions(static_cast<size_t>(n));
    // Confident pixels point at their piece's first pixel, the root of its
    // region; the others wait for their level.
    std::vector<int> parent(size_t(w) * size_t(h), -1);  // -1: not flooded yet
    std::vector<int> regionAt(size_t(w) * size_t(h), 0); // at roots: region, 0 none
    std::vector<int> first(size_t(n), -1);
    std::vector<std::vector<int>> levels(static_cast<size_t>(coreThreshold));
    for (int y = 0; y < h; ++y) {
        const int* p = pieces.ptr<int>(y);
        const uchar* m = m8.ptr<uchar>(y);
        for (int x = 0; x < w; ++x) {
            const int i = y * w + x;
            if (p[x] > 0) {
                int& root = first[size_t(p[x])];
                if (root < 0) {
                    root = i;
                    regionAt[size_t(i)] = p[x];
                    Region& r = regions[size_t(p[x])];
                    r.pieces = {p[x]};
                    r.waiting = {p[x]};
                    r.largest = areaOf(p[x]);
                }
                parent[size_t(i)] = root;
            } else if (m[x] >= bridgeLevel) {
                levels[m[x]].push_back(i);
            }
        }
    }
    auto find = [&](int i) {
        while (parent[size_t(i)] != i)
            i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
        return i;
    };
    // Pieces of `from` reach their hosts in `to`.
    auto settle = [&](Region& from, const Region& to) {
        std::vector<int> still;
        for (int piece : from.waiting) {
            const double needed = bridgeRatio * areaOf(piece);
            if (to.largest < needed) {
                still.push_back(piece);
                continue;
            }
            for (int other : to.pieces) {
                if (areaOf(other) >= needed)
                    hosts[size_t(piece)].push_back(other);
            }
        }
        from.waiting = std::move(still);
    };
    for (int level = coreThreshold - 1; level >= bridgeLevel; --level) {
        for (int i : levels[size_t(level)]) {
            parent[size_t(i)] = i;
            const int x = i % w, y = i / w;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= w || ny >= h)
                        continue;
                    const int j = ny * w + nx;
                    if (parent[size_t(j)] < 0)
                        continue;
                    int a = find(i), b = find(j);
                    if (a == b)
                        continue;
                    int ra = regionAt[size_t(a)], rb = regionAt[size_t(b)];
                    if (ra > 0 && rb > 0) {
                        settle(regions[size_t(ra)], regions[size_t(rb)]);
                        settle(regions[size_t(rb)], regions[size_t(ra)]);
                        // The smaller list goes into the larger.
                        if (regions[size_t(ra)].pieces.size() < regions[size_t(rb)].pieces.size()) {
                            std::swap(a, b);
                            std::swap(ra, rb);
                        }
                        Region& into = regions[size_t(ra)];
                        Region& from = regions[size_t(rb)];
                        into.pieces.insert(into.pieces.end(), from.pieces.begin(),
                                           from.pieces.end());
                        into.waiting.insert(into.waiting.end(), from.waiting.begin(),
                                            from.waiting.end());
                        into.largest = std::max(into.largest, from.largest);
                        from = Region();
                    } else if (rb > 0) {
                        std::swap(a, b);
                        std::swap(ra, rb);
                    }
                    parent[size_t(b)] = a;
                    regionAt[size_t(a)] = ra;
                }
            }
        }
    }
    return hosts;
}

// Tries to split `subject` (a CV_8U mask of one subject's confident pixels)
// between the people whose faces it holds. Returns one mask per person, or
// nothing when the split does not measure up.
std::vector<cv::Mat> splitPeople(const cv::Mat& subject, const cv::Mat& support, const cv::Mat& rgb,
                                 const std::vector<cv::Rect>& faces)
{
    const int area = cv::countNonZero(subject);
    cv::Mat markers(subject.size(), CV_32S, cv::Scalar(0));
    markers.setTo(1, support == 0);
    const cv::Rect whole(0, 0, subject.cols, subject.rows);
    for (size_t k = 0; k < faces.size(); ++k) {
        const cv::Rect& f = faces[k];
        const int marker = int(k) + 2;
        // The middle of the face, and a torso column below it.
        const cv::Rect face(f.x + f.width / 4, f.y + f.height / 4, f.width / 2, f.height / 2);
        const cv::Rect torso(f.x + f.width / 4, f.y + f.height + f.height / 3, f.width / 2,
                             f.height * 2);
        for (const cv::Rect& r : {face & whole, torso & whole}) {
            cv::Mat seed = markers(r);
            const cv::Mat inside = subject(r);
            for (int y = 0; y < r.height; ++y) {
                int* m = seed.ptr<int>(y);
                const uchar* s = inside.ptr<uchar>(y);
                for (int x = 0; x < r.width; ++x) {
                    if (!s[x])
                        continue;
                    // Where two people's seeds meet, neither claims the pixel.
                    m[x] = (m[x] == 0 || m[x] == marker) ? marker : 0;
                }
            }
        }
    }
    cv::watershed(rgb, markers);

    std::vector<cv::Mat> parts;
    for (size_t k = 0; k < faces.size(); ++k) {
        cv::Mat part = (markers == int(k) + 2) & subject;
        const int partArea = cv::countNonZero(part);
        // Each person a real share of the piece, and in one piece.
        if (partArea < area / 10)
            return {};
        cv::Mat labels, stats, centroids;
        const int n = cv::connectedComponentsWithStats(part, labels, stats, centroids, 8);
        int largest = 0;
        for (int i = 1; i < n; ++i)
            largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
        if (largest < partArea * 8 / 10)
            return {};
        parts.push_back(part);
    }
    return parts;
}

// The connected pieces of the confident matte.
struct Pieces
{
    explicit Pieces(const cv::Mat& core)
    {
        cv::Mat centroids;
        count = cv::connectedComponentsWithStats(core, labels, stats, centroids, 8, CV_32S);
    }
    int area(int i) const { return stats.at<int>(i, cv::CC_STAT_AREA); }
    cv::Rect box(int i) const
    {
        return cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                        stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    }
    // The value of `m` (CV_32S) at the piece's first pixel, which lies in the
    // top row of its box.
    int at(const cv::Mat& m, int i) const
    {
        const cv::Rect b = box(i);
        for (int x = b.x; x < b.br().x; ++x) {
            if (labels.at<int>(b.y, x) == i)
                return m.at<int>(b.y, x);
        }
        return 0;
    }

    cv::Mat labels, stats; // CV_32S, 0 for none
    int count = 0;         // with the background, 0
};

// The piece among `hosts` nearest to piece `i`, looked for far enough to
// see them all.
int nearestHost(const Pieces& pieces, int i, const std::vector<int>& hosts)
{
    const cv::Rect box = pieces.box(i);
    int far = 1;
    for (int j : hosts) {
        const cv::Rect other = pieces.box(j);
        far = std::max({far, other.x - box.br().x, box.x - other.br().x, other.y - box.br().y,
                        box.y - other.br().y});
    }
    const std::vector<std::pair<int, double>> nearest =
        distancesFrom(pieces.labels, pieces.stats, i, far + 1);
    double best = 1e30;
    int host = 0;
    for (int j : hosts) {
        const auto it = std::lower_bound(nearest.begin(), nearest.end(), std::make_pair(j, -1.0));
        if (it != nearest.end() && it->first == j && it->second < best) {
            best = it->second;
            host = j;
        }
    }
    return host ? host : hosts.front();
}

// Whether a piece fragmentRatio times the size of the one at `rank` (by
// size) may lie within `reach` of it: not when there is none that large, nor
// when the few there are stand farther off, box to box. Speeds up images of
// many equal fragments (dust, noise) without changing what is joined.
bool mayHaveHostNear(const Pieces& pieces, const std::vector<int>& bySize, size_t rank, int reach)
{
    constexpr size_t fewHosts = 64;
    const int i = bySize[rank];
    const cv::Rect box = pieces.box(i);
    for (size_t r = 0; r < rank; ++r) {
        const int j = bySize[r];
        if (pieces.area(j) < fragmentRatio * pieces.area(i))
            return false; // the rest are smaller still
        if (r >= fewHosts)
            return true;
        const cv::Rect other = pieces.box(j);
        const int gap = std::max({other.x - box.br().x, box.x - other.br().x, other.y - box.br().y,
                                  box.y - other.br().y});
        if (gap < reach)
            return true;
    }
    return false;
}

// Joins fragments to larger pieces, smallest last: to one the matte links
// them to, else to a much larger one close by in the same faint area.
DisjointSets joinFragments(const cv::Mat& m8, const Pieces& pieces,
                           const std::vector<int>& faintAreaOf, int reach)
{
    std::vector<int> bySize(size_t(std::max(0, pieces.count - 1)));
    std::iota(bySize.begin(), bySize.end(), 1);
    std::sort(bySize.begin(), bySize.end(),
              [&](int a, int b) { return pieces.area(a) > pieces.area(b); });
    std::vector<size_t> rankOf(size_t(std::max(pieces.count, 1)), 0);
    for (size_t rank = 0; rank < bySize.size(); ++rank)
        rankOf[size_t(bySize[rank])] = rank;
    const std::vector<std::vector<int>> linked = bridgedHosts(m8, pieces.labels, pieces.stats);
    DisjointSets sets(pieces.count);
    for (size_t rank = 1; rank < bySize.size(); ++rank) {
        const int i = bySize[rank];
        const std::vector<int>& hosts = linked[size_t(i)];
        int host = 0;
        if (!hosts.empty()) {
            host = hosts.size() == 1 ? hosts.front() : nearestHost(pieces, i, hosts);
        } else if (mayHaveHostNear(pieces, bySize, rank, reach)) {
            // Only across a seam the matte still covers faintly: a small
            // subject near a large one with background between them stays
            // a subject of its own.
            // The larger pieces near it, in the order of their size.
            std::vector<std::pair<int, double>> near =
                distancesFrom(pieces.labels, pieces.stats, i, reach);
            near.erase(
                std::remove_if(near.begin(), near.end(),
                               [&](const auto& n) { return rankOf[size_t(n.first)] >= rank; }),
                near.end());
            std::sort(near.begin(), near.end(), [&](const auto& a, const auto& b) {
                return rankOf[size_t(a.first)] < rankOf[size_t(b.first)];
            });
            double best = reach;
            for (const auto& [j, distance] : near) {
                if (distance <= best && pieces.area(j) >= fragmentRatio * pieces.area(i) &&
                    faintAreaOf[size_t(i)] == faintAreaOf[size_t(j)]) {
                    best = distance;
                    host = j;
                }
            }
        }
        if (host)
            sets.join(i, host);
    }
    return sets;
}

// People who touch: each subject holding two or more faces is split between
// them where the split measures up.
std::vector<cv::Mat> splitTouchingPeople(std::vector<cv::Mat> subjects, const cv::Mat& support,
                                         const cv::Mat& rgb, MatteSplit::Report& report)
{
    std::optional<FaceSearch> search;
    const double minPeopleArea = peopleShare * double(support.total());
    std::vector<cv::Mat> split;
    for (cv::Mat& subject : subjects) {
        const cv::Rect box = cv::boundingRect(subject);
        std::vector<cv::Rect> faces;
        if (double(box.area()) >= minPeopleArea) {
            if (!search)
                search.emplace(rgb);
            faces = search->within(box);
            report.faces += int(faces.size());
        }
        std::vector<cv::Rect> inside;
        for (const cv::Rect& f : faces) {
            const cv::Point c(f.x + f.width / 2, f.y + f.height / 2);
            if (c.inside(cv::Rect(0, 0, subject.cols, subject.rows)) && subject.at<uchar>(c))
                inside.push_back(f);
        }
        if (inside.size() >= 2) {
            ++report.splitsTried;
            std::vector<cv::Mat> parts = splitPeople(subject, support, rgb, inside);
            if (!parts.empty()) {
                ++report.splitsKept;
                // Confident pixels the split left on a border go to the
                // nearest person when soft pixels are handed out.
                for (cv::Mat& part : parts)
                    split.push_back(part);
                continue;
            }
        }
        split.push_back(std::move(subject));
    }
    return split;
}

// Hands each pixel of the matte (m8) to the label of its nearest seed: a
// subject's label (1..), or `dropped`. Fills `result`'s owner and kept matte.
void handOut(const cv::Mat& m8, const cv::Mat& seeds, const cv::Mat& seedLabel, uchar dropped,
             InstanceMask& result)
{
    result.owner = cv::Mat::zeros(m8.size(), CV_8UC1);
    result.matte = cv::Mat::zeros(m8.size(), CV_8UC1);
    if (cv::countNonZero(seeds) == 0 || result.count == 0)
        return;
    cv::Mat distance, nearest;
    cv::distanceTransform(seeds == 0, distance, nearest, cv::DIST_L2, cv::DIST_MASK_5,
                          cv::DIST_LABEL_PIXEL);
    // Label of each seed pixel, by the index distanceTransform gave it.
    std::vector<uchar> labelOfSeed(1, 0);
    for (int y = 0; y < seeds.rows; ++y) {
        const uchar* s = seeds.ptr<uchar>(y);
        const int* idx = nearest.ptr<int>(y);
        const uchar* l = seedLabel.ptr<uchar>(y);
        for (int x = 0; x < seeds.cols; ++x) {
            if (!s[x])
                continue;
            if (size_t(idx[x]) >= labelOfSeed.size())
                labelOfSeed.resize(size_t(idx[x]) + 1, dropped);
            labelOfSeed[size_t(idx[x])] = l[x];
        }
    }
    for (int y = 0; y < seeds.rows; ++y) {
        const uchar* m = m8.ptr<uchar>(y);
        const int* idx = nearest.ptr<int>(y);
        uchar* owner = result.owner.ptr<uchar>(y);
        uchar* kept = result.matte.ptr<uchar>(y);
        for (int x = 0; x < seeds.cols; ++x) {
            if (!m[x])
                continue;
            const size_t i = size_t(idx[x]);
            const uchar label = i < labelOfSeed.size() ? labelOfSeed[i] : dropped;
            if (label == dropped || label == 0)
                continue;
            owner[x] = label;
            kept[x] = m[x];
        }
    }
}

} // namespace

cv::Size MatteSplit::workingSize(QSize imageSize)
{
    const int shorter = std::min(imageSize.width(), imageSize.height());
    if (shorter <= 1024)
        return cv::Size(imageSize.width(), imageSize.height());
    const double scale = 1024.0 / shorter;
    return cv::Size(std::max(1, cvRound(imageSize.width() * scale)),
                    std::max(1, cvRound(imageSize.height() * scale)));
}

MatteSplit::Result MatteSplit::split(const cv::Mat& matte, const cv::Mat& rgb)
{
    CV_Assert(matte.type() == CV_32FC1);
    Result result;
    cv::Mat m8;
    matte.convertTo(m8, CV_8U, 255.0);
    const cv::Mat support = m8 >= supportLevel;
    const Pieces pieces(m8 >= coreThreshold);
    const int n = pieces.count;
    const int minArea = std::max(16, int(speckShare * matte.total()));
    const int reach = std::max(2, int(gapShare * std::max(matte.cols, matte.rows)));

    // The connected part of the faint matte each piece lies in.
    cv::Mat faintAreas;
    const int faintCount = cv::connectedComponents(support, faintAreas, 8, CV_32S);
    std::vector<int> faintAreaOf(size_t(n), 0);
    for (int i = 1; i < n; ++i)
        faintAreaOf[size_t(i)] = pieces.at(faintAreas, i);
    DisjointSets sets = joinFragments(m8, pieces, faintAreaOf, reach);

    // Subjects: groups whose total area is not a speck's.
    std::vector<int> groupArea(size_t(n), 0);
    for (int i = 1; i < n; ++i)
        groupArea[size_t(sets.find(i))] += pieces.area(i);
    std::vector<cv::Mat> subjects;
    std::vector<int> groupOf(size_t(n), -1);
    for (int i = 1; i < n; ++i) {
        const int root = sets.find(i);
        if (groupArea[size_t(root)] < minArea)
            continue;
        if (groupOf[size_t(root)] < 0) {
            groupOf[size_t(root)] = int(subjects.size());
            subjects.emplace_back(cv::Mat::zeros(matte.size(), CV_8UC1));
        }
        groupOf[size_t(i)] = groupOf[size_t(root)];
    }
    cv::Mat specks = cv::Mat::zeros(matte.size(), CV_8UC1);
    for (int y = 0; y < pieces.labels.rows; ++y) {
        const int* p = pieces.labels.ptr<int>(y);
        for (int x = 0; x < pieces.labels.cols; ++x) {
            if (p[x] <= 0)
                continue;
            if (groupOf[size_t(p[x])] >= 0)
                subjects[size_t(groupOf[size_t(p[x])])].at<uchar>(y, x) = 255;
            else
                specks.at<uchar>(y, x) = 255;
        }
    }
    if (!rgb.empty() && !subjects.empty())
        subjects = splitTouchingPeople(std::move(subjects), support, rgb, result.report);

    // Number subjects by size, largest first. Labels are bytes, and 255
    // marks what is dropped: past the last label the smallest subjects
    // share it, so none of them is lost from the matte.
    std::vector<std::pair<int, size_t>> sized;
    for (size_t s = 0; s < subjects.size(); ++s)
        sized.emplace_back(cv::countNonZero(subjects[s]), s);
    std::sort(sized.begin(), sized.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    result.count = std::min(int(sized.size()), maxSubjects);

    // Seeds: the subjects' confident pixels with their labels, and what is
    // dropped (255): specks, and faint areas of the matte that hold no
    // subject (a haze, a shadow, a thing the network was unsure of). Their
    // soft surroundings go with them, so no subject's mask carries the ghost
    // of something that stands apart from it. Confident pixels a split left
    // on the border between two people are not seeds: they go to the nearer
    // person like soft pixels.
    constexpr uchar dropped = 255;
    static_assert(maxSubjects < dropped, "a subject's label is never the dropped mark");
    cv::Mat seedLabel(matte.size(), CV_8UC1, cv::Scalar(dropped));
    for (size_t rank = 0; rank < sized.size(); ++rank)
        seedLabel.setTo(uchar(std::min(int(rank) + 1, maxSubjects)), subjects[sized[rank].second]);
    cv::Mat seeds = specks.clone();
    for (const cv::Mat& subject : subjects)
        seeds |= subject;
    std::vector<uchar> holdsSubject(size_t(faintCount), 0);
    for (int i = 1; i < n; ++i) {
        if (groupOf[size_t(i)] >= 0)
            holdsSubject[size_t(faintAreaOf[size_t(i)])] = 1;
    }
    for (int y = 0; y < seeds.rows; ++y) {
        const int* a = faintAreas.ptr<int>(y);
        uchar* s = seeds.ptr<uchar>(y);
        for (int x = 0; x < seeds.cols; ++x) {
            if (a[x] > 0 && !holdsSubject[size_t(a[x])])
                s[x] = 255;
        }
    }
    handOut(m8, seeds, seedLabel, dropped, result);
    result.labels = result.owner.clone();
    result.labels.setTo(0, result.matte < labelThreshold);
    return result;
}
