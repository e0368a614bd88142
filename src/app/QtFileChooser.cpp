#include "QtFileChooser.h"

#include <QFileDialog>
#include <QImageReader>
#include <QStandardPaths>
#include <QWidget>

QtFileChooser::QtFileChooser(std::function<QWidget*()> parent,
                             std::function<void(bool)> dialogShown)
    : m_parent(std::move(parent)), m_dialogShown(std::move(dialogShown))
{
}

QWidget* QtFileChooser::frontParent() const
{
    QWidget* parent = m_parent ? m_parent() : nullptr;
    if (parent) {
        parent->raise();
        parent->activateWindow();
    }
    return parent;
}

std::optional<QUrl> QtFileChooser::run(QFileDialog& dialog) const
{
    // The panel stays up while its own dialog has the focus.
    if (m_dialogShown)
        m_dialogShown(true);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (m_dialogShown)
        m_dialogShown(false);
    if (!accepted || dialog.selectedUrls().isEmpty())
        return std::nullopt;
    return dialog.selectedUrls().first();
}

std::optional<QUrl> QtFileChooser::chooseImageFile()
{
    QFileDialog dialog(frontParent(), QObject::tr("Choose an Image"),
                       QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList types;
    for (const QByteArray& type : QImageReader::supportedMimeTypes())
        types << QString::fromLatin1(type);
    dialog.setMimeTypeFilters(types);
    // One filter for every image type at once, offered first.
    QStringList filters = dialog.nameFilters();
    QStringList patterns;
    for (const QByteArray& suffix : QImageReader::supportedImageFormats())
        patterns << QStringLiteral("*.") + QString::fromLatin1(suffix);
    filters.prepend(QObject::tr("Images (%1)").arg(patterns.join(QLatin1Char(' '))));
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
    return run(dialog);
}

std::optional<QUrl> QtFileChooser::choosePngDestination(const QString& proposedName)
{
    QFileDialog dialog(frontParent(), QObject::tr("Save PNG"),
                       QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setMimeTypeFilters({QStringLiteral("image/png")});
    dialog.setDefaultSuffix(QStringLiteral("png"));
    dialog.selectFile(proposedName);
    return run(dialog);
}
