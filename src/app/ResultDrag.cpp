#include "ResultDrag.h"

#include "VantelModel.h"

#include <QDir>
#include <QMimeData>
#include <QSaveFile>

ResultDrag::ResultDrag(VantelModel* model)
    : m_model(model), m_folder(QDir::tempPath() + QStringLiteral("/vantel-XXXXXX"))
{
}

QMimeData* ResultDrag::mimeData()
{
    const std::optional<QByteArray> png = m_model->pngData();
    if (!png)
        return nullptr;
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), *png);
    data->setData(markerFormat(), QByteArray("1"));
    if (m_folder.isValid()) {
        // A folder per drag keeps the file's name plain: "Vantel.png".
        const QString dir = m_folder.filePath(QString::number(++m_count));
        QSaveFile file(dir + QStringLiteral("/Vantel.png"));
        if (QDir().mkpath(dir) && file.open(QIODevice::WriteOnly) &&
            file.write(*png) == png->size() && file.commit()) {
            data->setUrls({QUrl::fromLocalFile(dir + QStringLiteral("/Vantel.png"))});
        }
    }
    return data;
}
