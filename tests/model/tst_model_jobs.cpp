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

    static constexpr QPointF left{0.25, 0.9}, right{0.75, 0.9};
    std::unique_ptr<ModelRig> rig;
    VantelModel* m = nullptr;

    void settle() { rig->scheduler.releaseAll(); }

    // Which subjects the current mask keeps: 1 for the left, 2 for the right.
    QString kept() const
    {
        if (!m->baseMask())
            return QStringLiteral("none");
        return QString(m->baseMask()->at<uchar>(25, 5) ? "1" : "") +
               (m->baseMask()->at<uchar>(25, 35) ? "2" : "");
    }

private slots:
    void init()
    {
        rig = std::make_unique<ModelRig>();
        m = rig->model.get();
    }

    // An analysis, a failure or a mask applies only while its image (and,
    // for a mask, its selection) is the current one: one landing after a
    // newer one, or after "New", is dropped unseen. A failure keeps the
    // source and shows the service's own text.
    void staleResultsAreDroppedFailuresKeepTheSource()
    {
        m->open(filled(Qt::red));
        m->open(filled(Qt::blue));
        QVERIFY(m->isProcessing() && m->original() && !m->result());
        rig->scheduler.release(1); // the newer first
        QVERIFY(!m->isProcessing() && m->canSelect());
        const auto applied = m->analysis();
        rig->scheduler.release(0);
        QCOMPARE(m->analysis(), applied);
        QCOMPARE(m->result()->pixelColor(5, 25), QColor(Qt::blue));
        // Two quick clicks: the older mask, landing last, is not shown.
        m->tap(right);
        m->tap(left);
        rig->scheduler.release(1);
        rig->scheduler.release(0);
        QCOMPARE(kept(), QStringLiteral("1"));

        rig->vision.error = VantelError::platform(QStringLiteral("Vision broke."));
        m->open(filled());
        m->open(filled());
        rig->scheduler.release(0);
        QVERIFY(!m->errorMessage());
        rig->scheduler.release(0);
        QCOMPARE(m->errorMessage(), std::optional(QStringLiteral("Vision broke.")));
        QVERIFY(!m->isProcessing() && m->original() && !m->result() && !m->canSelect());
        rig->vision.error.reset();
        rig->vision.instanceResult.reset(); // nothing found
        rig->ready();
        QCOMPARE(m->errorMessage(),
                 std::optional(QStringLiteral("No subject was found in this image.")));

        m->open(filled());
        m->reset();
        QSignalSpy changed(m, &VantelModel::changed);
        settle();
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m->original() && !m->analysis());
    }

    void clicksSelect_data()
    {
        // L and R: a click on the left or right subject, + with Shift; B on
        // the background, F far off the image (the nearest edge of the map).
        QTest::addColumn<QString>("taps");
        QTest::addColumn<int>("selected"); // the subjects kept as digits, 0 for all
        QTest::newRow("one") << "R" << 2;
        QTest::newRow("background does nothing") << "R B" << 2;
        QTest::newRow("switch") << "R L" << 1;
        QTest::newRow("the kept one again: all") << "R L L" << 0;
        QTest::newRow("far off the image") << "F" << 2;
        QTest::newRow("shift adds") << "R L+" << 12;
        QTest::newRow("shift takes away") << "R L+ R+" << 1;
        QTest::newRow("shift takes the last away: all") << "L+ L+" << 0;
        QTest::newRow("a plain click keeps one again") << "L+ R+ R" << 2;
    }

    void clicksSelect()
    {
        QFETCH(QString, taps);
        QFETCH(int, selected);
        rig->ready();
        const std::map<QChar, QPointF> at{
            {'L', left}, {'R', right}, {'B', {0.5, 0.05}}, {'F', {7.0, 99.0}}};
        for (const QString& tap : taps.split(QLatin1Char(' ')))
            m->tap(at.at(tap[0]), tap.endsWith(QLatin1Char('+')));
        int subjects = 0;
        for (int64_t label : m->selection().subjects)
            subjects = subjects * 10 + int(label);
        QCOMPARE(subjects, selected);
        QCOMPARE(m->selectedInstance().has_value(), selected > 0 && selected < 10);
        settle();
        QCOMPARE(kept(), QString::number(selected ? selected : 12));
    }

    void picksThatDoNothing_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("one subject") << 0;
        QTest::newRow("people only") << 1; // nothing to run over a box
    }

    void picksThatDoNothing()
    {
        QFETCH(int, kind);
        if (kind == 0)
            rig->vision.instanceResult->count = 1;
        rig->vision.available = kind != 1;
        rig->vision.personResult = cv::Mat(30, 40, CV_8UC1, cv::Scalar(255));
        m->tap(right); // before any image
        rig->ready();
        m->tap(right);
        if (kind == 1)
            m->keepBox(QRectF(0, 0, 0.5, 0.5));
        QVERIFY(m->selection().keepsAll() && !m->canSelect());
        QCOMPARE(rig->scheduler.count(), size_t(0));
    }

    // A pick that takes a moment shows the badge until its mask lands; once
    // made, it is quick. A click where its subject's mask is faint keeps
    // what the network finds under it when it looks again around the click;
    // a subject with a mask of its own has it cut the first time it is kept.
    void slowPicksShowTheBadgeOnce()
    {
        InstanceMask subjects = twoSubjects(40, 30);
        subjects.info.resize(2);
        subjects.matte(cv::Rect(0, 20, 10, 10)).setTo(0);
        subjects.info[0].box = cv::Rect(0, 18, 14, 12);
        rig->vision.regionResult = cv::Mat::zeros(30, 40, CV_8UC1);
        rig->vision.regionResult(cv::Rect(0, 20, 10, 10)).setTo(255);
        OwnMask::Hints hints;
        hints.rgb = cv::Mat(30, 20, CV_8UC3, cv::Scalar(40, 40, 200));
        hints.box = cv::Rect(2, 8, 16, 20);
        hints.rgb(hints.box).setTo(cv::Scalar(200, 40, 40));
        subjects.info[1].own = std::make_shared<const OwnMask>(hints, cv::Rect(20, 0, 20, 30));
        rig->vision.instanceResult = subjects;
        rig->ready();
        const QPointF corner(0.1, 0.85);
        for (int again = 0; again < 2; ++again) {
            m->tap(corner);
            QCOMPARE(m->isProcessing(), !again);
            settle();
            QVERIFY(!m->isProcessing());
            QCOMPARE(int(m->baseMask()->at<uchar>(25, 5)), 255);
            QCOMPARE(int(m->baseMask()->at<uchar>(10, 5)), 0); // not the rest of subject 1
            m->tap(right);
            QCOMPARE(m->isProcessing(), !again);
            settle();
            QVERIFY(!m->isProcessing());
            QCOMPARE(kept(), QStringLiteral("2"));
        }
        QCOMPARE(rig->vision.regionsAsked.size(), size_t(1));
    }

    // A box runs the network over its part of the image and keeps what it
    // finds inside; each box is run over once per image, and Shift adds one
    // box to what is kept.
    void boxesKeepWhatTheNetworkFindsInThem()
    {
        rig->vision.regionResult = twoSubjects(40, 30).matte;
        rig->ready();
        // How many passes of the network keeping `box` took, -1 when the
        // badge did not show just while one ran.
        auto passes = [&](const QRectF& box, bool add = false) {
            const size_t before = rig->vision.regionsAsked.size();
            m->keepBox(box, add);
            const bool badge = m->isProcessing();
            settle();
            const int ran = int(rig->vision.regionsAsked.size() - before);
            return badge == (ran > 0) && !m->isProcessing() ? ran : -1;
        };
        const QRectF leftBox(0.0, 0.2, 0.45, 0.8), rightBox(0.55, 0.2, 0.45, 0.8);
        QCOMPARE(passes(leftBox), 1);
        QCOMPARE(kept(), QStringLiteral("1"));
        QCOMPARE(passes(rightBox, true), 1);
        QCOMPARE(kept(), QStringLiteral("12"));
        // A click keeps a subject alone; the box again is quick now.
        m->tap(right);
        settle();
        QCOMPARE(passes(leftBox), 0);
        QCOMPARE(kept(), QStringLiteral("1"));

        // Only the newest boxes' masks are kept for the image: the first of
        // many is run over again, the last is not.
        for (int i = 0; i < 20; ++i)
            passes(QRectF(0.01 * i, 0.2, 0.4, 0.7));
        QCOMPARE(passes(QRectF(0.19, 0.2, 0.4, 0.7)), 0);
        QCOMPARE(passes(QRectF(0.0, 0.2, 0.4, 0.7)), 1);

        // A box drawn backwards or past the edge is the same box, inside; a
        // box of no size does nothing.
        m->keepBox(QRectF(0.45, 1.5, -0.45, -1.3));
        m->keepBox(QRectF(0.5, 0.5, 0.0, 0.3));
        QCOMPARE(m->selection().boxes, std::vector{QRectF(0.0, 0.2, 0.45, 0.8)});

        // A failed box pass takes the badge down and leaves the shown result.
        settle();
        const QImage shown = *m->result();
        rig->vision.error = VantelError::platform(QStringLiteral("pass failed"));
        m->keepBox(rightBox);
        settle();
        QVERIFY(!m->isProcessing() && *m->result() == shown);
    }

    void settingsRecompositeOnEveryAssignment()
    {
        QSignalSpy results(m, &VantelModel::resultChanged);
        // Before the first result they are only stored, then used at once.
        m->setFeather(7);
        m->setBackground(BackgroundChoice::white);
        QCOMPARE(results.count(), 0);
        rig->ready();
        QCOMPARE(m->result()->pixelColor(0, 0), QColor(Qt::white));

        // The same value again still recomposites.
        results.clear();
        m->setBackground(BackgroundChoice::white);
        m->setFeather(7);
        m->setCustomColor(m->customColor());
        QCOMPARE(results.count(), 3);

        m->setBackground(BackgroundChoice::custom);
        m->setCustomColor(QColor(0, 0, 255));
        QCOMPARE(m->result()->pixelColor(0, 0), QColor(0, 0, 255));
        m->setCustomColor(QColor()); // no sRGB form: transparent
        QCOMPARE(m->result()->pixelColor(0, 0).alpha(), 0);
        // Settings survive "New".
        m->reset();
        QCOMPARE(m->feather(), 7.0);
        QCOMPARE(m->background(), BackgroundChoice(BackgroundChoice::custom));
    }

    // Cleared 2 s after it was shown (a coarse timer may fire up to 5%
    // early); "A", then "B" before A's time is up: A's timer leaves B alone.
    void statusTextsClearThemselvesAfterTwoSeconds()
    {
        rig->ready();
        QTemporaryDir dir;
        rig->chooser.saveAnswer = QUrl::fromLocalFile(dir.filePath(QStringLiteral("Vantel.png")));
        m->copyPNG();
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Copied to clipboard")));
        QElapsedTimer clock;
        QTimer::singleShot(500, m, [&] {
            m->savePNG();
            clock.start();
        });
        QTRY_COMPARE(m->statusMessage(), std::optional(QStringLiteral("Saved Vantel.png")));
        QSignalSpy status(m, &VantelModel::statusMessageChanged);
        QVERIFY(status.wait(3000));
        QVERIFY(!m->statusMessage());
        QVERIFY2(clock.elapsed() >= 1995 && clock.elapsed() < 2700,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void randomOperationsKeepTheInvariants()
    {
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
                m->open(filled(colours[pick(3)]));
            } else if (op == 1 && pick(4) == 0) {
                m->reset();
            } else if (op == 2) {
                m->tap(QPointF(pick(100) / 100.0, pick(100) / 100.0));
            } else if (op == 3 || op == 4) {
                m->setFeather(pick(21));
                m->setBackground(BackgroundChoice::allCases()[size_t(pick(4))]);
            } else if (op == 5 && pick(3) == 0) {
                m->setSelectedInstance(std::nullopt);
                m->remask();
            } else if (op >= 6 && rig->scheduler.count()) {
                const size_t i = size_t(pick(int(rig->scheduler.count())));
                const int64_t under = rig->scheduler.pending[i].jobAtSchedule;
                const auto beforeAnalysis = m->analysis();
                const uchar* beforeMask = m->baseMask() ? m->baseMask()->data : nullptr;
                rig->scheduler.release(i);
                if (m->analysis() && m->analysis() != beforeAnalysis)
                    madeUnder[m->analysis().get()] = under;
                if (m->baseMask() && m->baseMask()->data != beforeMask)
                    madeUnder[m->baseMask()->data] = under;
            }
            // Nothing stale is ever applied.
            if (m->analysis())
                QCOMPARE(madeUnder.at(m->analysis().get()), m->job());
            if (m->baseMask())
                QCOMPARE(madeUnder.at(m->baseMask()->data), m->job());
            if (m->isProcessing())
                QVERIFY(!m->analysis() && !m->baseMask() && !m->result());
            if (m->canSelect())
                QVERIFY(m->analysis() && m->analysis()->labels &&
                        m->analysis()->instances.size() >= 2);
            if (m->result())
                QVERIFY(m->original() && m->baseMask());
        }
    }
};

QTEST_MAIN(TestModelJobs)
#include "tst_model_jobs.moc"
