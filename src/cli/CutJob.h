#pragma once

#include "OnDeviceVision.h"

#include <QColor>
#include <QSet>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

// One batch of cut-outs with fixed settings, written into one folder.
class CutJob final
{
public:
    struct Options
    {
        double feather = 0;
        std::optional<QColor> background;
        std::optional<int64_t> subject;
        bool maskOnly = false;

        // Parses the command line's texts; none (and a reason) when invalid.
        static std::optional<Options> parse(const QString& feather, const QString& background,
                                            const std::optional<QString>& subject, bool maskOnly,
                                            QString* problem);
    };

    struct Outcome
    {
        QString written; // the file written
        QString summary; // what was found, how long it took
        QString error;   // empty on success
    };

    CutJob(Options options, QString outDir, std::optional<QString> networkPath);

    Outcome run(const QString& input);

    // OUTDIR/<name>.png for an input, not yet used by this batch.
    QString outputPathFor(const QString& input);

private:
    Options m_options;
    QString m_outDir;
    OnDeviceVision m_vision;
    QSet<QString> m_used;
};
