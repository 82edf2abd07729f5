# SPDX-License-Identifier: MIT
"""Private system and session buses, each a dbus-daemon of the test's own
with its socket in a folder of the test's own, and the stand-ins for logind
and the desktop portal on them (tests/dbus/sleep_services.cpp), which tell
what they were asked and what became of each lock."""
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from private_bus import start_private_bus

STAND_IN = os.path.join(os.environ.get("BUILD_DIR", ""), "tests", "sleep_services")

class SleepServices:
    """buses: whether the two buses run at all (without them the addresses
    lead nowhere); logind, portal: which stand-ins run on them."""

    def __init__(self, buses=True, logind=True, portal=True):
        self.buses, self.logind, self.portal = buses, logind, portal
        self.folder = None
        self.processes = []
        self.stand_in = None
        self.lines = queue.Queue()
        self.seen = []

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="ostrelle-buses.")
        try:
            if self.buses:
                for kind in ("system", "session"):
                    self.start_bus(kind)
            if self.logind or self.portal:
                options = (["--logind"] if self.logind else []) + (["--portal"] if self.portal else [])
                env = dict(os.environ, **self.environment())
                self.stand_in = subprocess.Popen([STAND_IN] + options, env=env, stdin=subprocess.PIPE,
                                                 stdout=subprocess.PIPE, start_new_session=True, text=True)
                self.processes.append(self.stand_in)
                threading.Thread(target=self.read_lines, daemon=True).start()
                self.wait_for("ready")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
            process.wait()
        if self.stand_in:
            self.stand_in.stdin.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def socket(self, kind):
        return os.path.join(self.folder, kind + "_bus")

    def start_bus(self, kind):
        daemon, address = start_private_bus(self.socket(kind))
        self.processes.append(daemon)
        if not address:
            raise AssertionError(f"the private {kind} bus did not start")

    def environment(self):
        """Where the program finds the buses; without buses, sockets that do not exist."""
        return {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + self.socket("system"),
                "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + self.socket("session")}

    def read_lines(self):
        for line in self.stand_in.stdout:
            self.lines.put(line.rstrip("\n").split("\t"))

    def tell(self, command):
        self.stand_in.stdin.write(command + "\n")
        self.stand_in.stdin.flush()

    def wait_for(self, kind, timeout=10, **fields):
        """The first line of this kind whose fields (number, what, who, why,
        mode for an inhibit; number, window, flags, reason for the portal)
        match, whenever it came."""
        names = {"inhibit": ["number", "what", "who", "why", "mode"],
                 "portal": ["number", "window", "flags", "reason"]}.get(kind, ["number"])
        deadline = time.time() + timeout
        while True:
            for line in self.seen:
                values = dict(zip(names, line[1:]))
                if line[0] == kind and all(values.get(name) == str(value) for name, value in fields.items()):
                    return values
            try:
                self.seen.append(self.lines.get(timeout=max(0.0, deadline - time.time())))
            except queue.Empty:
                raise AssertionError(f"no {kind} {fields}; the stand-ins told {self.seen}")

    def told(self, kind):
        """Every line of this kind so far."""
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return [line for line in self.seen if line[0] == kind]
