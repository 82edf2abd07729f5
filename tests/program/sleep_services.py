# SPDX-License-Identifier: MIT
"""Private system and session buses of the rig's, and the stand-ins for
logind and the desktop portal on them (tests/dbus/sleep_services.cpp),
which tell what they were asked and what became of each lock."""
import contextlib
import os
import time

import rig

STAND_IN = os.path.join(os.environ.get("BUILD_DIR", ""), "tests", "sleep_services")


class SleepServices:
    """buses: whether the two buses run at all (without them the addresses
    lead nowhere); logind, portal: which stand-ins run on them."""

    def __init__(self, buses=True, logind=True, portal=True):
        self.what = (["system", "session"] if buses else []) + (["logind"] if logind else []) + \
            (["portal"] if portal else [])
        self.parts = contextlib.ExitStack()
        self.folder = None
        self.seen = []

    def __enter__(self):
        self.folder = self.parts.enter_context(rig.part("buses", STAND_IN, *self.what))
        return self

    def __exit__(self, *exc):
        self.parts.close()

    def socket(self, kind):
        return os.path.join(self.folder, kind + "_bus")

    def environment(self):
        """Where the program finds the buses; without buses, sockets that do not exist."""
        return rig.environment(self.folder)

    def tell(self, command):
        commands = os.open(os.path.join(self.folder, "commands"), os.O_WRONLY | os.O_NONBLOCK)
        os.write(commands, (command + "\n").encode())
        os.close(commands)

    def read_lines(self):
        """Every whole line the stand-ins told so far, its fields apart."""
        try:
            with open(os.path.join(self.folder, "told")) as told:
                self.seen = [line.rstrip("\n").split("\t") for line in told if line.endswith("\n")]
        except FileNotFoundError:
            self.seen = []

    def wait_for(self, kind, timeout=10, **fields):
        """The first line of this kind whose fields (number, what, who, why,
        mode for an inhibit; number, window, flags, reason for the portal)
        match, whenever it came."""
        names = {"inhibit": ["number", "what", "who", "why", "mode"],
                 "portal": ["number", "window", "flags", "reason"]}.get(kind, ["number"])
        deadline = time.time() + timeout
        while True:
            self.read_lines()
            for line in self.seen:
                values = dict(zip(names, line[1:]))
                if line[0] == kind and all(values.get(name) == str(value) for name, value in fields.items()):
                    return values
            if time.time() > deadline:
                raise AssertionError(f"no {kind} {fields}; the stand-ins told {self.seen}")
            time.sleep(0.02)

    def told(self, kind):
        """Every line of this kind so far."""
        self.read_lines()
        return [line for line in self.seen if line[0] == kind]
