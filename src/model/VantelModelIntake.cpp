// Image intake: every way an image comes in ends in open(url) or open(image).
#include "Compositor.h"
#include "FileChooser.h"
#include "VantelError.h"
#include "VantelModel.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QMimeDatabase>
#include <QTimer>

namespace {

// Whether a file counts as an image by its name's extension alone.
bool hasImageExtension(const QUrl& url)
{
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().isEmpty())
        return false;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() && type.name().startsWith(QLatin1String("image/"));
}

} // namespace

QClipboard* VantelModel::clipboard() const
{
    return m_deps.clipboard ? m_deps.clipboard : QGuiApplication::clipboard();
}

bool VantelModel::openDecoded(const std::optional<QImage>& image)
{
    if (!image) {
        setErrorMessage(VantelError::loadFailed().errorDescription());
        return false;
    }
    start(*image);
    return true;
}

void VantelModel::open(const QUrl& url)
{
    openDecoded(Compositor::load(url, maxSide));
}

void VantelModel::open(const QImage& image)
{
    openDecoded(image.isNull() ? std::nullopt : Compositor::normalize(image, maxSide));
}

void VantelModel::chooseFile()
{
    if (!m_deps.chooser)
        return;
    const std::optional<QUrl> url = m_deps.chooser->chooseImageFile();
    if (url)
        open(*url);
}

void VantelModel::paste()
{
    const QMimeData* data = clipboard() ? clipboard()->mimeData() : nullptr;
    if (data) {
        // A copied image file wins, decided by its extension alone; web
        // addresses are not files.
        for (const QUrl& url : data->urls()) {
            if (url.isLocalFile() && hasImageExtension(url)) {
                open(url);
                return;
            }
        }
        // Then image data, decoded with the same rules as files.
        for (const QString& format : data->formats()) {
            if (!format.startsWith(QLatin1String("image/")))
                continue;
            if (const std::optional<QImage> image =
                    Compositor::loadData(data->data(format), maxSide)) {
                start(*image);
                return;
            }
        }
        // An image object put there by a Qt application in this process.
        if (data->hasImage()) {
            const QImage image = qvariant_cast<QImage>(data->imageData());
            if (!image.isNull()) {
                open(image);
                return;
            }
        }
    }
    setErrorMessage(VantelError::failed(
                        QCoreApplication::translate("Vantel", "No image found on the clipboard."))
                        .errorDescription());
}

bool VantelModel::handleDrop(const DropPayload& payload)
{
    // Answered at once; the decoding happens on a later turn of the event loop.
    if (payload.fileUrl) {
        const QUrl url = *payload.fileUrl;
        QTimer::singleShot(0, this, [this, url] { open(url); });
        return true;
    }
    if (!payload.imageBytes.isEmpty()) {
        const QByteArray bytes = payload.imageBytes;
        QTimer::singleShot(0, this,
                           [this, bytes] { openDecoded(Compositor::loadData(bytes, maxSide)); });
        return true;
    }
    if (!payload.image.isNull()) {
        const QImage image = payload.image;
        QTimer::singleShot(0, this, [this, image] { open(image); });
        return true;
    }
    return false;
}
