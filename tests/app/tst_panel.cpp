#include "ColorWell.h"
#include "ContentView.h"
#include "DropZone.h"
#include "FocusRingStyle.h"
#include "ModelDoubles.h"
#include "PreviewView.h"
#include "ResultDrag.h"
#include "SegmentedControl.h"
#include "Theme.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

// The main panel: its faces, texts, enabled and shown controls in each
// state of the model, its bindings, the drop target and the paste key.
class TestPanel final : public QObject
{
    Q_OBJECT

    struct Rig : ModelRig
    {
        ContentView panel{model.get()};
        Rig() { panel.show(); }
        void load() { model->open(filled()); }
    };

    static bool shown(QWidget* w) { return w->isVisibleTo(w->window()); }

    // Sends a drag entering (or a drop) of `data`, offered as a copy or a move
    // with the move proposed, as a file manager does: whether it was taken,
    // as a copy.
    template <typename Event> static bool offer(ContentView& panel, const QMimeData* data)
    {
        Event e(QPoint(50, 50), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
        e.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(&panel, &e);
        return e.isAccepted() && e.dropAction() == Qt::CopyAction;
    }

    // A dark palette over `base`, with `accent` for its highlight.
    static QPalette darkOver(QPalette base, const QColor& accent)
    {
        base.setColor(QPalette::Window, QColor(35, 35, 38));
        base.setColor(QPalette::WindowText, QColor(240, 240, 240));
        base.setColor(QPalette::ButtonText, QColor(240, 240, 240));
        base.setColor(QPalette::Button, QColor(55, 55, 60));
        base.setColor(QPalette::Highlight, accent);
        base.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
        return base;
    }

    // Every control of the editor.
    static QList<QWidget*> controls(const ContentView& p)
    {
        return {p.newButton(),     p.pasteIcon(),        p.beforeAfter(), p.preview(),
                p.featherSlider(), p.backgroundPicker(), p.colorWell(),   p.copyButton(),
                p.saveButton(),    p.quitButton()};
    }

    // The colour of the most opaque pixel of a button's icon.
    static QColor inkOf(const QAbstractButton* button)
    {
        const QImage icon = button->icon().pixmap(16).toImage();
        QColor ink = icon.pixelColor(0, 0);
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x)
                ink = icon.pixelColor(x, y).alpha() > ink.alpha() ? icon.pixelColor(x, y) : ink;
        return ink;
    }

private slots:
    // The error line appears under the drop zone when a paste finds nothing,
    // the status line at the end of the export row when a copy is made. Both
    // are notifications, which screen readers read out when they appear, by
    // the text they show (the announcing itself is checked over AT-SPI in e2e).
    void errorAndStatusLinesAreNotifications()
    {
        const auto said = [](QLabel* line, const QString& text) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(line);
            return shown(line) && line->text() == text && a->role() == QAccessible::Notification &&
                   a->text(QAccessible::Name) == text;
        };
        Rig rig;
        QVERIFY(shown(rig.panel.dropZone()) && !rig.panel.showsEditor());
        QVERIFY(!shown(rig.panel.errorLine()) && shown(rig.panel.footerNote()));
        QApplication::clipboard()->clear();
        rig.panel.dropZone()->pasteButton()->click();
        QVERIFY(shown(rig.panel.dropZone()));
        QVERIFY(said(rig.panel.errorLine(), QStringLiteral("No image found on the clipboard.")));
        rig.ready();
        QVERIFY(!shown(rig.panel.statusText()));
        rig.panel.copyButton()->click();
        QVERIFY(said(rig.panel.statusText(), QStringLiteral("Copied to clipboard")));
    }

    void editorWhileAnalysingAndWhenReady()
    {
        Rig rig;
        rig.load();
        QVERIFY(rig.panel.showsEditor() && !shown(rig.panel.dropZone()));
        // Before the first result: no Before/After, no export, no hint.
        QVERIFY(!rig.panel.beforeAfter()->isEnabled() && !rig.panel.exportRow()->isEnabled());
        QVERIFY(!shown(rig.panel.hintRow()) && rig.panel.featherSlider()->isEnabled());
        rig.scheduler.releaseAll();
        QVERIFY(rig.panel.beforeAfter()->isEnabled() && rig.panel.exportRow()->isEnabled());
        QVERIFY(shown(rig.panel.hintRow()) && !shown(rig.panel.allSubjectsButton()));

        // Before/After writes the model; Before is the second segment.
        QTest::mouseClick(rig.panel.beforeAfter(), Qt::LeftButton, {}, QPoint(105, 10));
        QVERIFY(rig.model->showOriginal());

        // "New" goes back to the drop zone.
        rig.panel.newButton()->click();
        QVERIFY(shown(rig.panel.dropZone()) && !rig.panel.showsEditor());

        // With one subject there is nothing to pick: no hint row.
        rig.vision.instanceResult->count = 1;
        rig.ready();
        QVERIFY(!shown(rig.panel.hintRow()));
    }

    void allSubjectsClearsThePickThenRemasks()
    {
        Rig rig;
        rig.ready();
        // The rows below the hint stay put when its button comes and goes:
        // the slider must not jump away from a pointer heading for it.
        auto sliderTop = [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            return rig.panel.featherSlider()->mapTo(&rig.panel, QPoint()).y();
        };
        const int unpicked = sliderTop();
        rig.model->tap({0.75, 0.9});
        rig.scheduler.releaseAll();
        QCOMPARE(rig.panel.hintText()->text(), QStringLiteral("Keeping one subject"));
        QVERIFY(shown(rig.panel.allSubjectsButton()));
        QCOMPARE(sliderTop(), unpicked);

        QSignalSpy selection(rig.model.get(), &VantelModel::selectedInstanceChanged);
        rig.panel.allSubjectsButton()->click();
        QCOMPARE(selection.count(), 1);
        QVERIFY(!rig.model->selectedInstance());
        QCOMPARE(rig.scheduler.count(), size_t(1)); // the new mask is asked for
        QCOMPARE(rig.panel.hintText()->text(),
                 QStringLiteral("Click a subject to keep only that one"));
        QVERIFY(!shown(rig.panel.allSubjectsButton()));

        // Several kept: the hint counts them, and "All subjects" is offered.
        rig.model->tap({0.75, 0.9});
        rig.model->tap({0.25, 0.9}, true);
        QCOMPARE(rig.panel.hintText()->text(), QStringLiteral("Keeping 2 subjects"));
        QVERIFY(shown(rig.panel.allSubjectsButton()));
        rig.model->keepBox(QRectF(0.1, 0.1, 0.3, 0.3), true);
        QCOMPARE(rig.panel.hintText()->text(), QStringLiteral("Keeping 3 subjects"));
    }

    // One movement of the slider, one write; the model's own change moves it
    // without writing back. A screen reader reads and sets it in the panel's
    // amounts, 0 to 20.
    void featherSliderNumberAndValue()
    {
        Rig rig;
        rig.load();
        QSignalSpy feather(rig.model.get(), &VantelModel::featherChanged);
        rig.panel.featherSlider()->setValue(1234);
        QCOMPARE(feather.count(), 1);
        QCOMPARE(rig.model->feather(), 12.34);
        QCOMPARE(rig.panel.featherNumber()->text(), QStringLiteral("12"));
        rig.model->setFeather(19.6);
        QCOMPARE(feather.count(), 2);
        QCOMPARE(rig.panel.featherSlider()->value(), 1960);
        QCOMPARE(rig.panel.featherNumber()->text(), QStringLiteral("20"));
        QAccessibleValueInterface* value =
            QAccessible::queryAccessibleInterface(rig.panel.featherSlider())->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->maximumValue().toDouble(), 20.0);
        QCOMPARE(value->currentValue().toDouble(), 19.6);
        value->setCurrentValue(3.0);
        QCOMPARE(rig.model->feather(), 3.0);
    }

    void backgroundPickerAndColourWell()
    {
        Rig rig;
        rig.ready();
        QVERIFY(!shown(rig.panel.colorWell()));
        SegmentedControl* picker = rig.panel.backgroundPicker();
        const int segment = picker->width() / 4;
        QTest::mouseClick(picker, Qt::LeftButton, {},
                          QPoint(segment * 3 + segment / 2, picker->height() / 2));
        QCOMPARE(rig.model->background(), BackgroundChoice(BackgroundChoice::custom));
        QVERIFY(shown(rig.panel.colorWell()));

        // The well's picker has no opacity and writes as the user picks.
        rig.panel.colorWell()->click();
        QColorDialog* dialog = rig.panel.colorWell()->dialog();
        QVERIFY(dialog);
        QVERIFY(!dialog->testOption(QColorDialog::ShowAlphaChannel));
        dialog->setCurrentColor(QColor(10, 10, 200));
        QCOMPARE(rig.model->customColor(), QColor(10, 10, 200));
        dialog->close();

        QTest::mouseClick(picker, Qt::LeftButton, {}, QPoint(segment / 2, picker->height() / 2));
        QCOMPARE(rig.model->background(), BackgroundChoice(BackgroundChoice::transparent));
        QVERIFY(!shown(rig.panel.colorWell()));
    }

    void dropTargetAndHoverLook()
    {
        Rig rig;
        QMimeData file, text, web, own;
        file.setUrls({QUrl::fromLocalFile(QStringLiteral("/nonexistent/a.png"))});
        QVERIFY(offer<QDragEnterEvent>(rig.panel, &file));
        QVERIFY(rig.panel.targeted());
        QDragLeaveEvent leave;
        QApplication::sendEvent(&rig.panel, &leave);
        QVERIFY(!rig.panel.targeted());

        text.setText(QStringLiteral("words"));
        QVERIFY(!offer<QDragEnterEvent>(rig.panel, &text) && !rig.panel.targeted());
        web.setUrls({QUrl(QStringLiteral("https://example.com/a.png"))}); // a link alone
        QVERIFY(!offer<QDragEnterEvent>(rig.panel, &web));

        // Vantel's own drag of a result is not taken back.
        own.setData(QStringLiteral("image/png"), QByteArray("png"));
        own.setData(ResultDrag::markerFormat(), QByteArray("1"));
        QVERIFY(!offer<QDragEnterEvent>(rig.panel, &own));
        QVERIFY(!offer<QDropEvent>(rig.panel, &own));
        QCoreApplication::processEvents();
        QVERIFY(!rig.model->original() && !rig.model->errorMessage());

        // Over the editor drops are taken without the hover look; a file
        // dropped is read, never moved.
        rig.load();
        QVERIFY(offer<QDragEnterEvent>(rig.panel, &file));
        QVERIFY(!rig.panel.targeted());
        QVERIFY(offer<QDropEvent>(rig.panel, &file));
    }

    // At a large desktop font every label and button gets the room its text
    // asks for: the panel grows past its least width instead of clipping.
    void everyTextFitsAtALargeFont()
    {
        const QFont before = QApplication::font();
        for (const double points : {9.0, 16.0}) {
            QFont font = before;
            font.setPointSizeF(points);
            QApplication::setFont(font);
            Rig rig;
            rig.ready();
            QWidget window;
            auto* layout = new QVBoxLayout(&window);
            layout->setSizeConstraint(QLayout::SetFixedSize); // as the panel's window
            layout->addWidget(&rig.panel);
            window.show();
            QVERIFY(rig.panel.showsEditor() && rig.model->result());
            // The icons beside the text grow with it.
            QCOMPARE(rig.panel.copyButton()->iconSize().height() > 16, points > 12);
            for (QWidget* w : rig.panel.findChildren<QWidget*>()) {
                const auto* label = qobject_cast<QLabel*>(w);
                const bool text = (label && !label->wordWrap() && !label->text().isEmpty()) ||
                                  qobject_cast<QAbstractButton*>(w) ||
                                  qobject_cast<SegmentedControl*>(w);
                if (!text || !w->isVisibleTo(&window))
                    continue;
                QVERIFY2(w->width() >= w->sizeHint().width(),
                         qPrintable(QStringLiteral("%1 pt: %2 \"%3\" too narrow")
                                        .arg(QString::number(points), w->metaObject()->className(),
                                             label ? label->text() : w->objectName())));
            }
            layout->removeWidget(&rig.panel);
            rig.panel.setParent(nullptr);
        }
        QApplication::setFont(before);
    }

    // The desktop's theme changes while Vantel runs: the icons, the grey of
    // secondary text and the Save button's fill follow at once.
    void aThemeChangeReachesEveryLook()
    {
        Rig rig;
        rig.ready();
        QVERIFY(rig.panel.showsEditor());
        const QPalette before = QApplication::palette();
        QApplication::setPalette(darkOver(before, QColor(200, 60, 160)));
        QTRY_VERIFY(rig.panel.saveButton()->styleSheet().contains(QColor(200, 60, 160).name()));
        QCOMPARE(rig.panel.footerNote()->palette().color(QPalette::WindowText), Theme::secondary());
        for (const QAbstractButton* b : std::initializer_list<const QAbstractButton*>{
                 rig.panel.newButton(), rig.panel.pasteIcon(), rig.panel.copyButton()})
            QVERIFY2(inkOf(b).lightness() > 180, qPrintable(inkOf(b).name()));
        QVERIFY(rig.panel.quitButton()->styleSheet().contains(Theme::secondary().name()));
        QApplication::setPalette(before);
        QTRY_VERIFY(!rig.panel.saveButton()->styleSheet().contains(QColor(200, 60, 160).name()));
        QVERIFY2(inkOf(rig.panel.newButton()).lightness() < 128,
                 qPrintable(inkOf(rig.panel.newButton()).name()));
    }

    // The chosen segment of a picker stands 3:1 against the others, on
    // light palettes and dark ones, with bright and dim accents alike.
    void theChosenSegmentIsSeenOnLightAndDark()
    {
        QPalette pale = QApplication::palette();
        pale.setColor(QPalette::Highlight, QColor(0xcd, 0xe8, 0xff));
        const QPalette before = QApplication::palette();
        for (const QPalette& palette :
             {before, pale, darkOver(before, QColor(0x12, 0x60, 0x8a)),
              darkOver(before, QColor(0x3d, 0xae, 0xe9)), darkOver(before, QColor(70, 70, 74))}) {
            SegmentedControl picker({QStringLiteral("After"), QStringLiteral("Before")});
            picker.setPalette(palette);
            picker.resize(picker.sizeHint());
            for (int chosen : {0, 1}) {
                picker.setCurrentIndex(chosen);
                const QImage look = picker.grab().toImage();
                // Inside each segment, left of its centred label.
                const int half = (look.width() - 4) / 2;
                const QColor first = look.pixelColor(2 + 6, look.height() / 2);
                const QColor second = look.pixelColor(2 + half + 6, look.height() / 2);
                QVERIFY2(Theme::contrast(first, second) >= 3.0,
                         qPrintable(first.name() + " against " + second.name()));
            }
        }
    }

    // Each control's focus mark stands out from the window (3:1) on a light
    // and a dark palette: the dark one's accent (as a common dark theme's)
    // is too dim for a mark by itself.
    void focusMarksAreSeenOnLightAndDark()
    {
        FocusRingStyle::install();
        const QPalette before = QApplication::palette();
        for (const QPalette& palette : {before, darkOver(before, QColor(0x12, 0x60, 0x8a))}) {
            QApplication::setPalette(palette);
            Rig rig;
            rig.ready();
            rig.model->setBackground(BackgroundChoice::custom);
            rig.panel.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&rig.panel));
            const QColor window = palette.color(QPalette::Window);
            const ContentView& p = rig.panel;
            for (QWidget* w : controls(p)) {
                (w == p.newButton() ? p.copyButton() : p.newButton())->setFocus();
                const QImage off = w->grab().toImage();
                w->setFocus(Qt::TabFocusReason);
                const QImage on = w->grab().toImage();
                int seen = 0;
                for (int y = 0; y < on.height(); ++y) {
                    for (int x = 0; x < on.width(); ++x) {
                        const QColor c = on.pixelColor(x, y);
                        seen += c != off.pixelColor(x, y) && Theme::contrast(c, window) >= 3.0;
                    }
                }
                QVERIFY2(seen >= 20, qPrintable(w->accessibleName() + " on " + window.name()));
            }
        }
        QApplication::setPalette(before);
    }

    // A screen reader finds every control by name; the pickers are groups
    // of radio buttons with their checked state, which a press chooses.
    void controlsAreNamedForScreenReaders()
    {
        Rig rig;
        rig.ready();
        QList<QWidget*> named = controls(rig.panel);
        for (QWidget* w : named << rig.panel.allSubjectsButton()) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            QVERIFY2(a && !a->text(QAccessible::Name).isEmpty(), w->metaObject()->className());
        }
        QAccessibleInterface* picker =
            QAccessible::queryAccessibleInterface(rig.panel.backgroundPicker());
        QCOMPARE(picker->childCount(), 4);
        QAccessibleInterface* white = picker->child(1);
        QCOMPARE(white->role(), QAccessible::RadioButton);
        QCOMPARE(white->text(QAccessible::Name), QStringLiteral("White"));
        QVERIFY(picker->child(0)->state().checked && !white->state().checked);
        white->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(rig.model->background() == BackgroundChoice::white);
        QVERIFY(white->state().checked && !picker->child(0)->state().checked);
    }

    // When an image comes (pasted, dropped, opened) and when New clears it,
    // the keyboard's focus goes to the face shown, never on to Quit, where
    // one Space would end Vantel. The paste key works in both faces.
    void theFocusFollowsTheFaceNotQuit()
    {
        Rig rig;
        rig.panel.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&rig.panel));
        QWidget* choose = rig.panel.dropZone()->chooseButton();
        QWidget* preview = rig.panel.preview();
        QCOMPARE(rig.panel.window()->focusWidget(), choose);
        // While a file is read the buttons hide; the focus waits off Quit
        // and comes back to Choose when reading fails.
        rig.model->open(QUrl::fromLocalFile(QStringLiteral("/nonexistent/photo.png")));
        QVERIFY(!choose->isVisible() && !rig.panel.quitButton()->hasFocus());
        rig.scheduler.releaseAll();
        QVERIFY(rig.model->errorMessage().has_value());
        QCOMPARE(rig.panel.window()->focusWidget(), choose);

        QApplication::clipboard()->setImage(filled(Qt::blue));
        QTest::keySequence(rig.panel.window(), QKeySequence::Paste);
        rig.scheduler.release(); // the decoding
        QVERIFY(rig.panel.showsEditor());
        QCOMPARE(rig.panel.window()->focusWidget(), preview);
        QApplication::clipboard()->clear();
        QTest::keySequence(rig.panel.window(), QKeySequence::Paste);
        QCOMPARE(rig.model->errorMessage(),
                 std::optional(QStringLiteral("No image found on the clipboard.")));
        QVERIFY(rig.model->original() && rig.panel.showsEditor());

        rig.panel.newButton()->setFocus();
        rig.panel.newButton()->click();
        QVERIFY(!rig.panel.showsEditor());
        QCOMPARE(rig.panel.window()->focusWidget(), choose);
        rig.ready(Qt::blue);
        QCOMPARE(rig.panel.window()->focusWidget(), preview);
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
