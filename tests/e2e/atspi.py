#!/usr/bin/python3
"""Works a running application through the accessibility bus (AT-SPI), as a
screen reader or a switch user would: how the end-to-end run presses
buttons where no pointer can be moved (a headless Wayland compositor), and
times what the user waits for.

    atspi.py press APPLICATION BUTTON [SECONDS]
        Presses the push button once the application shows it (waiting up to
        SECONDS, default 10); exits 1 when it never does.
    atspi.py focused APPLICATION
        Prints the name of what has the keyboard's focus in the application
        (its role where it has no name); exits 1 when nothing has.
    atspi.py shows APPLICATION BUTTON
        Exits 0 when the application shows the push button now, 1 when not.
    atspi.py unnamed APPLICATION
        Lists the controls the application shows (buttons, radio buttons,
        sliders, groups of them) that have no accessible name, and the
        groups of radio buttons without exactly one checked; exits 1 when
        there are any, or when it shows no control at all.
    atspi.py announced APPLICATION SECONDS COMMAND...
        Runs COMMAND, listening for SECONDS to what the application announces
        (a notification that shows); prints each as a line. Exits 1 when it
        announces nothing.
    atspi.py ready-after APPLICATION BUTTON SECONDS COMMAND...
        Runs COMMAND, then waits up to SECONDS for the push button to show
        and take clicks; prints the milliseconds from just before COMMAND.
        Exits 1 when it never does.
"""
import subprocess
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


def button(application, name):
    """The button, or None where the application or the button is not there."""
    try:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == application:
                return find_button(app, name)
    except Exception:  # the tree changes under us: look again
        pass
    return None


def ready(target):
    try:
        states = target.getState()
        return states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_SENSITIVE)
    except Exception:
        return False


def press(application, name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        target = button(application, name)
        if target is not None and ready(target):
            target.queryAction().doAction(0)
            return True
        time.sleep(0.2)
    return False


def ready_after(application, name, seconds, command):
    # Found before the command runs: the wait after it is only the polling.
    target = button(application, name)
    started = time.monotonic()
    subprocess.run(command, check=True)
    # Ready before the command took effect is not the answer: it must
    # first stop being ready (a new image clears the result), unless it
    # was not ready to begin with.
    was_ready = target is not None and ready(target)
    deadline = started + seconds
    while time.monotonic() < deadline:
        if target is None:
            target = button(application, name)
        if target is not None:
            if ready(target) and not was_ready:
                return (time.monotonic() - started) * 1000
            if not ready(target):
                was_ready = False
        time.sleep(0.02)
    return None


def focused(application):
    """The name (or role) of the focused object, or None."""
    def walk(node, depth):
        for child in node:
            if child is None or depth > 40:
                continue
            try:
                states = child.getState()
                if states.contains(pyatspi.STATE_FOCUSED):
                    return child.name or child.getRoleName()
                if not states.contains(pyatspi.STATE_SHOWING):
                    continue
            except Exception:
                continue
            found = walk(child, depth + 1)
            if found is not None:
                return found
        return None

    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == application:
            return walk(app, 0)
    return None


def announced(application, seconds, command):
    """The names of the notifications the application shows while COMMAND
    runs and for SECONDS after it starts, in order."""
    from gi.repository import GLib

    heard = []

    def listen(event):
        try:
            if (event.detail1 == 1 and event.source.getRoleName() == "notification"
                    and event.source.getApplication().name == application):
                heard.append(event.source.name)
        except Exception:  # gone before it could be asked
            pass

    def run():
        # In a thread of its own, so that events are heard while it runs.
        import threading
        threading.Thread(target=subprocess.run, args=(command,), daemon=True).start()
        return False

    pyatspi.Registry.registerEventListener(listen, "object:state-changed:showing")
    # As a screen reader does: names are cached, and a change of name is
    # how the cache hears of a line's new text.
    pyatspi.Registry.registerEventListener(lambda event: None,
                                           "object:property-change:accessible-name")
    # The application hears of the new listener over the bus; give it a moment.
    GLib.timeout_add(700, run)
    GLib.timeout_add(int(seconds * 1000), lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    return heard


CONTROLS = {"push button", "toggle button", "radio button", "check box", "slider",
            "spin button", "combo box"}


def unnamed(application):
    """The shown controls without a name, as lines; None without the
    application or any control."""
    found, missing = [], []

    def walk(node, depth):
        for child in node:
            if child is None or depth > 40:
                continue
            try:
                role = child.getRoleName()
                showing = child.getState().contains(pyatspi.STATE_SHOWING)
            except Exception:
                continue
            if showing and role in CONTROLS:
                found.append(child)
                if not child.name:
                    missing.append("%s without a name (in %s)" % (role, node.name or node.getRoleName()))
            if showing:
                radios = [c for c in child if c is not None and c.getRoleName() == "radio button"]
                checked = [c for c in radios if c.getState().contains(pyatspi.STATE_CHECKED)]
                if radios and len(checked) != 1:
                    missing.append("%s: %d of its radio buttons checked" % (child.name, len(checked)))
            walk(child, depth + 1)

    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == application:
            walk(app, 0)
            return missing if found else None
    return None


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "unnamed":
        lines = unnamed(sys.argv[2])
        if lines is None:
            sys.exit("%s shows no control" % sys.argv[2])
        for line in lines:
            print(line)
        sys.exit(1 if lines else 0)
    if len(sys.argv) == 3 and sys.argv[1] == "focused":
        name = focused(sys.argv[2])
        if name is None:
            sys.exit(1)
        print(name)
        sys.exit(0)
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    verb, application, name = sys.argv[1:4]
    if verb == "shows":
        target = button(application, name)
        sys.exit(0 if target is not None and ready(target) else 1)
    if verb == "press":
        seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 10.0
        sys.exit(0 if press(application, name, seconds) else 1)
    if verb == "announced" and len(sys.argv) > 4:
        lines = announced(application, float(name), sys.argv[4:])
        for line in lines:
            print(line)
        sys.exit(0 if lines else 1)
    if verb == "ready-after" and len(sys.argv) > 5:
        ms = ready_after(application, name, float(sys.argv[4]), sys.argv[5:])
        if ms is None:
            sys.exit(1)
        print(int(round(ms)))
        sys.exit(0)
    sys.exit(__doc__)
