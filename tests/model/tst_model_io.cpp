#include "ImageOffer.h"
#include "ModelDoubles.h"

#include <QClipboard>
#include <QColorSpace>
#include <QGuiApplication>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

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
    FakeVision m_vision;
    StepScheduler m_scheduler;
    FakeChooser m_chooser;
    const std::optional<QString> unreadable = QStringLiteral("Couldn't read that image.");
    const std::optional<QString> noImage = QStringLiteral("No image found on the clipboard.");

    std::unique_ptr<VantelModel> makeModel()
    {
        // Subject 2 is faint: partial alpha must survive export.
        m_vision.instanceResult = twoSubjects(40, 30);
        m_vision.instanceResult->matte.setTo(20, m_vision.instanceResult->owner == 2);
        return std::make_unique<VantelModel>(
            VantelModel::Dependencies{&m_vision, &m_scheduler, &m_chooser});
    }

    QUrl file(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        TestImages::writeFile(path, bytes);
        return QUrl::fromLocalFile(path);
    }

    static QByteArray png(QColor colour) { return TestImages::encode(filled(colour), "png"); }

    // Files and image bytes (by format), as a drag or the clipboard offers them.
    static QMimeData* offer(const QList<QUrl>& urls, const QList<QPair<QString, QByteArray>>& data)
    {
        auto* mime = new QMimeData;
        if (!urls.isEmpty())
            mime->setUrls(urls);
        for (const auto& [format, bytes] : data)
            mime->setData(format, bytes);
        return mime;
    }

    // Pixels and alpha equal (the PNG's colour-space tag aside).
    static bool samePixels(const QImage& a, const QImage& b)
    {
        QImage x = a.convertToFormat(QImage::Format_RGBA8888);
        x.setColorSpace(b.colorSpace());
        return x == b.convertToFormat(QImage::Format_RGBA8888);
    }

    static QColor originalColour(const VantelModel& m) { return m.original()->pixelColor(1, 1); }

    // A model editing a red image with its result in place.
    std::unique_ptr<VantelModel> editing()
    {
        auto m = makeModel();
        m->open(file(QStringLiteral("red.png"), png(Qt::red)));
        m_scheduler.releaseAll();
        return m;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { m_scheduler.pending.clear(); }

    void openScalesAndReports()
    {
        auto m = makeModel();
        m->open(file(QStringLiteral("big.jpg"),
                     TestImages::encode(filled(Qt::blue, QSize(4000, 3000)), "jpeg")));
        QVERIFY(m->isOpening() && !m->isProcessing() &&
                !m->original()); // decoding in the background
        m_scheduler.releaseAll();
        QCOMPARE(m->original()->size(), QSize(2560, 1920));

        // A failing intake changes nothing but the error text.
        const int64_t job = m->job();
        const QImage result = *m->result();
        m->open(file(QStringLiteral("broken.png"), "not an image"));
        QVERIFY(m->isOpening());
        m_scheduler.releaseAll();
        QVERIFY(!m->isOpening() && !m->isProcessing());
        QCOMPARE(m->errorMessage(), unreadable);
        QCOMPARE(m->job(), job);
        QCOMPARE(*m->result(), result);
        QCOMPARE(m->original()->size(), QSize(2560, 1920));
        m->open(QImage());
        QCOMPARE(m->job(), job);

        // A file chosen in the open panel: a successful intake clears the error.
        m_chooser.openAnswer = file(QStringLiteral("ok.png"), png(Qt::green));
        m->chooseFile();
        m_scheduler.releaseAll();
        QVERIFY(!m->errorMessage());
        QCOMPARE(originalColour(*m), QColor(Qt::green));

        // Of two images opened in quick succession the later is kept,
        // whichever is decoded first; "New" drops both.
        m->open(file(QStringLiteral("first.png"), png(Qt::red)));
        m->open(file(QStringLiteral("second.png"), png(Qt::blue)));
        m_scheduler.release(1);
        m_scheduler.release(0);
        m_scheduler.releaseAll();
        QCOMPARE(originalColour(*m), QColor(Qt::blue));
        // One superseded before its turn came is not decoded at all: its
        // job hands nothing back.
        m->open(file(QStringLiteral("superseded.png"), png(Qt::red)));
        m->open(file(QStringLiteral("latest.png"), png(Qt::green)));
        HandedBack handedBack(m.get());
        m_scheduler.release(0);
        QCOMPARE(handedBack.count, 0);
        m_scheduler.release(0);
        QCOMPARE(handedBack.count, 1);
        m_scheduler.releaseAll();
        QCOMPARE(originalColour(*m), QColor(Qt::green));
        m->open(file(QStringLiteral("third.png"), png(Qt::red)));
        m->reset();
        m_scheduler.releaseAll();
        QVERIFY(!m->original() && !m->isProcessing() && !m->isOpening());
    }

    void nameThatIsNotUtf8()
    {
        // A file manager's URL carries the name's own bytes, percent-escaped.
        const QByteArray name = QFile::encodeName(m_dir.path()) + "/caf\xe9.png";
        const QByteArray bytes = png(Qt::magenta);
        QVERIFY(std::ofstream(name.constData()).write(bytes.constData(), bytes.size()).good());
        auto m = makeModel();
        m->open(QUrl::fromEncoded("file://" + name.toPercentEncoding("/")));
        m_scheduler.releaseAll();
        ::unlink(name.constData()); // Qt could not name it to remove it
        QVERIFY(!m->errorMessage());
        QCOMPARE(originalColour(*m), QColor(Qt::magenta));
    }

    void dropsTakeTheFirstUsableThing()
    {
        auto m = makeModel();
        auto drop = [&](QMimeData* data) {
            const ImageOffer read = ImageOffer::read(data);
            delete data; // the drag's data dies with the drop
            const bool taken = m->handleDrop(read);
            m_scheduler.releaseAll();
            return taken;
        };

        // Two files: only the first opens, after the drop has been answered.
        std::unique_ptr<QMimeData> two(offer({file(QStringLiteral("a.png"), png(Qt::red)),
                                              file(QStringLiteral("b.png"), png(Qt::blue))},
                                             {}));
        QVERIFY(m->handleDrop(ImageOffer::read(two.get())) && !m->original());
        two.reset();
        m_scheduler.releaseAll();
        QCOMPARE(originalColour(*m), QColor(Qt::red));

        // A non-image file: accepted, then reported.
        QVERIFY(drop(offer({file(QStringLiteral("notes.txt"), "hello")}, {})));
        QCOMPARE(m->errorMessage(), unreadable);
        QCOMPARE(originalColour(*m), QColor(Qt::red));

        // Plain text: refused, and no message.
        m->reset();
        auto* plain = new QMimeData;
        plain->setText(QStringLiteral("some words"));
        QVERIFY(!drop(plain));
        QVERIFY(!m->errorMessage() && !m->original());

        // A browser's drag: a web address with the image's bytes beside it.
        QVERIFY(drop(offer({QUrl(QStringLiteral("https://example.com/cat.png"))},
                           {{"image/png", png(Qt::magenta)}})));
        QCOMPARE(originalColour(*m), QColor(Qt::magenta));

        // Image bytes that are no image.
        QVERIFY(drop(offer({}, {{"image/png", "garbage"}})));
        QCOMPARE(m->errorMessage(), unreadable);
        QCOMPARE(originalColour(*m), QColor(Qt::magenta));

        // Nothing at all.
        QVERIFY(!m->handleDrop(ImageOffer()));
    }

    void pasteOrderOfTries()
    {
        auto m = makeModel();
        auto paste = [&](QMimeData* data) {
            QGuiApplication::clipboard()->setMimeData(data);
            m->paste();
            m_scheduler.releaseAll();
        };

        // A copied file wins over image data beside it.
        paste(offer({file(QStringLiteral("file.png"), png(Qt::red))},
                    {{"image/png", png(Qt::blue)}}));
        QCOMPARE(originalColour(*m), QColor(Qt::red));

        // Several files, only the second an image by its extension.
        paste(offer({file(QStringLiteral("readme.txt"), "text"),
                     file(QStringLiteral("second.png"), png(Qt::cyan))},
                    {}));
        QCOMPARE(originalColour(*m), QColor(Qt::cyan));

        // An image extension on a file that is no image: the read fails.
        paste(offer({file(QStringLiteral("liar.png"), "words")}, {}));
        QCOMPARE(m->errorMessage(), unreadable);

        // Only files that are no image, by name or content: no image found.
        paste(offer({file(QStringLiteral("notes"), "words"),
                     file(QStringLiteral("notes.xyzzy"), "more words")},
                    {}));
        QCOMPARE(m->errorMessage(), noImage);

        // Image data alone; the first format that decodes wins.
        paste(offer({}, {{"image/bmp", "not a bitmap"}, {"image/png", png(Qt::yellow)}}));
        QCOMPARE(originalColour(*m), QColor(Qt::yellow));
        QVERIFY(!m->errorMessage());

        // An empty clipboard while editing: the text, and nothing else changes.
        const QImage result = *m->result();
        QGuiApplication::clipboard()->clear();
        m->paste();
        QCOMPARE(m->errorMessage(), noImage);
        QCOMPARE(*m->result(), result);
        QCOMPARE(m_scheduler.count(), size_t(0));
    }

    void filesAreImagesByTheirContent()
    {
        // A photo saved without an extension, or under the wrong one, opens
        // by every way in: opened, dropped and pasted.
        auto m = makeModel();
        const QByteArray jpeg = TestImages::encode(filled(Qt::blue), "jpeg", 100);
        m_chooser.openAnswer = file(QStringLiteral("photo_noext"), jpeg);
        m->chooseFile();
        m_scheduler.releaseAll();
        QVERIFY(!m->errorMessage());
        QVERIFY(originalColour(*m).blue() > 245 &&
                originalColour(*m).red() < 10); // JPEG's rounding

        QVERIFY(m->handleDrop(ImageOffer::read(
            std::unique_ptr<QMimeData>(offer({file(QStringLiteral("photo.txt"), png(Qt::red))}, {}))
                .get())));
        m_scheduler.releaseAll();
        QCOMPARE(originalColour(*m), QColor(Qt::red));

        // On the clipboard the first file that is an image wins, whether
        // its name or its content says so.
        QGuiApplication::clipboard()->setMimeData(
            offer({file(QStringLiteral("readme"), "text"),
                   file(QStringLiteral("shot.xyzzy"), png(Qt::green)),
                   file(QStringLiteral("later.png"), png(Qt::red))},
                  {}));
        m->paste();
        m_scheduler.releaseAll();
        QVERIFY(!m->errorMessage());
        QCOMPARE(originalColour(*m), QColor(Qt::green));

        // Content in a format Vantel does not read is still no image.
        const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' width='4' height='4'/>";
        m->handleDrop(ImageOffer::read(
            std::unique_ptr<QMimeData>(offer({file(QStringLiteral("drawing"), svg)}, {})).get()));
        m_scheduler.releaseAll();
        QCOMPARE(m->errorMessage(), unreadable);
        QCOMPARE(originalColour(*m), QColor(Qt::green));
    }

    void copyPutsOnePngWithItsAlpha()
    {
        auto m = editing();
        m->tap({0.75, 0.9}); // the faint subject alone
        m_scheduler.releaseAll();
        // An earlier error survives a successful copy.
        QGuiApplication::clipboard()->clear();
        m->paste();
        QVERIFY(m->errorMessage());
        m->copyPNG();
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("image/png")});
        QVERIFY(samePixels(QImage::fromData(data->data(QStringLiteral("image/png")), "png"),
                           *m->result()));
        QCOMPARE(m->result()->pixelColor(35, 25).alpha(), 20); // partial alpha survives
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Copied to clipboard")));
        QVERIFY(m->errorMessage());
    }

    void saveWritesThePngOrKeepsTheOldFile()
    {
        auto m = editing();
        m_chooser.saveAnswer.reset();
        m->savePNG(); // cancelled
        QCOMPARE(m_chooser.proposed, QStringLiteral("Vantel.png"));
        QVERIFY(!m->statusMessage() && !m->errorMessage());
        // A folder that is not there.
        m_chooser.saveAnswer =
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("gone/Vantel.png")));
        m->savePNG();
        QVERIFY(m->errorMessage() && !m->errorMessage()->isEmpty());
        QVERIFY(!m->statusMessage());

        // The disk fills up halfway: the file being replaced stays intact.
        const QString target = m_dir.filePath(QStringLiteral("keep.png"));
        const QByteArray old(300, 'k');
        QVERIFY(TestImages::writeFile(target, old));
        m->open(filled(Qt::red, QSize(2560, 1920))); // some 20 kB even as one colour
        m_scheduler.releaseAll();
        m_chooser.saveAnswer = QUrl::fromLocalFile(target);
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit tiny{4096, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &tiny);
        m->savePNG();
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(m->errorMessage(), std::optional(QStringLiteral("File too large")));
        QVERIFY(!m->statusMessage());
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), old);
        QCOMPARE(
            QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("keep")),
            QStringList{QStringLiteral("keep.png")}); // no leftovers

        // A link where the file goes is replaced, never written through.
        const QString victim = m_dir.filePath(QStringLiteral("victim.txt"));
        QVERIFY(TestImages::writeFile(victim, "precious"));
        const QString link = m_dir.filePath(QStringLiteral("link.png"));
        QVERIFY(QFile::link(victim, link));
        m_chooser.saveAnswer = QUrl::fromLocalFile(link);
        m->savePNG();
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Saved link.png")));
        QFile untouched(victim);
        QVERIFY(untouched.open(QIODevice::ReadOnly));
        QCOMPARE(untouched.readAll(), QByteArray("precious"));
        QVERIFY(!QFileInfo(link).isSymLink());

        // ".png" added to a name without it.
        const QString portrait = m_dir.filePath(QStringLiteral("portrait"));
        m_chooser.saveAnswer = QUrl::fromLocalFile(portrait);
        m->savePNG();
        QCOMPARE(m->statusMessage(), std::optional(QStringLiteral("Saved portrait.png")));
        QVERIFY(samePixels(QImage(portrait + QStringLiteral(".png")), *m->result()));
        QCOMPARE(m_chooser.proposed, QStringLiteral("Vantel.png")); // every time
    }
};

QTEST_MAIN(TestModelIo)
#include "tst_model_io.moc"
