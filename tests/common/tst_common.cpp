#include "AllocatorTuning.h"

#include <QFile>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

// The heap tuning for image-sized blocks. Sanitizer builds bring their own
// allocator, which it does not reach.
class TestCommon final : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("the sanitizer's allocator replaces the C library's heap");
#endif
        tuneAllocatorForLargeImages();
    }

    // A result-sized block freed and allocated again must come back already
    // mapped: fresh pages cost a fault each, several times the work of a
    // composite on some machines.
    void imageSizedBlocksAreReused()
    {
        const size_t size = size_t(2560) * 1920 * 4;
        rusage before{}, after{};
        for (int round = 0; round < 2; ++round) {
            getrusage(RUSAGE_SELF, &before);
            char* block = static_cast<char*>(std::malloc(size));
            QVERIFY(block);
            std::memset(block, round, size);
            std::free(block);
        }
        getrusage(RUSAGE_SELF, &after);
        const long faults = after.ru_minflt - before.ru_minflt;
        QVERIFY2(faults < 100, qPrintable(QString::number(faults)));
    }

    // 120 touched 1 MiB blocks, all freed but the last, which pins the top
    // of the heap so the freed space sits between blocks in use.
    void freedHeapMemoryGoesBackOnRequest()
    {
        auto residentMiB = [] {
            QFile statm(QStringLiteral("/proc/self/statm"));
            if (!statm.open(QIODevice::ReadOnly))
                return -1.0;
            return statm.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) /
                   (1 << 20);
        };
        std::vector<char*> blocks;
        for (int i = 0; i < 120; ++i) {
            blocks.push_back(static_cast<char*>(std::malloc(size_t(1) << 20)));
            QVERIFY(blocks.back());
            std::memset(blocks.back(), 1, size_t(1) << 20);
        }
        for (size_t i = 0; i + 1 < blocks.size(); ++i)
            std::free(blocks[i]);
        const double before = residentMiB();
        releaseFreedMemory();
        const double after = residentMiB();
        std::free(blocks.back());
        QVERIFY2(before - after > 80,
                 qPrintable(QStringLiteral("%1 -> %2 MiB").arg(before).arg(after)));
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"
