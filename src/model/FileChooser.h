#pragma once

#include <QString>
#include <QUrl>
#include <optional>

// The open and save panels, which are widgets: the application supplies
// them, tests supply doubles.
class FileChooser
{
public:
    virtual ~FileChooser() = default;
    // One image file chosen by the user, or none when cancelled.
    virtual std::optional<QUrl> chooseImageFile() = 0;
    // Where to save a PNG, proposing `proposedName`; none when cancelled.
    virtual std::optional<QUrl> choosePngDestination(const QString& proposedName) = 0;
};
