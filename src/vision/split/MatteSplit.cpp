#include "MatteSplit.h"

#include "DisjointSets.h"
#include "FaceSearch.h"

#include <algorithm>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

namespace {

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

// For each piece, the pieces at least `ratio` times its size that the matte
// links it to at the highest level from `sure` down to `linked` (several
// when they were already linked to each other above that level). The matte
// is flooded downwards from the sure pieces one level at a time; where two
// flooded regions meet, each piece of one learns the level at which it
// reaches the pieces of the other.
class LinkedPieces final
{
public:
    LinkedPieces(const cv::Mat& m8, const cv::Mat& pieces, const cv::Mat& stats,
                 const SubjectTuning& tuning)
        : m_stats(stats), m_w(m8.cols), m_h(m8.rows), m_ratio(tuning.split.linkedRatio),
          m_hosts(size_t(std::max(stats.rows, 1))), m_regions(size_t(stats.rows)),
          m_parent(size_t(m_w) * size_t(m_h), -1), m_regionAt(size_t(m_w) * size_t(m_h), 0),
          m_levels(size_t(tuning.levels.sure))
    {
        if (stats.rows <= 2)
            return;
        layPieces(m8, pieces, tuning.levels.linked);
        for (int level = tuning.levels.sure - 1; level >= tuning.levels.linked; --level) {
            for (int i : m_levels[size_t(level)])
                flood(i);
        }
    }

    std::vector<std::vector<int>> hosts() && { return std::move(m_hosts); }

private:
    struct Region
    {
        std::vector<int> pieces;
        std::vector<int> waiting; // pieces that have not reached a host yet
        int largest = 0;          // area of the largest piece
    };

    int areaOf(int i) const { return m_stats.at<int>(i, cv::CC_STAT_AREA); }

    // Sure pixels point at their piece's first pixel, the root of its
    // region; the others wait for their level.
    void layPieces(const cv::Mat& m8, const cv::Mat& pieces, int linked)
    {
        std::vector<int> first(size_t(m_stats.rows), -1);
        for (int y = 0; y < m_h; ++y) {
            const int* p = pieces.ptr<int>(y);
            const uchar* m = m8.ptr<uchar>(y);
            for (int x = 0; x < m_w; ++x) {
                const int i = y * m_w + x;
                if (p[x] > 0) {
                    int& root = first[size_t(p[x])];
                    if (root < 0) {
                        root = i;
                        m_regionAt[size_t(i)] = p[x];
                        m_regions[size_t(p[x])] = {{p[x]}, {p[x]}, areaOf(p[x])};
                    }
                    m_parent[size_t(i)] = root;
                } else if (m[x] >= linked) {
                    m_levels[m[x]].push_back(i);
                }
            }
        }
    }

    int find(int i)
    {
        while (m_parent[size_t(i)] != i)
            i = m_parent[size_t(i)] = m_parent[size_t(m_parent[size_t(i)])];
        return i;
    }

    // Pixel i joins the flooded neighbours it touches.
    void flood(int i)
    {
        m_parent[size_t(i)] = i;
        const int x = i % m_w, y = i / m_w;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= m_w || ny >= m_h)
                    continue;
                const int j = ny * m_w + nx;
                if (m_parent[size_t(j)] >= 0)
                    join(find(i), find(j));
            }
        }
    }

    void join(int a, int b)
    {
        if (a == b)
            return;
        int ra = m_regionAt[size_t(a)], rb = m_regionAt[size_t(b)];
        if (ra > 0 && rb > 0) {
            settle(m_regions[size_t(ra)], m_regions[size_t(rb)]);
            settle(m_regions[size_t(rb)], m_regions[size_t(ra)]);
            // The smaller list goes into the larger.
            if (m_regions[size_t(ra)].pieces.size() < m_regions[size_t(rb)].pieces.size()) {
                std::swap(a, b);
                std::swap(ra, rb);
            }
            Region& into = m_regions[size_t(ra)];
            Region& from = m_regions[size_t(rb)];
            into.pieces.insert(into.pieces.end(), from.pieces.begin(), from.pieces.end());
            into.waiting.insert(into.waiting.end(), from.waiting.begin(), from.waiting.end());
            into.largest = std::max(into.largest, from.largest);
            from = Region();
        } else if (rb > 0) {
            std::swap(a, b);
            std::swap(ra, rb);
        }
        m_parent[size_t(b)] = a;
        m_regionAt[size_t(a)] = ra;
    }

    // Pieces of `from` reach their hosts in `to`.
    void settle(Region& from, const Region& to)
    {
        std::vector<int> still;
        for (int piece : from.waiting) {
            const double needed = m_ratio * areaOf(piece);
            if (to.largest < needed) {
                still.push_back(piece);
                continue;
            }
            for (int other : to.pieces) {
                if (areaOf(other) >= needed)
                    m_hosts[size_t(piece)].push_back(other);
            }
        }
        from.waiting = std::move(still);
    }

    const cv::Mat& m_stats;
    const int m_w, m_h;
    const double m_ratio;
    std::vector<std::vector<int>> m_hosts;
    std::vector<Region> m_regions;
    std::vector<int> m_parent;   // -1: not flooded yet
    std::vector<int> m_regionAt; // at roots: region, 0 none
    std::vector<std::vector<int>> m_levels;
};

// Tries to split `subject` (a CV_8U mask of one subject's sure pixels)
// between the people whose faces it holds. Returns one mask per person, or
// nothing when the split does not measure up.
std::vector<cv::Mat> splitPeople(const cv::Mat& subject, const cv::Mat& support, const cv::Mat& rgb,
                                 const std::vector<cv::Rect>& faces,
                                 const SubjectTuning::Split& tuning)
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
        if (partArea < tuning.personShare * area)
            return {};
        cv::Mat labels, stats, centroids;
        const int n = cv::connectedComponentsWithStats(part, labels, stats, centroids, 8);
        int largest = 0;
        for (int i = 1; i < n; ++i)
            largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
        if (largest < tuning.personWhole * partArea)
            return {};
        parts.push_back(part);
    }
    return parts;
}

// The connected pieces of the sure matte.
struct Pieces
{
    explicit Pieces(const cv::Mat& sure)
    {
        cv::Mat centroids;
        count = cv::connectedComponentsWithStats(sure, labels, stats, centroids, 8, CV_32S);
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

// Whether a piece `ratio` times the size of the one at `rank` (by
// size) may lie within `reach` of it: not when there is none that large, nor
// when the few there are stand farther off, box to box. Speeds up images of
// many equal fragments (dust, noise) without changing what is joined.
bool mayHaveHostNear(const Pieces& pieces, const std::vector<int>& bySize, size_t rank, int reach,
                     double ratio)
{
    constexpr size_t fewHosts = 64;
    const int i = bySize[rank];
    const cv::Rect box = pieces.box(i);
    for (size_t r = 0; r < rank; ++r) {
        const int j = bySize[r];
        if (pieces.area(j) < ratio * pieces.area(i))
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
                           const std::vector<int>& faintAreaOf, int reach,
                           const SubjectTuning& tuning)
{
    std::vector<int> bySize(size_t(std::max(0, pieces.count - 1)));
    std::iota(bySize.begin(), bySize.end(), 1);
    std::sort(bySize.begin(), bySize.end(),
              [&](int a, int b) { return pieces.area(a) > pieces.area(b); });
    std::vector<size_t> rankOf(size_t(std::max(pieces.count, 1)), 0);
    for (size_t rank = 0; rank < bySize.size(); ++rank)
        rankOf[size_t(bySize[rank])] = rank;
    const double ratio = tuning.split.fragmentRatio;
    const std::vector<std::vector<int>> linked =
        LinkedPieces(m8, pieces.labels, pieces.stats, tuning).hosts();
    DisjointSets sets(pieces.count);
    for (size_t rank = 1; rank < bySize.size(); ++rank) {
        const int i = bySize[rank];
        const std::vector<int>& hosts = linked[size_t(i)];
        int host = 0;
        if (!hosts.empty()) {
            host = hosts.size() == 1 ? hosts.front() : nearestHost(pieces, i, hosts);
        } else if (mayHaveHostNear(pieces, bySize, rank, reach, ratio)) {
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
                if (distance <= best && pieces.area(j) >= ratio * pieces.area(i) &&
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
                                         const cv::Mat& rgb, const SubjectTuning::Split& tuning,
                                         MatteSplit::Report& report)
{
    std::optional<FaceSearch> search;
    const double minPeopleArea = tuning.peopleShare * double(support.total());
    std::vector<cv::Mat> split;
    for (cv::Mat& subject : subjects) {
        const cv::Rect box = cv::boundingRect(subject);
        std::vector<cv::Rect> faces;
        if (double(box.area()) >= minPeopleArea) {
            if (!search)
                search.emplace(rgb, tuning);
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
            std::vector<cv::Mat> parts = splitPeople(subject, support, rgb, inside, tuning);
            if (!parts.empty()) {
                ++report.splitsKept;
                // Sure pixels the split left on a border go to the
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
    const int side = SubjectTuning{}.split.workingSide;
    const int shorter = std::min(imageSize.width(), imageSize.height());
    if (shorter <= side)
        return cv::Size(imageSize.width(), imageSize.height());
    const double scale = double(side) / shorter;
    return cv::Size(std::max(1, cvRound(imageSize.width() * scale)),
                    std::max(1, cvRound(imageSize.height() * scale)));
}

namespace {

// The sure pieces grouped into subjects (each a CV_8UC1 mask), and the
// pieces of groups too small to be anything (specks), with each piece's
// subject (-1 for a speck's).
struct Groups
{
    std::vector<cv::Mat> subjects;
    cv::Mat specks;
    std::vector<int> subjectOf;
};

Groups group(const Pieces& pieces, DisjointSets& sets, int minArea)
{
    const int n = pieces.count;
    const cv::Size size = pieces.labels.size();
    std::vector<int> groupArea(size_t(n), 0);
    for (int i = 1; i < n; ++i)
        groupArea[size_t(sets.find(i))] += pieces.area(i);
    Groups g;
    g.subjectOf.assign(size_t(n), -1);
    for (int i = 1; i < n; ++i) {
        const int root = sets.find(i);
        if (groupArea[size_t(root)] < minArea)
            continue;
        if (g.subjectOf[size_t(root)] < 0) {
            g.subjectOf[size_t(root)] = int(g.subjects.size());
            g.subjects.emplace_back(cv::Mat::zeros(size, CV_8UC1));
        }
        g.subjectOf[size_t(i)] = g.subjectOf[size_t(root)];
    }
    g.specks = cv::Mat::zeros(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        const int* p = pieces.labels.ptr<int>(y);
        for (int x = 0; x < size.width; ++x) {
            if (p[x] <= 0)
                continue;
            if (g.subjectOf[size_t(p[x])] >= 0)
                g.subjects[size_t(g.subjectOf[size_t(p[x])])].at<uchar>(y, x) = 255;
            else
                g.specks.at<uchar>(y, x) = 255;
        }
    }
    return g;
}

// Each subject's label by size, largest first. Labels are bytes, and
// `dropped` marks what is dropped: past the last label the smallest subjects
// share it, so none of them is lost from the matte.
cv::Mat labelBySize(const std::vector<cv::Mat>& subjects, cv::Size size, uchar dropped)
{
    std::vector<std::pair<int, size_t>> sized;
    for (size_t s = 0; s < subjects.size(); ++s)
        sized.emplace_back(cv::countNonZero(subjects[s]), s);
    std::sort(sized.begin(), sized.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    cv::Mat seedLabel(size, CV_8UC1, cv::Scalar(dropped));
    for (size_t rank = 0; rank < sized.size(); ++rank)
        seedLabel.setTo(uchar(std::min(int(rank) + 1, MatteSplit::maxSubjects)),
                        subjects[sized[rank].second]);
    return seedLabel;
}

// Where the soft matte is handed out from: the subjects' sure pixels, and
// what is dropped: specks, and faint areas of the matte that hold no subject
// (a haze, a shadow, a thing the network was unsure of). Their soft
// surroundings go with them, so no subject's mask carries the ghost of
// something that stands apart from it. Sure pixels a split left on the
// border between two people are not seeds: they go to the nearer person
// like soft pixels.
cv::Mat seedsOf(const Groups& g, const cv::Mat& faintAreas, int faintCount,
                const std::vector<int>& faintAreaOf)
{
    cv::Mat seeds = g.specks.clone();
    for (const cv::Mat& subject : g.subjects)
        seeds |= subject;
    std::vector<uchar> holdsSubject(size_t(faintCount), 0);
    for (size_t i = 1; i < g.subjectOf.size(); ++i) {
        if (g.subjectOf[i] >= 0)
            holdsSubject[size_t(faintAreaOf[i])] = 1;
    }
    for (int y = 0; y < seeds.rows; ++y) {
        const int* a = faintAreas.ptr<int>(y);
        uchar* s = seeds.ptr<uchar>(y);
        for (int x = 0; x < seeds.cols; ++x) {
            if (a[x] > 0 && !holdsSubject[size_t(a[x])])
                s[x] = 255;
        }
    }
    return seeds;
}

} // namespace

MatteSplit::Result MatteSplit::split(const cv::Mat& matte, const cv::Mat& rgb,
                                     const SubjectTuning& tuning)
{
    CV_Assert(matte.type() == CV_32FC1);
    Result result;
    result.shownLevel = tuning.levels.shown;
    result.maxLift = tuning.maxLift;
    cv::Mat m8;
    matte.convertTo(m8, CV_8U, 255.0);
    const cv::Mat support = m8 >= tuning.levels.faint;
    const Pieces pieces(m8 >= tuning.levels.sure);
    const int n = pieces.count;
    const int minArea = std::max(tuning.minArea, int(tuning.speckShare * matte.total()));
    const int reach = std::max(2, int(tuning.split.gapShare * std::max(matte.cols, matte.rows)));

    // The connected part of the faint matte each piece lies in.
    cv::Mat faintAreas;
    const int faintCount = cv::connectedComponents(support, faintAreas, 8, CV_32S);
    std::vector<int> faintAreaOf(size_t(n), 0);
    for (int i = 1; i < n; ++i)
        faintAreaOf[size_t(i)] = pieces.at(faintAreas, i);
    DisjointSets sets = joinFragments(m8, pieces, faintAreaOf, reach, tuning);
    Groups groups = group(pieces, sets, minArea);
    if (!rgb.empty() && !groups.subjects.empty())
        groups.subjects = splitTouchingPeople(std::move(groups.subjects), support, rgb,
                                              tuning.split, result.report);

    constexpr uchar dropped = InstanceMask::maxLabel;
    static_assert(maxSubjects < dropped, "a subject's label is never the dropped mark");
    result.count = std::min(int(groups.subjects.size()), maxSubjects);
    const cv::Mat seedLabel = labelBySize(groups.subjects, matte.size(), dropped);
    handOut(m8, seedsOf(groups, faintAreas, faintCount, faintAreaOf), seedLabel, dropped, result);
    result.labels = result.owner.clone();
    result.labels.setTo(0, result.matte < tuning.levels.shown);
    return result;
}
