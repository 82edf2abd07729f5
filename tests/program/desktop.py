# SPDX-License-Identifier: MIT
"""The real program on a private X server, driven the way a person would:
mouse clicks at the window's control positions and typing, through xdotool."""
import os
import subprocess
import tempfile
import time

WINDOW_X, WINDOW_Y = 150, 150
# Control rectangles inside the window: x, y, width, height.
CONTROLS = {
    "channels": (26, 50, 85, 20), "bits": (160, 50, 95, 20), "rate": (305, 50, 110, 20),
    "device": (26, 110, 240, 20), "accept": (310, 105, 100, 25),
    "record": (50, 170, 80, 40), "stop": (50, 270, 80, 40), "save": (50, 220, 80, 40),
}


class Desktop:
    def __init__(self, program, close_request, rig):
        self.program = program
        self.close_request = close_request
        self.rig = rig
        self.display = None
        self.xvfb = None
        self.process = None
        self.window = None
        # Further variables for the program, such as a Wayland session's.
        self.session = {}

    def __enter__(self):
        # Xvfb picks a free display itself and names it once it accepts
        # clients, so two test runs never race for one. Without -noreset it
        # restarts whenever its last client leaves, and a program starting
        # just then finds no display.
        reader, writer = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                                      "-noreset"],
                                     pass_fds=(writer,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(reader, 16)
            if not chunk:
                break
            number += chunk
        os.close(reader)
        if not number.strip():
            raise AssertionError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        deadline = time.time() + 10
        while self.run("xdpyinfo", check=False).returncode != 0:
            if time.time() > deadline:
                raise AssertionError(f"Xvfb on {self.display} accepts no clients")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.xvfb.terminate()
        self.xvfb.wait()

    def environment(self, home=None):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.update(rig_environment(self.rig))
        if home:
            env["HOME"] = home
        env.pop("QT_QPA_PLATFORM", None)
        env.update(self.session)
        return env

    def launch(self, folder, home=None):
        """Starts a copy of the program and returns it once its window shows."""
        before = set(self.find_windows("^Ostrelle - Beta 2"))
        process = subprocess.Popen([self.program], cwd=folder, env=self.environment(home),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 10
        while time.time() < deadline:
            new = [window for window in self.find_windows("^Ostrelle - Beta 2") if window not in before]
            if new:
                time.sleep(0.2)
                return process, new[0]
            if process.poll() is not None:
                raise AssertionError(f"the program ended early with {process.returncode}: "
                                     + process.stderr.read().decode(errors="replace")[-2000:])
            time.sleep(0.05)
        process.kill()
        raise AssertionError("no new program window")

    def start(self, folder, home=None):
        self.process, self.window = self.launch(folder, home)

    def run(self, *command, check=True):
        return subprocess.run(list(command), env=self.environment(), capture_output=True, text=True, check=check)

    def find_windows(self, name):
        result = self.run("xdotool", "search", "--onlyvisible", "--name", name, check=False)
        return [line for line in result.stdout.split() if line]

    def wait_for_window(self, name, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self.find_windows(name)
            if windows:
                time.sleep(0.2)
                return windows[0]
            if self.process and self.process.poll() is not None:
                raise AssertionError(f"the program ended early with {self.process.returncode}")
            time.sleep(0.05)
        raise AssertionError(f"no window named {name!r}")

    def wait_for_growth(self, path, timeout=10):
        """Waits until audio reaches the file, and returns when that was.

        A fresh stream on the sound server takes a moment before it delivers;
        a take is timed from its first audio, not from the click."""
        deadline = time.time() + timeout
        while not (os.path.exists(path) and os.path.getsize(path) > 0):
            if time.time() > deadline:
                raise AssertionError(f"no audio reached {path}")
            time.sleep(0.01)
        return time.time()

    def wait_until_gone(self, name, timeout=10):
        deadline = time.time() + timeout
        while self.find_windows(name):
            if time.time() > deadline:
                raise AssertionError(f"the window {name!r} stays")
            time.sleep(0.05)

    def click(self, control):
        x, y, width, height = CONTROLS[control]
        self.click_at(WINDOW_X + x + width // 2, WINDOW_Y + y + height // 2)

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
        button = "5" if presses > 0 else "4"
        self.run("xdotool", "mousemove", str(WINDOW_X + x + width // 2), str(WINDOW_Y + y + height // 2),
                 "click", "--repeat", str(abs(presses)), "--delay", "50", button)
        time.sleep(0.15)

    def save_as(self, name, dialog_timeout=10, done_timeout=10):
        """Save, type the name in the dialog, then confirm "Done!" and "All Done!"."""
        self.click("save")
        self.wait_for_window("Select a file", timeout=dialog_timeout)
        self.type_text(name)
        self.keys("Return")
        self.wait_for_window("Done!", timeout=done_timeout)
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
            self.process.kill()
            raise AssertionError("the program did not end after the close request")
        return self.process.returncode, out.decode(errors="replace"), err.decode(errors="replace")

    def screenshot(self, path):
        self.run("import", "-window", "root", path)


def rig_environment(rig):
    """What the private sound server's clients need, from its DIR/env."""
    env = {}
    with open(os.path.join(rig, "env")) as lines:
        for line in lines:
            if line.startswith("export ") and "=" in line:
                name, value = line[len("export "):].rstrip("\n").split("=", 1)
                env[name] = value
    return env


def rig_underruns(rig):
    """How often the rig's tone has run dry so far, as the server told its player."""
    try:
        with open(os.path.join(rig, "tone.log")) as log:
            return sum(1 for line in log if "nderrun" in line)
    except FileNotFoundError:
        return 0


def paced_device(home, rig, seconds=30, device_input=None):
    """A capture device, listed second, that hands out random bytes (or the
    bytes given) at the sound server's pace: the ALSA file plugin reads one
    frame of a file for each frame the server delivers. Returns the bytes
    the file holds. Programs find the device through home's .asoundrc."""
    if device_input is None:
        device_input = os.urandom(44100 * 4 * seconds)
    with open(os.path.join(home, "paced.raw"), "wb") as raw:
        raw.write(device_input)
    with open(os.path.join(home, ".asoundrc"), "w") as config:
        device = rig_environment(rig)["OSTRELLE_SOUND_DEVICE"]
        config.write(f'pcm.ostrelle_paced {{\n type file\n slave.pcm "{device}"\n file "/dev/null"\n'
                     f' infile "{home}/paced.raw"\n format "raw"\n}}\n')
    return device_input


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
