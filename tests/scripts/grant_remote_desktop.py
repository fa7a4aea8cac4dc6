#!/usr/bin/env python3
# Grants a desktop portal's remote desktop request as a person would: finds the consent
# dialog through the accessibility bus, ticks what keeps the grant and allows input (GNOME:
# "Allow Remote Interaction", "Remember This Selection"; KDE: "Allow restoring on future
# sessions") where it is not ticked, and presses Share once it is sensitive.
# Usage: grant_remote_desktop.py SECONDS   Exit: 0 pressed, 1 no such dialog in time.
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def find(node, role, name, depth=0):  # every accessible below node with both, deepest first
    found = []
    if depth > 40:
        return found
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is None:
            continue
        found += find(child, role, name, depth + 1)
        if child.get_role_name() == role and child.get_name() == name:
            found.append(child)
    return found


def state(node, which):
    return node.get_state_set().contains(which)


def press(node):
    action = node.get_action_iface()
    return action is not None and action.get_n_actions() > 0 and action.do_action(0)


def main():
    deadline = time.monotonic() + float(sys.argv[1])
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        share = find(desktop, "button", "Share")
        if share:
            names = ("Allow Remote Interaction", "Remember This Selection",
                     "Allow restoring on future sessions")
            for box in sum((find(desktop, "check box", name)[:1] for name in names), []):
                if not state(box, Atspi.StateType.CHECKED):
                    press(box)
            for _ in range(50):
                if state(share[0], Atspi.StateType.SENSITIVE):
                    return 0 if press(share[0]) else 1
                time.sleep(0.1)
        time.sleep(0.2)
    return 1


if __name__ == "__main__":
    sys.exit(main())
