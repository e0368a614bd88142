#include "ModelDoubles.h"
#include "VantelModel.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <random>

// The editor model's state and jobs, driven by a vision double and a
// scheduler whose jobs the test releases in any order.
class TestModelJobs final : public QObject
{
    Q_OBJECT

    struct Rig
    {
        FakeVision vision;
        StepScheduler scheduler;
        std::unique_ptr<VantelModel> model;
        std::shared_ptr<FakeObservation> observation = twoSubjects(40, 30);

        Rig()
        {
            vision.instanceResults = {observation};
            model = std::make_unique<VantelModel>(VantelModel::Dependencies{&vision, &scheduler});
            scheduler.currentJob = [this] {
                return model->job();
            };
        }
        // Loads an image and finishes its analysis.
        void ready(QColor colour = Qt::red)
        {
            model->open(image(colour));
            scheduler.releaseAll();
        }
    };

    static QImage image(QColor colour = Qt::red, QSize size = QSize(40, 30))
    {
        QImage img(size, QImage::Format_RGBA8888);
        img.fill(colour);
        return img;
    }

    static int maskValue(const VantelModel& m)
    {
        return m.baseMask() ? m.baseMask()->at<uchar>(0, 0) : -1;
    }

private slots:
    void startsEmpty()
    {
        Rig rig;
        const VantelModel& m = *rig.model;
        QVERIFY(!m.original() && !m.result() && !m.analysis() && !m.baseMask());
        QVERIFY(!m.showOriginal() && !m.isProcessing() && !m.canSelect());
        QVERIFY(!m.errorMessage() && !m.statusMessage() && !m.selectedInstance());
        QCOMPARE(m.feather(), 0.0);
        QCOMPARE(m.background(), BackgroundChoice(BackgroundChoice::transparent));
        QCOMPARE(m.customColor(), QColor(52, 199, 89));
        QCOMPARE(m.job(), 0);
        QVERIFY(m.usesTransparency());
    }

    void processingJobAppliesOnlyWhenCurrent()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        m.open(image(Qt::red));
        QVERIFY(m.isProcessing());
        QVERIFY(m.original() && !m.result());
        QCOMPARE(rig.scheduler.count(), size_t(1));

        // A new image while the first is analysed: the first job's outcome
        // must vanish, whichever order they finish in.
        m.open(image(Qt::blue));
        rig.scheduler.release(0); // the red job
        QVERIFY(m.isProcessing());
        QVERIFY(!m.analysis() && !m.result());
        QCOMPARE(m.original()->pixelColor(0, 0), QColor(Qt::blue));
        rig.scheduler.release(0); // the blue job
        QVERIFY(!m.isProcessing());
        QVERIFY(m.analysis() && m.result() && m.baseMask());
        QVERIFY(m.canSelect());
        QCOMPARE(m.analysis()->cg.pixelColor(0, 0), QColor(Qt::blue));
        QCOMPARE(m.result()->pixelColor(0, 0), QColor(Qt::blue)); // mask 255, clear background

        // Reversed: the newer job finishes first, the older later.
        m.open(image(Qt::green));
        m.open(image(Qt::yellow));
        rig.scheduler.release(1);
        QCOMPARE(m.analysis()->cg.pixelColor(0, 0), QColor(Qt::yellow));
        const auto applied = m.analysis();
        rig.scheduler.release(0);
        QCOMPARE(m.analysis(), applied);
        QVERIFY(!m.isProcessing());
    }

    void newDuringAJobReturnsAtOnceAndStaysEmpty()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        m.open(image());
        m.reset();
        QVERIFY(!m.isProcessing() && !m.original());
        QSignalSpy changed(&m, &VantelModel::changed);
        rig.scheduler.releaseAll();
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m.original() && !m.analysis() && !m.result());
    }

    void failureKeepsTheSourceAndShowsTheText()
    {
        Rig rig;
        rig.vision.instanceResults.clear(); // nothing found
        VantelModel& m = *rig.model;
        m.open(image());
        rig.scheduler.releaseAll();
        QVERIFY(!m.isProcessing());
        QVERIFY(m.original());
        QVERIFY(!m.result() && !m.analysis() && !m.canSelect());
        QCOMPARE(m.errorMessage(),
                 std::optional(QStringLiteral("No subject was found in this image.")));

        // A service's own error text reaches the user unchanged; a stale
        // failure shows nothing.
        rig.vision.error = VantelError::platform(QStringLiteral("Vision broke."));
        m.open(image());
        m.open(image());
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

        m.tap(right); // subject 2
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
        QCOMPARE(rig.scheduler.count(), size_t(1));
        rig.scheduler.releaseAll();
        QCOMPARE(maskValue(m), 20);

        m.tap(background); // label 0: nothing, also while selected
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
        QCOMPARE(rig.scheduler.count(), size_t(0));

        m.tap(left); // switch to 1
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(1));
        m.tap(left); // the kept subject again: all come back
        QVERIFY(!m.selectedInstance());
        QCOMPARE(rig.scheduler.count(), size_t(2));
        rig.scheduler.releaseAll();
        QCOMPARE(maskValue(m), 255);

        // Far off the image still reads the nearest edge of the map.
        m.tap(QPointF(7.0, 99.0));
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
    }

    void clicksThatDoNothing()
    {
        {
            Rig rig; // one subject
            rig.observation->instances = {1};
            rig.ready();
            rig.model->tap({0.75, 0.9});
            QVERIFY(!rig.model->selectedInstance());
            QVERIFY(!rig.model->canSelect());
            QCOMPARE(rig.scheduler.count(), size_t(0));
        }
        {
            Rig rig; // no label map
            rig.observation->noMemory = true;
            rig.ready();
            rig.model->tap({0.75, 0.9});
            QVERIFY(!rig.model->selectedInstance());
            QVERIFY(!rig.model->canSelect());
        }
        {
            Rig rig; // while the analysis runs, or before any image
            rig.model->tap({0.75, 0.9});
            rig.model->open(image());
            rig.model->tap({0.75, 0.9});
            QVERIFY(!rig.model->selectedInstance());
            QCOMPARE(rig.scheduler.count(), size_t(1));
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
        QCOMPARE(maskValue(m), 10);
        rig.scheduler.release(0); // the older mask of 2 arrives last
        QCOMPARE(maskValue(m), 10);
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(1));

        // A mask job never applies after a new image or "New".
        m.tap({0.75, 0.9});
        m.reset();
        rig.scheduler.releaseAll();
        QVERIFY(!m.baseMask() && !m.result());
    }

    void failedMaskJobLeavesTheResult()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        const QImage before = *m.result();
        rig.observation->maskError = VantelError::platform(QStringLiteral("no mask"));
        QSignalSpy changed(&m, &VantelModel::changed);
        m.tap({0.75, 0.9});
        const int afterTap = changed.count();
        rig.scheduler.releaseAll();
        QCOMPARE(changed.count(), afterTap);
        QCOMPARE(*m.result(), before);
        QVERIFY(!m.errorMessage());
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(2));
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
        QCOMPARE(m.result()->pixelColor(0, 0).alpha(), 255); // used at once
        // The same value again still recomposites and announces.
        results.clear();
        QSignalSpy background(&m, &VantelModel::backgroundChanged);
        QSignalSpy changed(&m, &VantelModel::changed);
        m.setBackground(BackgroundChoice::white);
        QCOMPARE(background.count(), 1);
        QCOMPARE(results.count(), 1);
        QCOMPARE(changed.count(), 2);
        m.setFeather(7);
        m.setCustomColor(m.customColor());
        QCOMPARE(results.count(), 3);
        // Settings survive "New".
        m.reset();
        QCOMPARE(m.feather(), 7.0);
        QCOMPARE(m.background(), BackgroundChoice(BackgroundChoice::white));
    }

    void observersReadTheNewValue()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        double seen = -1;
        connect(&m, &VantelModel::featherChanged, this, [&] { seen = m.feather(); });
        m.setFeather(12.5);
        QCOMPARE(seen, 12.5);
        QCOMPARE(m.property("feather").toDouble(), 12.5);
        QVERIFY(m.setProperty("selectedInstance", QVariant::fromValue(qint64(3))));
        QCOMPARE(m.selectedInstance(), std::optional<int64_t>(3));
        QVERIFY(m.setProperty("selectedInstance", QVariant()));
        QVERIFY(!m.selectedInstance());
    }

    void backgroundColours()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready(QColor(10, 20, 30));
        auto colourAt = [&] {
            return m.result()->pixelColor(0, 0);
        };
        m.tap({0.75, 0.9});
        rig.scheduler.releaseAll(); // subject 2's mask reads 20 of 255
        m.setBackground(BackgroundChoice::black);
        QVERIFY(!m.usesTransparency());
        QCOMPARE(colourAt().alpha(), 255);
        m.setCustomColor(QColor(0, 0, 255));
        m.setBackground(BackgroundChoice::custom);
        QVERIFY(colourAt().blue() > 200);
        m.setCustomColor(QColor()); // no sRGB form: transparent
        QCOMPARE(colourAt().alpha(), 20);
    }

    void statusTextsClearThemselves()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        rig.ready();
        QElapsedTimer clock;

        // Twice, 1 s apart: cleared 2 s after the first, 1 s after the second.
        clock.start();
        m.copyPNG();
        QTest::qWait(1000);
        m.copyPNG();
        QCOMPARE(m.statusMessage(), std::optional(QStringLiteral("Copied to clipboard")));
        QTRY_VERIFY_WITH_TIMEOUT(!m.statusMessage(), 3000);
        QVERIFY2(clock.elapsed() >= 1950 && clock.elapsed() < 2700,
                 qPrintable(QString::number(clock.elapsed())));

        // "A", then "B" a second later: A's timer leaves B alone, and B
        // goes 2 s after it came.
        QTemporaryDir dir;
        FakeChooser chooser;
        chooser.saveAnswer = QUrl::fromLocalFile(dir.filePath(QStringLiteral("Vantel.png")));
        VantelModel saving(VantelModel::Dependencies{&rig.vision, &rig.scheduler, &chooser});
        saving.open(image());
        rig.scheduler.releaseAll();
        saving.copyPNG();
        QTest::qWait(1000);
        saving.savePNG();
        clock.restart();
        QCOMPARE(saving.statusMessage(), std::optional(QStringLiteral("Saved Vantel.png")));
        QTRY_VERIFY_WITH_TIMEOUT(!saving.statusMessage(), 3000);
        QVERIFY2(clock.elapsed() >= 1950, qPrintable(QString::number(clock.elapsed())));

        // A text, then a new image: cleared at once, and its timer later
        // finds nothing to clear.
        saving.copyPNG();
        QTest::qWait(500);
        saving.open(image());
        QVERIFY(!saving.statusMessage());
        QSignalSpy status(&saving, &VantelModel::statusMessageChanged);
        QTest::qWait(1800);
        QCOMPARE(status.count(), 0);
    }

    void destroyedModelIgnoresLateJobs()
    {
        // Quitting mid-analysis: the job outlives the model and must not
        // touch it when it ends.
        FakeVision vision;
        vision.instanceResults = {twoSubjects(40, 30)};
        StepScheduler scheduler;
        auto model = std::make_unique<VantelModel>(VantelModel::Dependencies{&vision, &scheduler});
        model->open(image());
        model.reset();
        scheduler.releaseAll(); // would crash (or ASan would say so) if it did
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
            switch (pick(9)) {
            case 0:
                m.open(image(colours[pick(3)]));
                break;
            case 1:
                if (pick(4) == 0)
                    m.reset();
                break;
            case 2:
                m.tap(QPointF(pick(100) / 100.0, pick(100) / 100.0));
                break;
            case 3:
                m.setFeather(pick(21));
                break;
            case 4:
                m.setBackground(BackgroundChoice::allCases()[size_t(pick(4))]);
                break;
            case 5:
                if (pick(3) == 0) {
                    m.setSelectedInstance(std::nullopt);
                    m.remask();
                }
                break;
            default:
                if (rig.scheduler.count()) {
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
