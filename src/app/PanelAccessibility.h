#pragma once

// What screen readers are told of the panel's own controls, where Qt's
// accessibility cannot know: a segmented picker is a group of radio buttons,
// each with its checked state, and the Feather slider reports the amount the
// panel shows (0 to 20), not its finer steps.
namespace PanelAccessibility {

// Installs the interfaces for the panel's controls; once is enough.
void install();

} // namespace PanelAccessibility
