#pragma once

#include <QString>
#include <optional>

class QLabel;

// What screen readers are told of the panel's own controls, where Qt's
// accessibility cannot know: a segmented picker is a group of radio buttons,
// each with its checked state, and the Feather slider reports the amount the
// panel shows (0 to 20), not its finer steps. The error and status lines
// are notifications, read out when they appear.
namespace PanelAccessibility {

// Installs the interfaces for the panel's controls; once is enough.
void install();

// Shows `message` on a notification line (the error or status line), or
// hides the line without one. A line already shown that gets a new text is
// announced as if it had just appeared, so that screen readers read it too.
void showMessage(QLabel* line, const std::optional<QString>& message);

} // namespace PanelAccessibility
