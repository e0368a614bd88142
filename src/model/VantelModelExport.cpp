// Export: the result leaves as PNG, on the clipboard or in a file.
#include "FileChooser.h"
#include "FileCommit.h"
#include "PngEncoder.h"
#include "VantelModel.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>

std::optional<QByteArray> VantelModel::pngData() const
{
    if (!m_result)
        return std::nullopt;
    QByteArray bytes = PngEncoder::encode(*m_result);
    if (bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

namespace {

// The encoder fails only when memory runs out.
QString encodingFailed()
{
    return QCoreApplication::translate("Vantel", "There is not enough memory to make the PNG.");
}

} // namespace

void VantelModel::copyPNG()
{
    if (!m_result || !clipboard())
        return; // nothing to export
    const std::optional<QByteArray> bytes = pngData();
    if (!bytes) {
        setErrorMessage(encodingFailed());
        return;
    }
    // One entry of one type: no file name, no other image formats.
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), *bytes);
    clipboard()->setMimeData(data, QClipboard::Clipboard);
    flash(QCoreApplication::translate("Vantel", "Copied to clipboard"));
}

void VantelModel::savePNG()
{
    if (!m_result || !m_deps.chooser)
        return; // nothing to export
    // The bytes are made before the panel is shown, also if it is cancelled.
    const std::optional<QByteArray> bytes = pngData();
    if (!bytes) {
        setErrorMessage(encodingFailed());
        return;
    }
    const std::optional<QUrl> url =
        m_deps.chooser->choosePngDestination(QStringLiteral("Vantel.png"));
    if (!url || !url->isLocalFile())
        return;
    QString path = url->toLocalFile();
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".png");

    // A failed save (a full disk, a vanished folder) never leaves a partial
    // file, nor touches the file it was to replace.
    const FileCommit::Result written =
        FileCommit::write(QFile::encodeName(path), *bytes, FileCommit::Replace::anything);
    if (!written) {
        setErrorMessage(written.text());
        return;
    }
    flash(QCoreApplication::translate("Vantel", "Saved ") + QFileInfo(path).fileName());
}
