// Another application for the end-to-end run: a small window that starts a
// drag of a file URL when pressed and moved, as a file manager does, and
// prints what the target did with it ("copy", "move", "link" or "ignored").
//   drag_source FILE
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>

class Source final : public QWidget
{
public:
    explicit Source(QUrl url) : m_url(std::move(url))
    {
        setWindowTitle(QStringLiteral("drag-source"));
        setFixedSize(200, 200);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override { m_press = event->position().toPoint(); }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (m_started || (event->position().toPoint() - m_press).manhattanLength() < 8)
            return;
        m_started = true;
        auto* drag = new QDrag(this);
        auto* offer = new QMimeData;
        offer->setUrls({m_url});
        drag->setMimeData(offer);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction);
        const char* said = action == Qt::CopyAction   ? "copy"
                           : action == Qt::MoveAction ? "move"
                           : action == Qt::LinkAction ? "link"
                                                      : "ignored";
        std::printf("%s\n", said);
        std::fflush(stdout);
        // Like a file manager, it stays: the target reads the data after
        // the drop has ended here.
        QTimer::singleShot(5000, qApp, &QApplication::quit);
    }

private:
    QUrl m_url;
    QPoint m_press;
    bool m_started = false;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    Source source(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    source.move(40, 300);
    source.show();
    return app.exec();
}
