#include "ResultDrag.h"

#include "FileCommit.h"
#include "VantelModel.h"

#include <QDir>
#include <QFile>
#include <QMimeData>

ResultDrag::ResultDrag(VantelModel* model) : m_model(model) {}

QMimeData* ResultDrag::mimeData()
{
    const std::optional<QByteArray> png = m_model->pngData();
    if (!png)
        return nullptr;
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), *png);
    data->setData(markerFormat(), QByteArray("1"));
    if (!m_folder)
        m_folder =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/vantel-XXXXXX"));
    if (m_folder->isValid()) {
        // A folder per drag keeps the file's name plain: "Vantel.png". The
        // file is offered only once it is whole on the disk.
        const QString dir = m_folder->filePath(QString::number(++m_count));
        const QString file = dir + QStringLiteral("/Vantel.png");
        if (QDir().mkpath(dir) &&
            FileCommit::write(QFile::encodeName(file), *png, FileCommit::Replace::never))
            data->setUrls({QUrl::fromLocalFile(file)});
    }
    return data;
}
