#pragma once

#include <opencv2/core.hpp>
#include <vector>

// cv::resize with INTER_AREA for a reduction whose source arrives in tiles,
// so that the source never has to exist whole in the averaging format. The
// result is the same, value for value, as one cv::resize over the whole
// source: an integer ratio is reduced tile by tile by cv::resize itself
// (each result pixel comes from one block of whole source pixels), any
// other ratio with OpenCV's weights and float arithmetic, row by row.
class AreaAverager final
{
public:
    // `dst` is the result, allocated at the target size with the type the
    // tiles will have (8- or 16-bit unsigned, 1 to 4 channels); neither side
    // larger than the source's. It is written as the tiles arrive.
    AreaAverager(cv::Size source, cv::Mat dst);

    // The tile size for about `elements` values per tile (never less than
    // one block of an integer ratio).
    cv::Size tileSize(size_t elements) const;

    // The source tile with its top left corner at (x, y). Tiles come in
    // bands from the top, left to right within a band; all tiles of a band
    // are tileSize().height high (the last band may be lower) and all but a
    // band's last are tileSize().width wide.
    void add(const cv::Mat& tile, int x, int y);

private:
    struct Weight
    {
        int si;
        int di;
        float alpha;
    };
    static std::vector<Weight> weights(int sourceSize, int targetSize, int channels, double scale);

    template <typename T>
    void accumulate(const cv::Mat& tile, int x, int y);
    template <typename T, int Channels>
    void sumRows(const cv::Mat& tile, int x);
    template <typename T>
    void finishRows(int y, int rows);

    cv::Size m_source;
    cv::Mat m_dst;
    bool m_integerRatio = false;
    int m_scaleX = 1;
    int m_scaleY = 1;
    // Non-integer ratios: the weights along each axis, the horizontal sums
    // of the current band's rows, the vertical sum of the current result row.
    std::vector<Weight> m_xtab;
    std::vector<Weight> m_ytab;
    std::vector<float> m_rowSums;
    std::vector<float> m_sum;
    size_t m_nextWeight = 0;
    int m_pendingRow = 0;
};
