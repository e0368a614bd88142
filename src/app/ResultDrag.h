#pragma once

#include <QTemporaryDir>

class QMimeData;
class VantelModel;

// The data a drag of the result carries out of the panel: the PNG itself,
// and a file URL to the same PNG for targets that take files (file managers,
// most image editors). The files live in a private temporary folder that is
// removed when Vantel exits.
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
    QTemporaryDir m_folder;
    int m_count = 0;
};
