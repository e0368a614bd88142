// Image intake: every way an image comes in ends in open(url) or open(image).
#include "FileChooser.h"
#include "ImageIntake.h"
#include "ImageOffer.h"
#include "VantelError.h"
#include "VantelModel.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

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
    openDecoded(ImageIntake::load(url, maxSide));
}

void VantelModel::open(const QImage& image)
{
    openDecoded(image.isNull() ? std::nullopt : ImageIntake::normalize(image, maxSide));
}

void VantelModel::chooseFile()
{
    if (!m_deps.chooser)
        return;
    const std::optional<QUrl> url = m_deps.chooser->chooseImageFile();
    if (url)
        open(*url);
}

bool VantelModel::openOffer(const ImageOffer& offer)
{
    // An image file wins, decided by its extension alone; one that then
    // fails to decode is reported as unreadable.
    if (offer.imageFile) {
        open(*offer.imageFile);
        return true;
    }
    for (const QByteArray& bytes : offer.encoded) {
        if (const std::optional<QImage> image = ImageIntake::loadData(bytes, maxSide)) {
            start(*image);
            return true;
        }
    }
    if (!offer.image.isNull()) {
        open(offer.image);
        return true;
    }
    return false;
}

void VantelModel::paste()
{
    const QMimeData* data = clipboard() ? clipboard()->mimeData() : nullptr;
    if (openOffer(ImageOffer::read(data)))
        return;
    setErrorMessage(VantelError::failed(
                        QCoreApplication::translate("Vantel", "No image found on the clipboard."))
                        .errorDescription());
}

bool VantelModel::handleDrop(const ImageOffer& offer)
{
    if (!offer.droppable())
        return false;
    // Answered at once; the decoding happens on a later turn of the event loop.
    QTimer::singleShot(0, this, [this, offer] {
        if (!openOffer(offer))
            setErrorMessage(VantelError::loadFailed().errorDescription());
    });
    return true;
}
