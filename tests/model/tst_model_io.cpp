#include "ImageOffer.h"
#include "ModelDoubles.h"

#include <QClipboard>
#include <QColorSpace>
#include <QGuiApplication>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

// Counts the outcomes background jobs hand back to `model`.
struct HandedBack final : QObject
{
    int count = 0;
    explicit HandedBack(QObject* model) { model->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::MetaCall;
        return false;
    }
};

// Image intake and PNG export of the editor model.
class TestModelIo final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ModelRig> rig;
    VantelModel* m = nullptr;
    const QString unreadable = QStringLiteral("Couldn't read that image.");

    // The bytes a test names: a colour's name stands for a PNG of that
    // colour, "svg" for a drawing (a format Vantel does not read).
    static QByteArray bytes(const QString& content)
    {
        if (content == QLatin1String("svg"))
            return "<svg xmlns='http://www.w3.org/2000/svg' width='4' height='4'/>";
        return QColor::isValidColorName(content)
                   ? TestImages::encode(filled(QColor::fromString(content)), "png")
                   : content.toUtf8();
    }

    QUrl file(const QString& name, const QString& content)
    {
        TestImages::writeFile(m_dir.filePath(name), bytes(content));
        return QUrl::fromLocalFile(m_dir.filePath(name));
    }
    QUrl png(const QString& colour) { return file(colour + QStringLiteral(".png"), colour); }

    // Pixels and alpha equal (the PNG's colour-space tag aside).
    static bool samePixels(const QImage& a, const QImage& b)
    {
        QImage x = a.convertToFormat(QImage::Format_RGBA8888);
        x.setColorSpace(b.colorSpace());
        return x == b.convertToFormat(QImage::Format_RGBA8888);
    }

    QColor originalColour() const { return m->original()->pixelColor(1, 1); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void init()
    {
        rig = std::make_unique<ModelRig>();
        m = rig->model.get();
        // Subject 2 is faint: partial alpha must survive export.
        rig->vision.instanceResult->matte.setTo(20, rig->vision.instanceResult->owner == 2);
    }

    void openScalesAndReports()
    {
        QVERIFY(
            filled(Qt::blue, QSize(4000, 3000)).save(m_dir.filePath(QStringLiteral("big.jpg"))));
        rig->chooser.openAnswer = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("big.jpg")));
        m->chooseFile();
        QVERIFY(m->isOpening() && !m->isProcessing() && !m->original()); // decoding meanwhile
        rig->scheduler.releaseAll();
        QCOMPARE(m->original()->size(), QSize(2560, 1920));

        // A failing intake changes nothing but the error text.
        const int64_t job = m->job();
        m->open(file("broken.png", "not an image"));
        rig->scheduler.releaseAll();
        QVERIFY(!m->isOpening() && !m->isProcessing());
        QCOMPARE(m->errorMessage(), unreadable);
        QCOMPARE(m->job(), job);
        QCOMPARE(m->original()->size(), QSize(2560, 1920));
        m->open(QImage());
        QCOMPARE(m->job(), job);

        // Of two images opened in quick succession the later is kept, also
        // when the earlier was decoded before the later came; a successful
        // intake clears the error.
        m->open(png("red"));
        std::thread(rig->scheduler.pending.front().work).join(); // its outcome not yet delivered
        rig->scheduler.pending.pop_front();
        m->open(png("yellow"));
        QCoreApplication::processEvents();
        QVERIFY(m->isOpening() && m->original()->width() == 2560);
        rig->scheduler.releaseAll();
        QCOMPARE(originalColour(), QColor(Qt::yellow));
        QVERIFY(!m->errorMessage());
        // One superseded before its turn came is not decoded at all: its
        // job hands nothing back.
        m->open(png("red"));
        m->open(png("blue"));
        HandedBack handedBack(m);
        rig->scheduler.release(0);
        QCOMPARE(handedBack.count, 0);
        rig->scheduler.release(0);
        QCOMPARE(handedBack.count, 1);
        rig->scheduler.releaseAll();
        QCOMPARE(originalColour(), QColor(Qt::blue));
        // "New" drops an image still being decoded.
        m->open(png("red"));
        m->reset();
        rig->scheduler.releaseAll();
        QVERIFY(!m->original() && !m->isProcessing() && !m->isOpening());
    }

    void offersOpenTheirFirstImage_data()
    {
        // Dropped or pasted: the files (name=content, as file() makes them),
        // web addresses and image data (format=content) offered, and after
        // -> the colour opened or what is said.
        QTest::addColumn<QString>("offer");
        QTest::newRow("wrong extension") << "drop photo.txt=red -> red";
        QTest::newRow("a file that is no image") << "drop notes.txt=words -> unreadable";
        QTest::newRow("text is refused") << "drop text/plain=words -> refused";
        QTest::newRow("a browser's drag")
            << "drop https://example.com/cat.png image/png=magenta -> magenta";
        QTest::newRow("a file wins over data") << "paste file.png=red image/png=blue -> red";
        QTest::newRow("the first image by name or content")
            << "paste readme=words shot.xyzzy=green later.png=red -> green";
        QTest::newRow("an image's name on no image") << "paste liar.png=words -> unreadable";
        QTest::newRow("only files that are no image")
            << "paste notes=words notes.xyzzy=words drawing=svg -> no image";
        QTest::newRow("the first data that decodes")
            << "paste image/bmp=garbage image/png=yellow -> yellow";
        QTest::newRow("an empty clipboard") << "paste -> no image";
    }

    void offersOpenTheirFirstImage()
    {
        QFETCH(QString, offer);
        const QStringList items = offer.section(QStringLiteral(" -> "), 0, 0).split(' ');
        const QString outcome = offer.section(QStringLiteral(" -> "), 1);
        auto data = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& item : items.mid(1)) {
            const QString name = item.section('=', 0, 0);
            if (name.startsWith(QLatin1String("https:")))
                urls << QUrl(name);
            else if (name.contains('/'))
                data->setData(name, bytes(item.section('=', 1)));
            else
                urls << file(name, item.section('=', 1));
        }
        data->setUrls(urls);
        bool taken = true;
        if (items[0] == QLatin1String("drop")) {
            taken = m->handleDrop(ImageOffer::read(data.get()));
            data.reset(); // the drag's data dies with the drop
        } else {
            QGuiApplication::clipboard()->setMimeData(data.release());
            m->paste();
        }
        QVERIFY(!m->original()); // opened on a later turn, after the answer
        rig->scheduler.releaseAll();
        QCOMPARE(taken, outcome != QLatin1String("refused"));
        const QHash<QString, QString> said{{"unreadable", unreadable},
                                           {"no image", "No image found on the clipboard."},
                                           {"refused", ""}};
        QCOMPARE(m->original() ? originalColour().name() : m->errorMessage().value_or(QString()),
                 said.value(outcome, QColor::fromString(outcome).name()));
    }

    void exportsOnePngOrKeepsTheOldFile()
    {
        m->open(filled(Qt::red, QSize(2560, 1920))); // some 20 kB as a PNG
        rig->scheduler.releaseAll();
        m->tap({0.75, 0.9}); // the faint subject alone
        rig->scheduler.releaseAll();
        auto saveAs = [&](const QString& name) {
            rig->chooser.saveAnswer = QUrl::fromLocalFile(m_dir.filePath(name));
            m->savePNG();
        };
        auto contents = [&](const QString& name) {
            QFile file(m_dir.filePath(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        m->savePNG(); // cancelled
        QVERIFY(!m->statusMessage() && !m->errorMessage());

        // A copy is one PNG with the result's partial alpha.
        m->copyPNG();
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("image/png")});
        QVERIFY(
            samePixels(QImage::fromData(data->data(QStringLiteral("image/png"))), *m->result()));
        QCOMPARE(m->result()->pixelColor(1920, 1800).alpha(), 20);
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Copied to clipboard")));

        // The disk fills up halfway: the file being replaced stays intact.
        const QByteArray old(300, 'k');
        QVERIFY(TestImages::writeFile(m_dir.filePath(QStringLiteral("keep.png")), old));
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit tiny{4096, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &tiny);
        saveAs(QStringLiteral("keep.png"));
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(m->errorMessage(), QStringLiteral("File too large"));
        QCOMPARE(contents(QStringLiteral("keep.png")), old);
        QCOMPARE(
            QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("keep")),
            QStringList{QStringLiteral("keep.png")}); // no leftovers

        // A link where the file goes is replaced, never written through.
        const QString victim = m_dir.filePath(QStringLiteral("victim.txt"));
        QVERIFY(TestImages::writeFile(victim, "precious"));
        QVERIFY(QFile::link(victim, m_dir.filePath(QStringLiteral("link.png"))));
        saveAs(QStringLiteral("link.png"));
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Saved link.png")));
        QCOMPARE(contents(QStringLiteral("victim.txt")), QByteArray("precious"));
        QVERIFY(!QFileInfo(m_dir.filePath(QStringLiteral("link.png"))).isSymLink());

        // ".png" added to a name without it.
        saveAs(QStringLiteral("portrait"));
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Saved portrait.png")));
        QVERIFY(samePixels(QImage(m_dir.filePath(QStringLiteral("portrait.png"))), *m->result()));
    }
};

QTEST_MAIN(TestModelIo)
#include "tst_model_io.moc"
