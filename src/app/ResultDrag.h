#pragma once

#include <QTemporaryDir>
#include <memory>

class QMimeData;
class VantelModel;

// The data a drag of the result carries out of the panel: the PNG itself,
// and a file URL to the same PNG for targets that take files (file managers,
// most image editors). The files live in a private temporary folder, made on
// the first drag and removed with this object (Vantel removes it when it
// quits, also on SIGTERM and SIGINT).
class ResultDrag final
{
public:
    explicit ResultDrag(VantelModel* model);

    // Marks Vantel's own drags, which its panel does not take back.
    static QString markerFormat() { return QStringLiteral("application/x-vantel-result"); }

    // A new QMimeData for a drag, or none when there is no result.
    QMimeData* mimeData();

private:
    VantelModel* m_model;
    std::unique_ptr<QTemporaryDir> m_folder;
    int m_count = 0;
};
