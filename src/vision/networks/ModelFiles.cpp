#include "ModelFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString ModelFiles::locate(const QString& name)
{
    const QString relative = QStringLiteral("vantel/models/") + name;
    const QString installed = QStandardPaths::locate(QStandardPaths::GenericDataLocation, relative);
    if (!installed.isEmpty())
        return installed;
    QStringList others;
    if (QCoreApplication::instance())
        others << QDir(QCoreApplication::applicationDirPath())
                      .filePath(QStringLiteral("../share/") + relative);
    others << QDir(QStringLiteral(VANTEL_BINARY_DIR)).filePath(QStringLiteral("models/") + name);
    for (const QString& path : others) {
        if (QFileInfo(path).isFile())
            return QDir::cleanPath(path);
    }
    return {};
}
