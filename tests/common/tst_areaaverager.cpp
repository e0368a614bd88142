#include "AreaAverager.h"
#include "AreaDownscale.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

// The tiled reduction must give exactly what one cv::resize over the whole
// image gives: the existing reduction's pixels, without its full-size copies.
class TestAreaAverager final : public QObject
{
    Q_OBJECT

    static cv::Mat noise(cv::Size size, int type, unsigned seed)
    {
        cv::Mat m(size, type);
        cv::RNG rng(seed);
        rng.fill(m, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_8U ? 256 : 65536);
        return m;
    }

    static int differing(const cv::Mat& a, const cv::Mat& b)
    {
        cv::Mat diff;
        cv::absdiff(a.reshape(1), b.reshape(1), diff);
        return cv::countNonZero(diff);
    }

private slots:
    void tilesGiveWhatOneResizeGives_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("target");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("tileElements");
        // Odd ratios take the weighted path, whole ratios cv::resize's own
        // block path; tiles from a few pixels to whole bands.
        QTest::newRow("odd ratio, 16-bit RGBA, small tiles")
            << QSize(1001, 733) << QSize(256, 187) << int(CV_16UC4) << 1000;
        QTest::newRow("barely reduced, 16-bit grey")
            << QSize(2561, 2561) << QSize(2560, 2560) << int(CV_16UC1) << 50000;
        QTest::newRow("one axis unchanged, 8-bit RGB")
            << QSize(5000, 3) << QSize(2560, 2) << int(CV_8UC3) << 700;
        QTest::newRow("whole ratio 3, 16-bit RGBA, narrow tiles")
            << QSize(7680, 99) << QSize(2560, 33) << int(CV_16UC4) << 200;
        QTest::newRow("whole ratios 6 x 5, 8-bit grey")
            << QSize(1536, 500) << QSize(256, 100) << int(CV_8UC1) << 777;
    }

    void tilesGiveWhatOneResizeGives()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, target);
        QFETCH(int, type);
        QFETCH(int, tileElements);
        const cv::Mat src = noise(cv::Size(source.width(), source.height()), type, 7);
        cv::Mat expected;
        cv::resize(src, expected, cv::Size(target.width(), target.height()), 0, 0, cv::INTER_AREA);

        cv::Mat got(expected.size(), type, cv::Scalar::all(1));
        AreaAverager averager(src.size(), got);
        const cv::Size tile = averager.tileSize(size_t(tileElements));
        for (int y = 0; y < src.rows; y += tile.height) {
            for (int x = 0; x < src.cols; x += tile.width) {
                const cv::Rect r(x, y, std::min(tile.width, src.cols - x),
                                 std::min(tile.height, src.rows - y));
                averager.add(src(r).clone(), x, y);
            }
        }
        QCOMPARE(differing(got, expected), 0);
    }

    void straightAlphaReducedAsBeforeWithoutCopies()
    {
        // ARGB32 is averaged as premultiplied 16-bit: tile by tile now, from
        // one full-size premultiplied copy before. Same values either way.
        QImage in(3333, 1111, QImage::Format_ARGB32);
        noise(cv::Size(3333, 1111), CV_8UC4, 11)
            .copyTo(cv::Mat(1111, 3333, CV_8UC4, in.bits(), size_t(in.bytesPerLine())));
        const QImage got = AreaDownscale::scaled(in, QSize(2560, 853));
        QCOMPARE(got.format(), QImage::Format_RGBA64_Premultiplied);

        const QImage straight = in.convertToFormat(QImage::Format_RGBA64);
        cv::Mat full(straight.height(), straight.width(), CV_16UC4);
        for (int y = 0; y < full.rows; ++y) {
            const quint16* s = reinterpret_cast<const quint16*>(straight.constScanLine(y));
            ushort* d = full.ptr<ushort>(y);
            for (int i = 0; i < full.cols * 4; i += 4) {
                for (int c = 0; c < 3; ++c)
                    d[i + c] = ushort((quint32(s[i + c]) * s[i + 3] + 32767u) / 65535u);
                d[i + 3] = s[i + 3];
            }
        }
        cv::Mat expected;
        cv::resize(full, expected, cv::Size(2560, 853), 0, 0, cv::INTER_AREA);
        const cv::Mat view(got.height(), got.width(), CV_16UC4, const_cast<uchar*>(got.constBits()),
                           size_t(got.bytesPerLine()));
        QCOMPARE(differing(view, expected), 0);
    }
};

QTEST_GUILESS_MAIN(TestAreaAverager)
#include "tst_areaaverager.moc"
