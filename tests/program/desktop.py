# SPDX-License-Identifier: MIT
"""The real program on a private X server, driven the way a person would:
mouse clicks at the window's control positions and typing, through xdotool."""
import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import time

import rig

WINDOW_X, WINDOW_Y = 150, 150
# The longest any one wait lasts, however much progress the program shows.
PATIENCE = 60
# Control rectangles inside the window: x, y, width, height.
CONTROLS = {
    "channels": (26, 50, 85, 20), "bits": (160, 50, 95, 20), "rate": (305, 50, 110, 20),
    "device": (26, 110, 240, 20), "accept": (310, 105, 100, 25),
    "record": (50, 170, 80, 40), "stop": (50, 270, 80, 40), "save": (50, 220, 80, 40),
    "pause": (310, 140, 100, 25),
}
# The keys that press Record, Stop and Save, as xdotool names them.
KEYS = {"record": "ctrl+shift+r", "stop": "ctrl+shift+t", "save": "ctrl+s", "pause": "ctrl+shift+p"}


class Desktop:
    def __init__(self, program, close_request, rig):
        self.program = program
        self.close_request = close_request
        self.rig = rig
        self.display = None
        self.no_bus = None
        # The X server's process, which a test may kill as a display that goes away.
        self.display_pid = None
        self.parts = contextlib.ExitStack()
        self.process = None
        self.window = None
        # Further variables for the program, such as a Wayland session's.
        self.session = {}
        # Run in the program's process before it starts, such as limits of its own.
        self.preexec = None

    def __enter__(self):
        folder = self.parts.enter_context(rig.part("display"))
        self.display = rig.environment(folder)["DISPLAY"]
        # A socket nobody listens on, in the display's own folder.
        self.no_bus = os.path.join(folder, "no_session_bus")
        with open(os.path.join(folder, "display.group")) as group:
            self.display_pid = int(group.read())
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.parts.close()

    def environment(self, home=None):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        # A desktop always tells its programs where the session bus is. Told
        # nothing, Qt's accessibility bridge would have libdbus fork
        # dbus-launch from the window's thread, beside the audio threads; a
        # child forked so can hang before it execs (it did under
        # AddressSanitizer), and the window with it. A test's own buses, put
        # in os.environ or the session, take the place of this one, which
        # leads nowhere.
        if not env.get("DBUS_SESSION_BUS_ADDRESS"):
            env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={self.no_bus}"
        env.update(rig.environment(self.rig))
        if home:
            env["HOME"] = home
        env.pop("QT_QPA_PLATFORM", None)
        env.update(self.session)
        return env

    def launch(self, folder, home=None):
        """Starts a copy of the program and returns it once its window shows."""
        before = set(self.find_windows("^Ostrelle - Beta 2"))
        process = subprocess.Popen([self.program], cwd=folder, env=self.environment(home),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=self.preexec)

        def new_window():
            if process.poll() is not None:
                raise AssertionError(f"the program ended early with {process.returncode}: "
                                     + process.stderr.read().decode(errors="replace")[-2000:])
            return [window for window in self.find_windows("^Ostrelle - Beta 2") if window not in before]
        try:
            new = wait_while_progressing(process, new_window, "no new program window", 10)
        except AssertionError:
            if process.poll() is None:
                process.kill()
            raise
        time.sleep(0.2)
        return process, new[0]

    def start(self, folder, home=None):
        self.process, self.window = self.launch(folder, home)

    def run(self, *command, check=True):
        return subprocess.run(list(command), env=self.environment(), capture_output=True, text=True, check=check)

    def run_bytes(self, *command):
        return subprocess.run(list(command), env=self.environment(), capture_output=True, check=True).stdout

    def find_windows(self, name):
        result = self.run("xdotool", "search", "--onlyvisible", "--name", name, check=False)
        return [line for line in result.stdout.split() if line]

    def wait_for_window(self, name, timeout=10, limit=PATIENCE, strict=False):
        """Waits for a window while the program works towards it: the wait
        ends in failure once the program has shown no progress for `timeout`
        seconds (see wait_while_progressing). `strict` gives it `timeout`
        seconds in all, for a window the program promises by then."""
        def found():
            if self.process and self.process.poll() is not None:
                raise AssertionError(f"the program ended early with {self.process.returncode}")
            return self.find_windows(name)
        try:
            windows = wait_while_progressing(None if strict else self.process, found, f"no window named {name!r}",
                                             timeout, limit)
        except AssertionError as failure:
            raise AssertionError(f"{failure}; the windows shown: {self.window_names()}") from None
        time.sleep(0.2)
        return windows[0]

    def wait_for_focus(self, name, timeout=10):
        """Waits until the window whose name begins with `name` has the keyboard."""
        def focused():
            return self.run("xdotool", "getwindowfocus", "getwindowname", check=False).stdout.strip()
        try:
            wait_while_progressing(None, lambda: focused().startswith(name), f"{name!r} never had the keyboard",
                                   timeout)
        except AssertionError as failure:
            raise AssertionError(f"{failure}; {focused()!r} had it") from None

    def window_names(self):
        """The names of the windows shown, for a failure's message."""
        return [self.run("xdotool", "getwindowname", window, check=False).stdout.strip()
                for window in self.find_windows(".")]

    def wait_for_growth(self, path, timeout=10, beyond=0):
        """Waits, while the program shows progress, until audio reaches the
        file (more than `beyond` bytes of it): a fresh stream on the sound
        server takes a moment before it delivers."""
        try:
            wait_while_progressing(self.process, lambda: os.path.exists(path) and os.path.getsize(path) > beyond,
                                   f"no audio reached {path}", timeout)
        except AssertionError as failure:
            # Whether the click was taken, and what the program shows, tell a
            # stream that never delivered from a Record that never happened.
            raise AssertionError(f"{failure}; Stop {'enabled' if self.enabled('stop') else 'disabled'}; "
                                 f"the windows shown: {self.window_names()}\n{self.stacks()}") from None

    def wait_until_gone(self, name, timeout=10):
        wait_while_progressing(self.process, lambda: not self.find_windows(name), f"the window {name!r} stays",
                               timeout)

    def wait_until_idle(self, files=(), quiet=1.0, limit=PATIENCE):
        """Waits until the program has shown no progress for `quiet` seconds
        (see program_activity; `files` count too): it has done what the last
        input asked of it, and waits for the next."""
        last = program_activity(self.process, files)
        started = quiet_since = time.monotonic()
        while time.monotonic() - quiet_since < quiet:
            time.sleep(0.05)
            current = program_activity(self.process, files)
            if current != last:
                last, quiet_since = current, time.monotonic()
            if time.monotonic() - started > limit:
                raise AssertionError(f"the program still works after {limit} s")

    def enabled(self, control):
        """Whether a button shows enabled: its caption is drawn dark, where
        a disabled one's is grey. Of a list: whether it shows an item."""
        x, y, width, height = CONTROLS[control]
        image = self.run_bytes("import", "-window", "root", "-crop",
                               f"{width - 8}x{height - 8}+{WINDOW_X + x + 4}+{WINDOW_Y + y + 4}", "+repage", "ppm:-")
        header = image.split(maxsplit=4)
        pixels = header[4][1:] if header[4][:1].isspace() else header[4]
        return any(max(pixels[offset:offset + 3]) < 90 for offset in range(0, len(pixels) - 2, 3))

    def wait_until_enabled(self, control, enabled=True, files=()):
        """Waits, while the program shows progress, until a button shows the
        state the program gives it once it has handled what came before. A
        click sent sooner would be dropped, as a click on a disabled button
        is, and a busy machine makes that happen."""
        wait_while_progressing(self.process, lambda: self.enabled(control) == enabled,
                               f"the {control} button never showed {'enabled' if enabled else 'disabled'}", 10,
                               files=files)

    def accept(self):
        """ACCEPT, then the wait for Record to be enabled: the stream is open."""
        self.click("accept")
        self.wait_until_enabled("record")

    def stop(self, files=(), keys=False):
        """Stop (with the mouse, or its keys), then the wait for Stop to be
        disabled: the take has ended. The take's file growing while the ring
        drains counts as progress."""
        self.press("stop", keys)
        self.wait_until_enabled("stop", False, files)

    def click(self, control):
        x, y, width, height = CONTROLS[control]
        self.click_at(WINDOW_X + x + width // 2, WINDOW_Y + y + height // 2)

    def press(self, control, keys=False):
        """Presses a button with the mouse, or with its keys."""
        if keys:
            self.keys(KEYS[control])
            time.sleep(0.1)
        else:
            self.click(control)

    def click_at(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1")
        time.sleep(0.15)

    def keys(self, *names):
        for name in names:
            self.run("xdotool", "key", name)
            time.sleep(0.05)

    def type_text(self, text):
        self.run("xdotool", "type", "--delay", "20", text)

    def choose(self, control, presses):
        """Moves a list's selection by turning the mouse wheel over it. A click
        would open its popup, and on a busy machine the popup can appear after
        the key meant to close it, leaving the choice uncommitted."""
        x, y, width, height = CONTROLS[control]
        # The device list fills once PortAudio has started, which the window
        # does not wait for.
        if control == "device":
            wait_while_progressing(self.process, lambda: self.enabled("device"), "the device list stays empty", 10)
        button = "5" if presses > 0 else "4"
        self.run("xdotool", "mousemove", str(WINDOW_X + x + width // 2), str(WINDOW_Y + y + height // 2),
                 "click", "--repeat", str(abs(presses)), "--delay", "50", button)
        time.sleep(0.15)

    def save_as(self, name, done_limit=PATIENCE, keys=False):
        """Save (with the mouse, or its keys), type the name in the dialog, then
        confirm "Done!" and "All Done!". A save takes as long as it shows
        progress, up to done_limit seconds."""
        self.press("save", keys)
        self.wait_for_window("Select a file")
        # Shown is not yet focused: on a busy machine the name could be
        # typed into the window beneath.
        self.wait_for_focus("Select a file")
        self.type_text(name)
        self.keys("Return")
        self.wait_for_window("Done!", limit=done_limit)
        self.keys("Return")
        self.wait_for_window("All Done!")
        self.keys("Return")
        self.wait_until_gone("All Done!")

    def request_close(self):
        subprocess.run([self.close_request, self.window], env=self.environment(), check=True)

    def finish(self, timeout=10):
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            stacks = self.stacks()
            self.process.kill()
            raise AssertionError("the program did not end after the close request\n" + stacks)
        return self.process.returncode, out.decode(errors="replace"), err.decode(errors="replace")

    def stacks(self):
        """Where each of the program's threads waits, where a debugger is at
        hand: it tells a hang that happens once in many runs from one that
        never ends."""
        if not shutil.which("gdb"):
            return ""
        try:
            return subprocess.run(["gdb", "-batch", "-p", str(self.process.pid), "-ex", "thread apply all bt"],
                                  capture_output=True, text=True, timeout=60).stdout
        except subprocess.TimeoutExpired:
            return "(the debugger did not answer)"

    def screenshot(self, path):
        self.run("import", "-window", "root", path)


class PingManager:
    """The ping manager (tests/program/ping_manager.cpp) on a desktop's
    display, once it takes signals. restart() counts every ping from then
    on; summary() ends it and returns (sent, answered, longest ms)."""

    def __init__(self, program, desktop):
        self.process = subprocess.Popen([program], env=desktop.environment(), stdout=subprocess.PIPE, text=True)
        # A signal sent sooner would end it with nothing said.
        if self.process.stdout.readline().strip() != "ready":
            self.process.kill()
            raise AssertionError("the ping manager did not start")

    def restart(self):
        self.process.send_signal(signal.SIGUSR1)

    def summary(self):
        self.process.terminate()
        words = self.process.communicate(timeout=10)[0].split()
        return int(words[1]), int(words[3]), float(words[5])


def program_activity(process, files=()):
    """What the program has done so far, as seen from outside: the CPU time
    of its window thread (which draws, answers and saves), the sizes of
    `files`, and, while any of its threads waits on the disk, a value that
    changes every time. None once the program is gone. Its reads and writes
    are left out: the X server and the sound server talk to it, and a window
    manager's pings are answered, whether it makes progress or not."""
    task = f"/proc/{process.pid}/task"
    try:
        with open(f"{task}/{process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        waiting_on_disk = None
        for thread in os.listdir(task):
            with open(f"{task}/{thread}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "D":
                    waiting_on_disk = time.monotonic()
    except (FileNotFoundError, ProcessLookupError):
        return None
    sizes = tuple(os.path.getsize(path) if os.path.exists(path) else -1 for path in files)
    return fields[11], fields[12], sizes, waiting_on_disk


def thread_names(process):
    """The names the program's threads go by, as top shows them."""
    names = []
    for thread in os.listdir(f"/proc/{process.pid}/task"):
        with contextlib.suppress(FileNotFoundError), open(f"/proc/{process.pid}/task/{thread}/comm") as comm:
            names.append(comm.read().strip())
    return names


def wait_while_progressing(process, found, failure, timeout, limit=PATIENCE, files=()):
    """Polls found() until it returns something true, and returns that.
    A busy machine slows the program, so the wait is not a fixed time: it
    fails once the program (given as a subprocess) has shown no progress for
    `timeout` seconds, and in any case after `limit` seconds. A program that
    waits for input that never came, or stopped working, shows none. Without
    a program the wait is `timeout` seconds in all. The growth of `files`
    counts as progress too."""
    started = quiet_since = time.monotonic()
    last = program_activity(process, files) if process else None
    while True:
        result = found()
        if result:
            return result
        now = time.monotonic()
        current = program_activity(process, files) if process else None
        if current != last:
            last, quiet_since = current, now
        if now - quiet_since > timeout:
            raise AssertionError(f"{failure} (the program showed no progress for {timeout} s)")
        if now - started > limit:
            raise AssertionError(f"{failure} after {limit} s")
        time.sleep(0.02)


def paced_device(home, sound, seconds=30, device_input=None):
    """A capture device, listed second, that hands out random bytes (or the
    bytes given) at the sound server's pace: the ALSA file plugin reads one
    frame of a file for each frame the server delivers. Returns the bytes
    the file holds. Programs find the device through home's .asoundrc."""
    if device_input is None:
        device_input = os.urandom(44100 * 4 * seconds)
    with open(os.path.join(home, "paced.raw"), "wb") as raw:
        raw.write(device_input)
    rig.devices(home, "ostrelle_paced", rig.environment(sound)["OSTRELLE_SOUND_DEVICE"], f"{home}/paced.raw", "")
    return device_input


def tap_device(home, sound, taps):
    """A capture device, listed second, that is the sound server's own with a
    tap on it: the ALSA file plugin writes every frame the server delivers
    to the program into a file in the folder `taps`, and returns its path.
    The plugin writes from the audio thread, so `taps` is best in memory
    (see tap_folder): a disk busy with other work would make the stream
    overrun. The file lags the program by what the plugin holds back, a
    fraction of a second."""
    tap = os.path.join(taps, "tap.raw")
    rig.devices(home, "ostrelle_tap", rig.environment(sound)["OSTRELLE_SOUND_DEVICE"], "", tap)
    return tap


def tap_folder():
    """A temporary folder in memory (/dev/shm) where there is one."""
    return tempfile.TemporaryDirectory(prefix="ostrelle-tap.", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


def delivered(process, home):
    """How many bytes the paced device has handed the program so far: the
    offset of the program's own descriptor on the device's file, which moves
    exactly as the device delivers. 0 before the program opens the device."""
    source = os.path.realpath(os.path.join(home, "paced.raw"))
    descriptors = f"/proc/{process.pid}/fd"
    for name in os.listdir(descriptors):
        try:
            if os.readlink(os.path.join(descriptors, name)) != source:
                continue
            with open(f"/proc/{process.pid}/fdinfo/{name}") as info:
                return max(int(line.split()[1]) for line in info if line.startswith("pos:"))
        except (FileNotFoundError, ValueError):
            continue
    return 0


def temporary_folder():
    return tempfile.TemporaryDirectory(prefix="ostrelle-program.")
