#include "QtFileChooser.h"

#include "ImageDecoder.h"

#include <QFileDialog>
#include <QMimeDatabase>
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
    // The formats Vantel reads, and one filter for all of them, offered first.
    QStringList types;
    for (const QByteArray& format : ImageDecoder::formats())
        types << QStringLiteral("image/") + QString::fromLatin1(format);
    dialog.setMimeTypeFilters(types);
    QStringList filters = dialog.nameFilters();
    QStringList patterns;
    const QMimeDatabase mimes;
    for (const QString& type : types)
        patterns << mimes.mimeTypeForName(type).globPatterns();
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
