#pragma once

#include "FileChooser.h"

#include <functional>

class QFileDialog;
class QWidget;

// The open and save panels as Qt file dialogs over the panel window.
class QtFileChooser final : public FileChooser
{
public:
    // `parent` gives the dialogs their owner (brought to the front first);
    // `dialogShown` hears when a dialog opens and closes.
    QtFileChooser(std::function<QWidget*()> parent, std::function<void(bool)> dialogShown);

    std::optional<QUrl> chooseImageFile() override;
    std::optional<QUrl> choosePngDestination(const QString& proposedName) override;

private:
    QWidget* frontParent() const;
    std::optional<QUrl> run(QFileDialog& dialog) const;

    std::function<QWidget*()> m_parent;
    std::function<void(bool)> m_dialogShown;
};
