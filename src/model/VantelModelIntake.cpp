// Image intake: every way an image comes in ends in open(url) or open(image).
#include "CutOut.h"
#include "FileChooser.h"
#include "ImageIntake.h"
#include "ImageOffer.h"
#include "JobPostbox.h"
#include "JobScheduler.h"
#include "VantelError.h"
#include "VantelModel.h"
#include "VisionService.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeData>

QClipboard* VantelModel::clipboard() const
{
    return m_deps.clipboard ? m_deps.clipboard : QGuiApplication::clipboard();
}

void VantelModel::open(const QUrl& url)
{
    ImageOffer offer;
    offer.files = {url};
    intake(offer, VantelError::loadFailed().errorDescription());
}

void VantelModel::open(const QImage& image)
{
    m_deps.vision->prepare();
    const std::optional<QImage> normalized =
        image.isNull() ? std::nullopt : ImageIntake::normalize(image, CutOut::maxSide);
    if (!normalized) {
        setErrorMessage(VantelError::loadFailed().errorDescription());
        return;
    }
    start(*normalized);
}

void VantelModel::intake(const ImageOffer& offer, const QString& nothingFound)
{
    // The decoding reads only the offer it is handed; its outcome is
    // applied on the GUI thread, and only if no newer intake came since.
    const int64_t n = ++*m_intake;
    setOpening(true);
    // The networks load while the image is decoded.
    m_deps.vision->prepare();
    std::shared_ptr<JobPostbox> postbox = m_postbox;
    std::shared_ptr<const std::atomic<int64_t>> latest = m_intake;
    VantelModel* model = this;
    m_deps.scheduler->schedule([offer, nothingFound, n, latest, postbox, model] {
        // Superseded while it waited its turn: a newer intake, an image, or
        // New came since, and this one would be dropped once decoded.
        if (latest->load() != n)
            return;
        bool fileTried = false;
        std::optional<QImage> image;
        try {
            image = offer.decode(CutOut::maxSide, &fileTried);
        } catch (const std::exception&) {
            image.reset(); // out of memory: as unreadable
        }
        const QString failure =
            fileTried ? VantelError::loadFailed().errorDescription() : nothingFound;
        postbox->post([model, n, image, failure] { model->applyIntake(n, image, failure); });
    });
}

void VantelModel::applyIntake(int64_t n, std::optional<QImage> image, QString failure)
{
    if (n != *m_intake)
        return; // a newer image, or "New", came since
    if (image) {
        start(*image);
        return;
    }
    setOpening(false);
    setErrorMessage(failure);
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
    const QString nothing = VantelError::failed(QCoreApplication::translate(
                                                    "Vantel", "No image found on the clipboard."))
                                .errorDescription();
    const QMimeData* data = clipboard() ? clipboard()->mimeData() : nullptr;
    const ImageOffer offer = ImageOffer::read(data);
    if (!offer.droppable()) {
        setErrorMessage(nothing);
        return;
    }
    // Files other than images do not count on the clipboard: which are
    // images is told in the background, from their names or content.
    intake(offer, nothing);
}

bool VantelModel::handleDrop(const ImageOffer& offer)
{
    if (!offer.droppable())
        return false;
    // Answered at once; the decoding happens in the background.
    intake(offer, VantelError::loadFailed().errorDescription());
    return true;
}
