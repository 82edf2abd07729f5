# SPDX-License-Identifier: MIT
"""The program as a screen reader sees it: a D-Bus session bus of the test's
own with the AT-SPI bus on it, and the program's accessible tree read through
pyatspi, the library Orca reads it with.

The rig's launcher starts the session bus and Debian's at-spi-bus-launcher,
which starts the accessibility bus and, through it, the registry, all in
folders of the test's own, so two runs never meet, and the user's own buses
and settings are never touched."""
import contextlib
import os
import time

import rig


class AccessibilityBus:
    """A session bus and the AT-SPI bus on it, with the desktop's switch for
    screen readers on, as a desktop has it while Orca runs: Qt reads that
    switch (org.a11y.Status) and only then lays its widgets open."""

    def __init__(self):
        self.parts = contextlib.ExitStack()
        self.folder = None

    def __enter__(self):
        self.folder = self.parts.enter_context(rig.part("accessibility"))
        return self

    def environment(self):
        """What a client of these buses needs: the program, and pyatspi."""
        return rig.environment(self.folder)

    def __exit__(self, *exc):
        self.parts.close()


class Reader:
    """The program's accessible tree, read live on every call."""

    def __init__(self, bus):
        # libatspi finds the buses when first used, and keeps them for the
        # life of the process: one bus per process.
        os.environ.update(bus.environment())
        import pyatspi
        from gi.repository import Atspi, GLib
        self.pyatspi = pyatspi
        self.atspi = Atspi
        # What a question about a control that has just gone raises.
        self.error = GLib.Error
        # A role is read by its number and told in at-spi2-core 2.46's words
        # (Debian 12): 2.56 (Debian 13) renamed the push button role "button"
        # (ATSPI_ROLE_BUTTON), the same number under a new spelling.
        self.role_words = {int(pyatspi.ROLE_PUSH_BUTTON): "push button"}

    def application(self, pid, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for application in self.pyatspi.Registry.getDesktop(0):
                if application is not None and application.get_process_id() == pid:
                    # Nothing cached: every question goes to the program.
                    application.set_cache_mask(self.atspi.Cache.NONE)
                    return application
            time.sleep(0.1)
        raise AssertionError(f"process {pid} shows no accessible application")

    def window(self, application, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for child in application:
                if child is not None and child.getRoleName() == "frame":
                    return child
            time.sleep(0.1)
        raise AssertionError("the application shows no window")

    def controls(self, window):
        """Every control in the window, by its rectangle in the window."""
        # On the screen, and taken from the window's place: Qt's answer in
        # window coordinates moves the rectangle's size along with its corner.
        origin = window.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        found = {}
        for child in window:
            if child is None:
                continue
            extents = child.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
            found[(extents.x - origin.x, extents.y - origin.y, extents.width, extents.height)] = child
        return found

    def seen(self, accessible):
        """What a screen reader tells of a control: role, name, whether it is
        enabled, its description, the names of the controls labelling it, and
        its actions with their keys."""
        states = accessible.getState()
        labels = []
        for relation in accessible.getRelationSet():
            if relation.getRelationType() == self.pyatspi.RELATION_LABELLED_BY:
                labels += [relation.getTarget(i).name for i in range(relation.getNTargets())]
        actions = {}
        try:
            action = accessible.queryAction()
            actions = {action.getName(i): action.getKeyBinding(i) for i in range(action.nActions)}
        except NotImplementedError:
            pass
        role = self.role_words.get(int(accessible.getRole()), accessible.getRoleName())
        return {"role": role, "name": accessible.name,
                "enabled": states.contains(self.pyatspi.STATE_ENABLED),
                "checked": states.contains(self.pyatspi.STATE_CHECKED), "description": accessible.description,
                "labels": labels, "actions": actions}

    def is_active(self, window):
        return window.getState().contains(self.pyatspi.STATE_ACTIVE)

    def press(self, accessible, name="Press"):
        """Does the control's Press action (or another), as a screen reader's user does."""
        action = accessible.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        if name not in names:
            raise AssertionError(f"{accessible.name!r} offers no {name} action, only {names}")
        action.doAction(names.index(name))
