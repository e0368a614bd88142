#include "ModelDoubles.h"
#include "OwnMask.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <random>

// The editor model's state and jobs, driven by a vision double and a
// scheduler whose jobs the test releases in any order.
class TestModelJobs final : public QObject
{
    Q_OBJECT

    using Rig = ModelRig;

    // Which subjects the current mask keeps: 1 for the left, 2 for the right.
    static QString kept(const VantelModel& m)
    {
        if (!m.baseMask())
            return QStringLiteral("none");
        return QString(m.baseMask()->at<uchar>(25, 5) ? "1" : "") +
               (m.baseMask()->at<uchar>(25, 35) ? "2" : "");
    }

private slots:
    void processingJobAppliesOnlyWhenCurrent()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        m.open(filled(Qt::red));
        QVERIFY(m.isProcessing() && m.original() && !m.result());
        QCOMPARE(rig.scheduler.count(), size_t(1));

        // A new image while the first is analysed: the first job's outcome
        // must vanish, whichever order they finish in.
        m.open(filled(Qt::blue));
        rig.scheduler.release(0); // the red job
        QVERIFY(m.isProcessing() && !m.analysis() && !m.result());
        rig.scheduler.release(0); // the blue job
        QVERIFY(!m.isProcessing() && m.canSelect());
        QCOMPARE(m.analysis()->cg.pixelColor(0, 0), QColor(Qt::blue));
        QCOMPARE(m.result()->pixelColor(5, 25), QColor(Qt::blue));

        // Reversed: the newer job finishes first, the older later.
        m.open(filled(Qt::green));
        m.open(filled(Qt::yellow));
        rig.scheduler.release(1);
        const auto applied = m.analysis();
        QCOMPARE(applied->cg.pixelColor(0, 0), QColor(Qt::yellow));
        rig.scheduler.release(0);
        QCOMPARE(m.analysis(), applied);

        // "New" during a job: nothing of it is ever announced.
        m.open(filled());
        m.reset();
        QSignalSpy changed(&m, &VantelModel::changed);
        rig.scheduler.releaseAll();
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m.original() && !m.analysis() && !m.result());
    }

    void failureKeepsTheSourceAndShowsTheText()
    {
        Rig rig;
        rig.vision.instanceResult.reset(); // nothing found
        VantelModel& m = *rig.model;
        rig.ready();
        QVERIFY(!m.isProcessing() && m.original());
        QVERIFY(!m.result() && !m.analysis() && !m.canSelect());
        QCOMPARE(m.errorMessage(),
                 std::optional(QStringLiteral("No subject was found in this image.")));

        // A service's own error text reaches the user unchanged; a stale
        // failure shows nothing.
        rig.vision.error = VantelError::platform(QStringLiteral("Vision broke."));
        m.open(filled());
        m.open(filled());
        rig.scheduler.release(0);
        QVERIFY(!m.errorMessage());
        rig.scheduler.release(0);
        QCOMPARE(m.errorMessage(), std::optional(QStringLiteral("Vision broke.")));
    }

    void clicksSelectSwitchAndDeselect()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        const QPointF left(0.25, 0.9), right(0.75, 0.9), background(0.5, 0.05);

        m.tap(right);
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("2"));

        m.tap(background); // label 0: nothing, also while selected
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
        QCOMPARE(rig.scheduler.count(), size_t(0));

        m.tap(left); // switch to 1
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(1));
        m.tap(left); // the kept subject again: all come back
        QVERIFY(!m.selectedInstance());
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("12"));

        // Far off the image still reads the nearest edge of the map.
        m.tap(QPointF(7.0, 99.0));
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
    }

    // Shift+click adds a subject to what is kept or takes a kept one away;
    // a plain click keeps one again.
    void shiftClicksKeepSeveralSubjects()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        const QPointF left(0.25, 0.9), right(0.75, 0.9);
        m.tap(right);
        m.tap(left, true);
        QVERIFY(!m.selectedInstance());
        QCOMPARE(m.selection().subjects, InstanceSet({1, 2}));
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("12"));
        m.tap(right, true);
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(1));
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("1"));
        m.tap(left, true); // the last one taken away: all subjects
        QVERIFY(m.selection().keepsAll());
        m.tap(left, true);
        m.tap(right, true);
        m.tap(right);
        QCOMPARE(m.selection().subjects, InstanceSet({2}));
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
    }

    // A click where its subject's mask is faint keeps what the network finds
    // under it when it looks again around the click, with the badge
    // meanwhile; once found, the same click is quick.
    void aClickKeepsWhatIsUnderIt()
    {
        Rig rig;
        InstanceMask subjects = twoSubjects(40, 30);
        subjects.matte(cv::Rect(0, 20, 10, 10)).setTo(0);
        subjects.info.resize(2);
        subjects.info[0].box = cv::Rect(0, 18, 14, 12);
        rig.vision.instanceResult = subjects;
        rig.vision.regionResult = cv::Mat::zeros(30, 40, CV_8UC1);
        rig.vision.regionResult(cv::Rect(0, 20, 10, 10)).setTo(255);
        VantelModel& m = *rig.model;
        rig.ready();
        const QPointF corner(0.1, 0.85);
        m.tap(corner);
        QVERIFY(m.isProcessing());
        rig.scheduler.releaseAll();
        QVERIFY(!m.isProcessing());
        QCOMPARE(int(m.baseMask()->at<uchar>(25, 5)), 255);
        QCOMPARE(int(m.baseMask()->at<uchar>(10, 5)), 0);
        QCOMPARE(rig.vision.regionsAsked.size(), size_t(1));
        m.tap(corner);
        m.tap(corner);
        QVERIFY(!m.isProcessing());
        rig.scheduler.releaseAll();
        QCOMPARE(rig.vision.regionsAsked.size(), size_t(1));
        QCOMPARE(int(m.baseMask()->at<uchar>(25, 5)), 255);
    }

    // A box runs the network over its part of the image and keeps what it
    // finds inside; each box is run over once per image, and Shift adds one
    // box to what is kept.
    void boxesKeepWhatTheNetworkFindsInThem()
    {
        Rig rig;
        rig.vision.regionResult = twoSubjects(40, 30).matte;
        VantelModel& m = *rig.model;
        rig.ready();
        QVERIFY(m.canDrawBox());
        const QRectF leftBox(0.0, 0.2, 0.45, 0.8), rightBox(0.55, 0.2, 0.45, 0.8);
        m.keepBox(leftBox);
        QVERIFY(m.isProcessing()); // a box pass takes a moment
        rig.scheduler.releaseAll();
        QVERIFY(!m.isProcessing());
        QCOMPARE(kept(m), QStringLiteral("1"));
        QCOMPARE(m.selection().count(), 1);
        QVERIFY(!m.selectedInstance());

        m.keepBox(rightBox, true);
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("12"));
        QCOMPARE(m.selection().count(), 2);
        QCOMPARE(rig.vision.regionsAsked.size(), size_t(2));

        // A click keeps a subject alone; the box again is quick now.
        m.tap({0.75, 0.9});
        rig.scheduler.releaseAll();
        m.keepBox(leftBox);
        QVERIFY(!m.isProcessing());
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("1"));
        QCOMPARE(rig.vision.regionsAsked.size(), size_t(2));

        // Only the newest boxes' masks are kept for the image: the first of
        // many is run over again, the last is not.
        for (int i = 0; i < 20; ++i) {
            m.keepBox(QRectF(0.01 * i, 0.2, 0.4, 0.7));
            rig.scheduler.releaseAll();
        }
        const size_t asked = rig.vision.regionsAsked.size();
        m.keepBox(QRectF(0.19, 0.2, 0.4, 0.7));
        rig.scheduler.releaseAll();
        QCOMPARE(rig.vision.regionsAsked.size(), asked);
        m.keepBox(QRectF(0.0, 0.2, 0.4, 0.7));
        rig.scheduler.releaseAll();
        QCOMPARE(rig.vision.regionsAsked.size(), asked + 1);

        // A box drawn backwards or past the edge is the same box, inside.
        m.keepBox(QRectF(0.45, 1.5, -0.45, -1.3));
        QCOMPARE(m.selection().boxes.front(), QRectF(0.0, 0.2, 0.45, 0.8));
        // A box of no size, or during an analysis, or after "New": nothing.
        m.keepBox(QRectF(0.5, 0.5, 0.0, 0.3));
        QCOMPARE(m.selection().boxes.front(), QRectF(0.0, 0.2, 0.45, 0.8));
        m.keepBox(rightBox);
        m.reset();
        rig.scheduler.releaseAll();
        QVERIFY(!m.baseMask());
        m.open(filled());
        QVERIFY(!m.canDrawBox());
        m.keepBox(leftBox);
        QVERIFY(m.selection().keepsAll());
    }

    // Without the segmentation network (people only) there is nothing to
    // run over a box; a failed box pass leaves the shown result.
    void boxesThatCannotRun()
    {
        Rig rig;
        rig.vision.available = false;
        rig.vision.personResult = cv::Mat(30, 40, CV_8UC1, cv::Scalar(255));
        rig.ready();
        QVERIFY(!rig.model->canDrawBox());
        rig.model->keepBox(QRectF(0, 0, 0.5, 0.5));
        QVERIFY(rig.model->selection().keepsAll());

        Rig failing;
        failing.ready();
        const QImage before = *failing.model->result();
        failing.vision.error = VantelError::platform(QStringLiteral("pass failed"));
        failing.model->keepBox(QRectF(0, 0, 0.5, 0.5));
        failing.scheduler.releaseAll();
        QVERIFY(!failing.model->isProcessing());
        QCOMPARE(*failing.model->result(), before);
    }

    void aSubjectStillToBeCutShowsTheBadgeUntilItIsCut()
    {
        Rig rig;
        // Subject 2 has a mask of its own, cut the first time it is asked for.
        InstanceMask subjects = twoSubjects(40, 30);
        subjects.info.resize(2);
        OwnMask::Hints hints;
        hints.rgb = cv::Mat(30, 20, CV_8UC3, cv::Scalar(40, 40, 200));
        hints.box = cv::Rect(2, 8, 16, 20);
        hints.rgb(hints.box).setTo(cv::Scalar(200, 40, 40));
        subjects.info[1].own = std::make_shared<const OwnMask>(hints, cv::Rect(20, 0, 20, 30));
        rig.vision.instanceResult = subjects;
        VantelModel& m = *rig.model;
        rig.ready();
        const QPointF left(0.25, 0.9), right(0.75, 0.9);

        m.tap(right);
        QVERIFY(m.isProcessing());
        rig.scheduler.releaseAll();
        QVERIFY(!m.isProcessing());
        QCOMPARE(kept(m), QStringLiteral("2"));

        // Once cut it is quick; a subject of the matte always was. A quick
        // pick made while a cut runs takes the badge down when it lands.
        m.tap(left);
        QVERIFY(!m.isProcessing());
        m.tap(right);
        QVERIFY(!m.isProcessing());
        rig.scheduler.releaseAll();
        QCOMPARE(kept(m), QStringLiteral("2"));
    }

    void clicksThatDoNothing()
    {
        // One subject, no label map, or an analysis still running.
        for (int kind = 0; kind < 3; ++kind) {
            Rig rig;
            if (kind == 0)
                rig.vision.instanceResult->count = 1;
            if (kind == 1)
                rig.vision.instanceResult->labels = cv::Mat();
            rig.model->tap({0.75, 0.9}); // before any image
            kind < 2 ? rig.ready() : rig.model->open(filled());
            rig.model->tap({0.75, 0.9});
            QVERIFY(!rig.model->selectedInstance());
            QVERIFY(!rig.model->canSelect());
            QCOMPARE(rig.scheduler.count(), size_t(kind < 2 ? 0 : 1));
        }
    }

    void onlyTheCurrentSelectionsMaskApplies()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        m.tap({0.75, 0.9});       // 2
        m.tap({0.25, 0.9});       // 1
        rig.scheduler.release(1); // the mask of 1 first
        QCOMPARE(kept(m), QStringLiteral("1"));
        rig.scheduler.release(0); // the older mask of 2 arrives last
        QCOMPARE(kept(m), QStringLiteral("1"));

        // A mask job never applies after "New".
        m.tap({0.75, 0.9});
        m.reset();
        rig.scheduler.releaseAll();
        QVERIFY(!m.baseMask() && !m.result());
    }

    void settingsRecompositeOnEveryAssignment()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        QSignalSpy results(&m, &VantelModel::resultChanged);
        // Before the first result they are only stored.
        m.setFeather(7);
        m.setBackground(BackgroundChoice::white);
        QCOMPARE(results.count(), 0);
        rig.ready(QColor(255, 0, 0));
        QCOMPARE(m.result()->pixelColor(0, 0), QColor(Qt::white)); // used at once
        // The same value again still recomposites, and observers read the
        // new value in their slot.
        results.clear();
        double seen = -1;
        connect(&m, &VantelModel::featherChanged, this, [&] { seen = m.feather(); });
        m.setBackground(BackgroundChoice::white);
        QCOMPARE(results.count(), 1);
        m.setFeather(7);
        QCOMPARE(seen, 7.0);
        m.setCustomColor(m.customColor());
        QCOMPARE(results.count(), 3);

        m.setBackground(BackgroundChoice::custom);
        m.setCustomColor(QColor(0, 0, 255));
        QCOMPARE(m.result()->pixelColor(0, 0), QColor(0, 0, 255));
        m.setCustomColor(QColor()); // no sRGB form: transparent
        QCOMPARE(m.result()->pixelColor(0, 0).alpha(), 0);
        // Settings survive "New".
        m.reset();
        QCOMPARE(m.feather(), 7.0);
        QCOMPARE(m.background(), BackgroundChoice(BackgroundChoice::custom));
    }

    void statusTextsClearThemselvesAfterTwoSeconds()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        QSignalSpy status(&m, &VantelModel::statusMessageChanged);
        QElapsedTimer clock;

        // Cleared 2 s after it was shown: a coarse timer may fire up to 5%
        // early.
        clock.start();
        m.copyPNG();
        QCOMPARE(m.statusMessage(), std::optional(QStringLiteral("Copied to clipboard")));
        status.clear();
        QVERIFY(status.wait(3000));
        QVERIFY(!m.statusMessage());
        QVERIFY2(clock.elapsed() >= 1995 && clock.elapsed() < 2700,
                 qPrintable(QString::number(clock.elapsed())));

        // "A", then "B" before A's time is up: A's timer leaves B alone.
        QTemporaryDir dir;
        rig.chooser.saveAnswer = QUrl::fromLocalFile(dir.filePath(QStringLiteral("Vantel.png")));
        m.copyPNG();
        QTimer::singleShot(500, &m, [&] {
            m.savePNG();
            clock.restart();
        });
        QTRY_COMPARE(m.statusMessage(), std::optional(QStringLiteral("Saved Vantel.png")));
        status.clear();
        QVERIFY(status.wait(3000));
        QVERIFY(!m.statusMessage());
        QVERIFY2(clock.elapsed() >= 1995, qPrintable(QString::number(clock.elapsed())));
    }

    void randomOperationsKeepTheInvariants()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        // Which job number every applied analysis and mask was made under.
        std::map<const void*, int64_t> madeUnder;
        std::mt19937 rng(20261206);
        auto pick = [&](int n) {
            return int(rng() % unsigned(n));
        };
        const QColor colours[] = {Qt::red, Qt::green, Qt::blue};

        for (int step = 0; step < 4000; ++step) {
            const int op = pick(9);
            if (op == 0) {
                m.open(filled(colours[pick(3)]));
            } else if (op == 1 && pick(4) == 0) {
                m.reset();
            } else if (op == 2) {
                m.tap(QPointF(pick(100) / 100.0, pick(100) / 100.0));
            } else if (op == 3) {
                m.setFeather(pick(21));
            } else if (op == 4) {
                m.setBackground(BackgroundChoice::allCases()[size_t(pick(4))]);
            } else if (op == 5 && pick(3) == 0) {
                m.setSelectedInstance(std::nullopt);
                m.remask();
            } else if (op >= 6 && rig.scheduler.count()) {
                const size_t i = size_t(pick(int(rig.scheduler.count())));
                const int64_t under = rig.scheduler.pending[i].jobAtSchedule;
                const auto beforeAnalysis = m.analysis();
                const uchar* beforeMask = m.baseMask() ? m.baseMask()->data : nullptr;
                rig.scheduler.release(i);
                if (m.analysis() && m.analysis() != beforeAnalysis)
                    madeUnder[m.analysis().get()] = under;
                if (m.baseMask() && m.baseMask()->data != beforeMask)
                    madeUnder[m.baseMask()->data] = under;
            }
            // Nothing stale is ever applied.
            if (m.analysis())
                QCOMPARE(madeUnder.at(m.analysis().get()), m.job());
            if (m.baseMask())
                QCOMPARE(madeUnder.at(m.baseMask()->data), m.job());
            if (m.isProcessing())
                QVERIFY(!m.analysis() && !m.baseMask() && !m.result());
            if (m.canSelect())
                QVERIFY(m.analysis() && m.analysis()->labels &&
                        m.analysis()->instances.size() >= 2);
            if (m.result())
                QVERIFY(m.original() && m.baseMask());
        }
    }
};

QTEST_MAIN(TestModelJobs)
#include "tst_model_jobs.moc"
