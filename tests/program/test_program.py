# SPDX-License-Identifier: MIT
"""The whole program under Xvfb with the private sound server, as a user drives it."""
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(__file__))
from desktop import CONTROLS, WINDOW_X, WINDOW_Y, Desktop, rig_environment, rig_underruns, temporary_folder  # noqa: E402

PROGRAM = os.environ["OSTRELLE"]
CLOSE_REQUEST = os.environ["CLOSE_REQUEST"]
PING_MANAGER = os.environ.get("PING_MANAGER", "")
RIG = os.environ["SOUND_RIG"]
SOURCE = os.environ.get("SOURCE_DIR", "")
# A sanitizer's instrumentation slows the program's own loops, its copy
# above all, by an order of magnitude; an unoptimised build by several times.
INSTRUMENTED = os.environ.get("OSTRELLE_SANITIZE", "") != ""
OPTIMISED = os.environ.get("BUILD_TYPE", "") != "Debug" and not INSTRUMENTED


def read_ppm(path):
    data = subprocess.run(["convert", path, "ppm:-"], capture_output=True, check=True).stdout
    parts = data.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    pixels = parts[4][1:] if parts[4][:1].isspace() else parts[4]
    return width, height, pixels


def pixel(image, x, y):
    width, _, pixels = image
    offset = 3 * (y * width + x)
    return tuple(pixels[offset:offset + 3])


def pixels_in(image, rectangle):
    x, y, w, h = rectangle
    return [pixel(image, WINDOW_X + px, WINDOW_Y + py) for py in range(y, y + h) for px in range(x, x + w)]


def rising_crossing_frequency(samples, rate):
    crossings = [i for i in range(1, len(samples)) if samples[i - 1] < 0 <= samples[i]]
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def decode(frames, width, channels):
    step = width * channels
    values = []
    for offset in range(0, len(frames) - step + 1, step):
        values.append(int.from_bytes(frames[offset:offset + width], "little", signed=True))
    return values


class Program(unittest.TestCase):
    def desktop(self):
        return Desktop(PROGRAM, CLOSE_REQUEST, RIG)

    def test_close_before_accept_exits_cleanly_and_quietly(self):
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            desktop.request_close()
            code, out, err = desktop.finish()
            self.assertEqual(code, 0)
            self.assertEqual(err, "", "nothing on the terminal")
            self.assertFalse(os.path.exists(os.path.join(folder, "pelvar.temp")))

    def test_window_looks_as_laid_out(self):
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            window = desktop.find_windows("^Ostrelle - ")[0]
            geometry = desktop.run("xdotool", "getwindowgeometry", window).stdout
            self.assertIn("Position: 150,150", geometry)
            self.assertIn("Geometry: 440x340", geometry)
            shot = os.path.join(folder, "window.png")
            desktop.screenshot(shot)
            image = read_ppm(shot)
            for corner in [(5, 5), (430, 5), (5, 330), (430, 330), (300, 160)]:
                self.assertEqual(pixel(image, WINDOW_X + corner[0], WINDOW_Y + corner[1]), (0, 0, 0), corner)
            green = lambda p: p[1] > 150 and p[0] < 100 and p[2] < 180
            for caption in [(26, 25, 85, 20), (166, 25, 85, 20), (310, 25, 85, 20), (26, 85, 75, 20)]:
                self.assertTrue(any(green(p) for p in pixels_in(image, caption)), caption)
            for name, rectangle in CONTROLS.items():
                inner = (rectangle[0] + 3, rectangle[1] + 3, rectangle[2] - 6, rectangle[3] - 6)
                light = sum(1 for p in pixels_in(image, inner) if min(p) > 150)
                self.assertGreater(light, len(pixels_in(image, inner)) // 2, name)
            # The status labels run past the right edge and are clipped there.
            self.assertEqual(pixel(image, WINDOW_X + 445, WINDOW_Y + 180), (0, 0, 0))
            if os.environ.get("KEEP_SCREENSHOT"):
                shutil.copy(shot, os.environ["KEEP_SCREENSHOT"])
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def record_and_save(self, choices, channels, width, rate):
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            for control, presses in choices:
                desktop.choose(control, presses)
            desktop.click("accept")
            desktop.click("record")
            started = desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            underruns = rig_underruns(RIG)
            time.sleep(2.5)
            desktop.click("stop")
            recorded = time.time() - started
            self.assertEqual(rig_underruns(RIG), underruns, "the rig's tone ran dry during the take: a rig fault")
            desktop.save_as("take")
            desktop.request_close()
            code, _, err = desktop.finish()
            self.assertEqual(code, 0)
            self.assertEqual(err, "")
            path = os.path.join(folder, "take.wav")
            with wave.open(path, "rb") as reader:
                self.assertEqual(reader.getnchannels(), channels)
                self.assertEqual(reader.getsampwidth(), width)
                self.assertEqual(reader.getframerate(), rate)
                frames = reader.readframes(reader.getnframes())
                self.assertAlmostEqual(reader.getnframes() / rate, recorded, delta=0.5)
            with open(os.path.join(folder, "pelvar.temp"), "rb") as temp:
                self.assertEqual(temp.read(), frames, "the file holds exactly the captured samples")
            samples = decode(frames[len(frames) // 2:], width, channels)
            self.assertAlmostEqual(rising_crossing_frequency(samples, rate), 1000, delta=10)
            soxi = subprocess.run(["soxi", path], capture_output=True, text=True)
            self.assertEqual(soxi.returncode, 0, soxi.stderr)

    def test_record_and_save_16_bit_stereo_44100(self):
        self.record_and_save([], 2, 2, 44100)

    def test_record_and_save_24_bit_mono_96000(self):
        self.record_and_save([("channels", -1), ("bits", 1), ("rate", 3)], 1, 3, 96000)

    def test_every_ending_keeps_the_take_whole(self):
        """The close box, a display that goes away, and the signals of a logout,
        a closed terminal and Ctrl+C each end a take with all of it on disk."""
        endings = [
            ("close box", Desktop.request_close, 0),
            ("display lost", lambda desktop: desktop.xvfb.kill(), 1),
            ("SIGTERM", lambda desktop: desktop.process.send_signal(signal.SIGTERM), 0),
            ("SIGINT", lambda desktop: desktop.process.send_signal(signal.SIGINT), 0),
            ("SIGHUP", lambda desktop: desktop.process.send_signal(signal.SIGHUP), 0),
        ]
        for name, end, expected_code in endings:
            with self.subTest(name), temporary_folder() as folder, self.desktop() as desktop:
                desktop.start(folder)
                desktop.click("accept")
                # A new stream on the sound server first hands over in a burst
                # what piled up meanwhile; the take begins once it flows.
                time.sleep(2.5)
                desktop.click("record")
                take = os.path.join(folder, "pelvar.temp")
                started = desktop.wait_for_growth(take)
                time.sleep(1.5)
                recorded = time.time() - started
                end(desktop)
                code, _, err = desktop.finish()
                self.assertEqual(code, expected_code, err)
                if expected_code == 0:
                    self.assertEqual(err, "")
                else:
                    self.assertEqual(len(err.splitlines()), 1, err)
                size = os.path.getsize(take)
                self.assertEqual(size % 4, 0)
                self.assertAlmostEqual(size / 4 / 44100, recorded, delta=0.35)

    def test_sound_server_lost_mid_take(self):
        rig = tempfile.mkdtemp(prefix="ostrelle-lost.")
        server = os.path.join(SOURCE, "tests", "sound", "soundserver.sh")
        subprocess.run([server, "start", rig], check=True)
        try:
            with temporary_folder() as folder, Desktop(PROGRAM, CLOSE_REQUEST, rig) as desktop:
                desktop.start(folder)
                desktop.click("accept")
                desktop.click("record")
                desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
                time.sleep(1.5)
                subprocess.run([server, "kill", rig], check=True)
                # The take ends by itself, as Stop ends it, and says so.
                desktop.wait_for_window("^Error$", timeout=2)
                desktop.keys("Return")
                desktop.wait_until_gone("^Error$")
                desktop.save_as("lost")
                desktop.request_close()
                self.assertEqual(desktop.finish()[0], 0)
                self.assertIn("lost.wav", os.listdir(folder))
                with wave.open(os.path.join(folder, "lost.wav"), "rb") as reader:
                    frames = reader.readframes(reader.getnframes())
                    self.assertGreater(reader.getnframes(), 44100 // 2, "what came before the loss is kept")
                with open(os.path.join(folder, "pelvar.temp"), "rb") as temp:
                    self.assertEqual(temp.read(), frames)
        finally:
            subprocess.run([server, "stop", rig])
            shutil.rmtree(rig, ignore_errors=True)

    def test_second_copy_in_the_same_folder_leaves_the_take_alone(self):
        with temporary_folder() as folder, temporary_folder() as home, self.desktop() as desktop:
            # The first copy records from a device of its own that hands out
            # these bytes at the sound server's pace; it is listed second.
            device_input = os.urandom(44100 * 4 * 30)
            with open(os.path.join(home, "paced.raw"), "wb") as raw:
                raw.write(device_input)
            with open(os.path.join(home, ".asoundrc"), "w") as config:
                device = rig_environment(RIG)["OSTRELLE_SOUND_DEVICE"]
                config.write(f'pcm.ostrelle_paced {{\n type file\n slave.pcm "{device}"\n file "/dev/null"\n'
                             f' infile "{home}/paced.raw"\n format "raw"\n}}\n')
            desktop.start(folder, home)
            desktop.choose("device", 1)
            desktop.click("accept")
            desktop.click("record")
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            time.sleep(1)
            # The second copy opens on top of the first and records from the server's device.
            second, second_window = desktop.launch(folder)
            desktop.click("accept")
            time.sleep(1)
            desktop.click("record")
            desktop.wait_for_window("^Error$")
            desktop.keys("Return")
            subprocess.run([CLOSE_REQUEST, second_window], env=desktop.environment(), check=True)
            _, err = second.communicate(timeout=10)
            self.assertEqual(second.returncode, 0, err)
            time.sleep(1)
            desktop.click("stop")
            desktop.save_as("take")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)
            with wave.open(os.path.join(folder, "take.wav"), "rb") as reader:
                frames = reader.readframes(reader.getnframes())
            self.assertGreater(len(frames), 44100 * 4 * 2)
            start = device_input.find(frames[:64])
            self.assertNotEqual(start, -1, "the take begins with the device's bytes")
            self.assertTrue(device_input[start:start + len(frames)] == frames,
                            "the take is one unbroken stretch of the device's bytes")

    def assert_wav_holds_take(self, path, take):
        """The WAV is in the format noted on the take, and holds its whole frames byte for byte."""
        note = dict(word.split("=", 1) for word in os.getxattr(take, "user.ostrelle.take").decode().split())
        channels, width = int(note["channels"]), int(note["bits"]) // 8
        with wave.open(path, "rb") as reader:
            self.assertEqual((reader.getnchannels(), reader.getsampwidth(), reader.getframerate()),
                             (channels, width, int(note["rate"])))
            frames = reader.readframes(reader.getnframes())
        with open(take, "rb") as temp:
            data = temp.read()
        whole = len(data) // (channels * width) * channels * width
        self.assertGreater(whole, 0)
        self.assertTrue(frames == data[:whole], "the WAV holds the take exactly")

    def test_killed_take_is_offered_back_and_recovered_without_a_display(self):
        with temporary_folder() as folder, temporary_folder() as other, self.desktop() as desktop:
            take = os.path.join(folder, "pelvar.temp")
            desktop.start(folder)
            desktop.choose("channels", -1)
            desktop.choose("bits", 1)
            desktop.click("accept")
            desktop.click("record")
            desktop.wait_for_growth(take)
            time.sleep(1.5)
            desktop.process.kill()
            desktop.process.wait()

            headless = {key: value for key, value in os.environ.items()
                        if key not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}

            def recover(name):
                result = subprocess.run([PROGRAM, "--recover", name], cwd=other, env=headless,
                                        capture_output=True, text=True, timeout=30)
                lines = (result.stdout if result.returncode == 0 else result.stderr).splitlines()
                self.assertEqual(len(lines), 1, result.stdout + result.stderr)
                return result.returncode, lines[0]

            code, reason = recover("take")
            self.assertEqual(code, 1)
            self.assertIn("nothing to recover", reason)
            shutil.copy2(take, os.path.join(other, "pelvar.temp"))  # the note comes along
            with open(os.path.join(other, "taken.wav"), "w") as mine:
                mine.write("mine")
            code, reason = recover("taken")
            self.assertEqual(code, 1)
            self.assertIn("taken.wav already exists", reason)
            with open(os.path.join(other, "taken.wav")) as mine:
                self.assertEqual(mine.read(), "mine")
            code, said = recover("take")
            self.assertEqual(code, 0, said)
            self.assertIn("take.wav", said)
            self.assert_wav_holds_take(os.path.join(other, "take.wav"), os.path.join(other, "pelvar.temp"))
            code, reason = recover("again")
            self.assertEqual(code, 1)
            self.assertIn("saved already", reason)

            desktop.start(folder)
            desktop.wait_for_window("^Unsaved take$")
            desktop.keys("Return")
            desktop.wait_for_window("Select a file")
            desktop.type_text("take")
            desktop.keys("Return")
            desktop.wait_for_window("Done!")
            desktop.keys("Return")
            desktop.wait_until_gone("Done!")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)
            self.assert_wav_holds_take(os.path.join(folder, "take.wav"), take)

            desktop.start(folder)
            time.sleep(1.5)
            self.assertEqual(desktop.find_windows("^Unsaved take$"), [], "a saved take is not offered again")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    @staticmethod
    def fast_device(home):
        """A device that hands out what reaches a FIFO as fast as it is read:
        random bytes until the feeder is killed, then nothing, so that the
        capture thread sleeps through a save as behind a real device. Returns
        the FIFO, held open so the device never meets the end of its input
        (close it before the program ends), and the feeder."""
        fifo = os.path.join(home, "device.fifo")
        os.mkfifo(fifo)
        with open(os.path.join(home, ".asoundrc"), "w") as config:
            config.write('pcm.ostrelle_fast {\n type file\n slave.pcm "null"\n file "/dev/null"\n'
                         f' infile "{fifo}"\n format "raw"\n}}\n')
        held = os.open(fifo, os.O_RDWR)
        return held, subprocess.Popen(["cat", "/dev/urandom"], stdout=held)

    def record_fast(self, desktop, folder, home, feeder, take_bytes):
        """Records at least take_bytes from the fast device, then stops; returns the take's path."""
        desktop.start(folder, home)
        desktop.choose("device", 1)
        # 192000 Hz, 32 bits: the take writer's ring holds ten seconds of
        # the format, so the largest one fills the take fastest.
        desktop.choose("rate", 5)
        desktop.choose("bits", 2)
        desktop.click("accept")
        desktop.click("record")
        take = os.path.join(folder, "pelvar.temp")
        desktop.wait_for_growth(take)
        deadline = time.time() + 60 + take_bytes / (10 << 20)
        while os.path.getsize(take) < take_bytes and time.time() < deadline:
            time.sleep(0.1)
        feeder.kill()
        feeder.wait()
        desktop.click("stop")
        # At full device speed the ring overflows, and Stop says how much was lost.
        try:
            desktop.wait_for_window("^Error$", timeout=2)
            desktop.keys("Return")
        except AssertionError:
            pass
        self.assertGreaterEqual(os.path.getsize(take), take_bytes)
        return take

    def test_window_answers_pings_through_a_long_save(self):
        # PING_TAKE_MIB=2048 tries a 2 GiB take by hand. An instrumented
        # build saves a tenth of the take in about as long as the others save
        # the whole, which answers as many pings.
        take_bytes = int(os.environ.get("PING_TAKE_MIB", "40" if INSTRUMENTED else "400")) << 20
        copy_rate = (20 << 20) if OPTIMISED else (2 << 20)
        with temporary_folder() as folder, temporary_folder() as home, self.desktop() as desktop:
            held, feeder = self.fast_device(home)
            manager = subprocess.Popen([PING_MANAGER], env=desktop.environment(), stdout=subprocess.PIPE, text=True)
            try:
                take = self.record_fast(desktop, folder, home, feeder, take_bytes)
                # From here on every ping counts.
                manager.send_signal(signal.SIGUSR1)
                desktop.save_as("take", done_timeout=10 + take_bytes / copy_rate)
                # The end of the input lets the capture thread leave its read.
                os.close(held)
                held = None
                desktop.request_close()
                self.assertEqual(desktop.finish()[0], 0)
            finally:
                feeder.kill()
                if held is not None:
                    os.close(held)
                manager.terminate()
                summary = manager.communicate(timeout=10)[0].split()
            sent, answered, longest = int(summary[1]), int(summary[3]), float(summary[5])
            # The figure, for a run by hand (ctest -V).
            print(f"{os.path.getsize(take)} bytes saved; {answered} of {sent} pings answered, "
                  f"the slowest in {longest:.0f} ms", file=sys.stderr)
            self.assertGreater(answered, 20, summary)
            self.assertLess(longest, 1000, f"a ping waited {longest:.0f} ms; {answered} of {sent} answered")
            with open(take, "rb") as recorded, open(os.path.join(folder, "take.wav"), "rb") as saved:
                saved.seek(46)
                while True:
                    block = recorded.read(1 << 22)
                    self.assertTrue(block == saved.read(1 << 22), "the WAV holds the take")
                    if not block:
                        break

    @staticmethod
    def stop_during_copy(desktop, folder, take):
        """Stops the program (SIGSTOP) as soon as its title shows the copy,
        so that a signal sent next meets the copy however busy the machine,
        and returns how many bytes its unfinished WAV in folder holds and how
        many the whole would. Left running, a loaded machine could let a
        short copy end between the title showing and the signal."""
        deadline = time.time() + 10
        while not desktop.find_windows("Wait[.][.][.]Memory Decode"):
            if time.time() > deadline:
                raise AssertionError("the copy never showed in the title")
            time.sleep(0.01)
        desktop.process.send_signal(signal.SIGSTOP)
        descriptors = f"/proc/{desktop.process.pid}/fd"
        inside = os.path.realpath(folder) + "/"
        outputs = [os.stat(os.path.join(descriptors, name)).st_size for name in os.listdir(descriptors)
                   if os.readlink(os.path.join(descriptors, name)).startswith(inside)
                   and os.readlink(os.path.join(descriptors, name)) != os.path.realpath(take)]
        if len(outputs) != 1:
            raise AssertionError(f"not one WAV being written: {outputs}")
        return outputs[0], os.path.getsize(take) + 46

    def test_signal_during_a_save_leaves_the_earlier_file(self):
        # While the overwrite question is up it is closed unanswered; during
        # the copy the copy stops.
        for answer_yes, take_bytes in [(False, 4 << 20), (True, 200 << 20)]:
            with self.subTest(copying=answer_yes), temporary_folder() as folder, temporary_folder() as home, \
                    self.desktop() as desktop:
                earlier = os.urandom(100000)
                with open(os.path.join(folder, "take.wav"), "wb") as existing:
                    existing.write(earlier)
                held, feeder = self.fast_device(home)
                try:
                    take = self.record_fast(desktop, folder, home, feeder, take_bytes)
                    desktop.click("save")
                    desktop.wait_for_window("Select a file")
                    desktop.type_text("take")
                    desktop.keys("Return")
                    desktop.wait_for_window("^Overwrite file[?]$")
                    if answer_yes:
                        desktop.keys("Return")
                        written, whole = self.stop_during_copy(desktop, folder, take)
                        print(f"stopped with {written} of {whole} bytes written", file=sys.stderr)
                        # Short of the end by more than the program's write buffer.
                        self.assertLess(written, whole - (64 << 10), "the copy had ended before the signal")
                    desktop.process.send_signal(signal.SIGTERM)
                    desktop.process.send_signal(signal.SIGCONT)
                    signalled = time.time()
                    # The end of the input lets the capture thread leave its read.
                    os.close(held)
                    held = None
                    code, _, err = desktop.finish()
                    self.assertLess(time.time() - signalled, 2, "the copy stops within a second")
                finally:
                    feeder.kill()
                    if held is not None:
                        os.close(held)
                self.assertEqual(code, 0, err)
                self.assertEqual(err, "")
                self.assertEqual(sorted(os.listdir(folder)), ["pelvar.temp", "take.wav"], "nothing unfinished is left")
                with open(os.path.join(folder, "take.wav"), "rb") as kept:
                    self.assertTrue(kept.read() == earlier, "the earlier file is left byte for byte")

    def test_wayland_session_with_x_beside_it_opens_on_x_where_placed(self):
        # A live compositor: with a WAYLAND_DISPLAY leading nowhere Qt would
        # fall back to X by itself and prove nothing.
        with tempfile.TemporaryDirectory(prefix="ostrelle-wayland.") as runtime, temporary_folder() as folder, \
                self.desktop() as desktop:
            os.chmod(runtime, 0o700)
            compositor = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=wayland-ostrelle",
                                           "--idle-time=0"], env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                socket = os.path.join(runtime, "wayland-ostrelle")
                deadline = time.time() + 10
                while not os.path.exists(socket):
                    self.assertLess(time.time(), deadline, "weston did not start")
                    time.sleep(0.05)
                desktop.session = {"XDG_SESSION_TYPE": "wayland", "WAYLAND_DISPLAY": socket}
                desktop.start(folder)
                geometry = desktop.run("xdotool", "getwindowgeometry", desktop.window).stdout
                self.assertIn("Position: 150,150", geometry)
                self.assertIn("Geometry: 440x340", geometry)
                desktop.request_close()
                self.assertEqual(desktop.finish()[0], 0)
            finally:
                compositor.terminate()
                compositor.wait()

    def test_without_a_display_it_says_so_and_exits(self):
        # A sanitized build's runtime would object to a library preloaded ahead of it.
        no_wayland_plugin = {"LD_PRELOAD": os.environ["WITHOUT_WAYLAND_PLUGIN"],
                             "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        for display, session, named in [
                (None, {}, "neither DISPLAY nor WAYLAND_DISPLAY"),
                (":987", {"WAYLAND_DISPLAY": "/nowhere/wayland-9"}, "DISPLAY names (:987)"),
                (None, {"WAYLAND_DISPLAY": "/nowhere/wayland-9"}, "WAYLAND_DISPLAY names (/nowhere/wayland-9)"),
                (None, dict(no_wayland_plugin, WAYLAND_DISPLAY="wayland-9"), "wayland platform plugin is not installed"
                 " (package qt6-wayland)")]:
            env = {key: value for key, value in os.environ.items()
                   if key not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
            env.update(session, XDG_SESSION_TYPE="wayland" if session else "tty")
            if display:
                env["DISPLAY"] = display
            with temporary_folder() as folder:
                result = subprocess.run([PROGRAM], cwd=folder, env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual(result.returncode, 1, result.stderr)
            lines = result.stderr.splitlines()
            self.assertEqual(len(lines), 1, result.stderr)
            self.assertIn("needs a graphical display", lines[0])
            self.assertIn(named, lines[0])
        # The options that need no display answer without one.
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as project:
            version = re.search(r"project\(Ostrelle VERSION ([0-9.]+)", project.read()).group(1)
        for option, expected in [("--version", f"ostrelle {version}\n"), ("--help", "--recover NAME")]:
            result = subprocess.run([PROGRAM, option], env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual((result.returncode, result.stderr), (0, ""), option)
            self.assertIn(expected, result.stdout, option)
        result = subprocess.run([PROGRAM, "--record"], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)

    def test_installed_program_has_its_menu_entry_and_runs(self):
        with tempfile.TemporaryDirectory(prefix="ostrelle-install.") as destdir:
            subprocess.run(["cmake", "--install", os.environ["BUILD_DIR"], "--prefix", "/usr/local"],
                           env=dict(os.environ, DESTDIR=destdir), check=True, capture_output=True)
            share = os.path.join(destdir, "usr/local/share")
            desktop_file = os.path.join(share, "applications/org.pelvar.Ostrelle.desktop")
            metainfo = os.path.join(share, "metainfo/org.pelvar.Ostrelle.metainfo.xml")
            for icon in ["icons/hicolor/32x32/apps/ostrelle.png", "icons/hicolor/scalable/apps/ostrelle.svg"]:
                self.assertTrue(os.path.isfile(os.path.join(share, icon)), icon)
            checked = subprocess.run(["desktop-file-validate", desktop_file], capture_output=True, text=True)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
            checked = subprocess.run(["appstreamcli", "validate", "--no-net", metainfo], capture_output=True, text=True)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
            with open(desktop_file) as entry:
                command = next(line.split("=", 1)[1].strip() for line in entry if line.startswith("Exec="))
            installed = os.path.join(destdir, "usr/local/bin", command)
            with temporary_folder() as folder, Desktop(installed, CLOSE_REQUEST, RIG) as desktop:
                desktop.start(folder)
                desktop.request_close()
                code, _, err = desktop.finish()
                self.assertEqual(code, 0)
                self.assertEqual(err, "")


if __name__ == "__main__":
    unittest.main()
