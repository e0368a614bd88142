#!/usr/bin/python3
"""Presses a push button of a running application through the accessibility
bus (AT-SPI), as a screen reader or a switch user would: how the end-to-end
run clicks where no pointer can be moved (a headless Wayland compositor).

    atspi_press.py APPLICATION BUTTON [SECONDS]

Waits up to SECONDS (default 10) for the application to show the button;
exits 0 once pressed, 1 when it never appears.
"""
import sys
import time

import pyatspi


def find_button(node, name):
    for child in node:
        if child is None:
            continue
        if child.getRoleName() == "push button" and child.name == name:
            return child
        found = find_button(child, name)
        if found is not None:
            return found
    return None


def press(application, button, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            for app in pyatspi.Registry.getDesktop(0):
                if app is None or app.name != application:
                    continue
                target = find_button(app, button)
                if target is not None and target.getState().contains(pyatspi.STATE_SHOWING):
                    target.queryAction().doAction(0)
                    return True
        except Exception:  # the tree changes under us: look again
            pass
        time.sleep(0.2)
    return False


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    sys.exit(0 if press(sys.argv[1], sys.argv[2], seconds) else 1)
