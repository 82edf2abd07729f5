# SPDX-License-Identifier: MIT
"""The whole program under Xvfb with the private sound server, as a user drives it:
the window, a take recorded and saved, a second copy beside the first."""
import math
import os
import shutil
import subprocess
import sys
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(__file__))
from desktop import (CONTROLS, WINDOW_X, WINDOW_Y, delivered, paced_device, tap_device, tap_folder,  # noqa: E402
                     temporary_folder, wait_while_progressing)
from rig import underruns as rig_underruns  # noqa: E402
from scenario import CLOSE_REQUEST, PROGRAM, RIG, Scenario  # noqa: E402


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


def tone_strength(samples, rate, frequency, width):
    """How strongly one frequency sounds in the samples, as a share of full
    scale: its sine's amplitude, near 0 where it is absent (Goertzel's
    filter)."""
    coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
    previous = before_that = 0.0
    for sample in samples:
        previous, before_that = sample + coefficient * previous - before_that, previous
    power = previous * previous + before_that * before_that - coefficient * previous * before_that
    return 2 * math.sqrt(max(power, 0.0)) / len(samples) / (1 << (8 * width - 1))


def toned_fiftieths(samples, rate, frequency, width, level=0.5):
    """The share of the fiftieths of a second in `samples` that hold
    `frequency` at the rig's level. Each is judged alone: a rig too busy to
    feed its tone player leaves gaps in the tone, which skew a count of
    crossings over one stretch but only empty the fiftieths they fall in."""
    size = rate // 50
    parts = [samples[start:start + size] for start in range(0, len(samples) - size + 1, size)]
    toned = sum(1 for part in parts if abs(tone_strength(part, rate, frequency, width) - level) < 0.03)
    return toned / len(parts) if parts else 0.0


def second_half(frames, frame_bytes):
    """A take from its middle frame on. Cut at half its bytes instead, a
    take of an odd number of 16-bit mono frames (a busy machine hands the
    callback buffers of any length) would be read from inside a sample, and
    its tone would read as noise near 10 kHz."""
    return frames[len(frames) // frame_bytes // 2 * frame_bytes:]


def decode(frames, width, channels):
    step = width * channels
    values = []
    for offset in range(0, len(frames) - step + 1, step):
        values.append(int.from_bytes(frames[offset:offset + width], "little", signed=True))
    return values


class Program(Scenario):
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

    def record_and_save(self, choices, channels, width, rate, keys=False):
        """Records the rig's tone through a tap that keeps what the device
        delivered, so that the take is judged by that and not by the clock."""
        with temporary_folder() as folder, temporary_folder() as home, tap_folder() as taps, \
                self.desktop() as desktop:
            tap = tap_device(home, RIG, taps)
            desktop.start(folder, home)
            desktop.choose("device", 1)
            for control, presses in choices:
                desktop.choose(control, presses)
            desktop.accept()
            desktop.press("record", keys)
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            once_recording = os.path.getsize(tap)
            underruns = rig_underruns(RIG)
            time.sleep(2.5)
            before_stop = os.path.getsize(tap)
            desktop.stop(keys=keys)
            ran_dry = rig_underruns(RIG) - underruns
            desktop.save_as("take", keys=keys)
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
            with open(os.path.join(folder, "pelvar.temp"), "rb") as temp:
                self.assertEqual(temp.read(), frames, "the file holds exactly the captured samples")
            with open(tap, "rb") as device:
                start = device.read().find(frames)
            self.assertNotEqual(start, -1, "the take is one unbroken stretch of what the device delivered")
            self.assertEqual(start % (channels * width), 0, "the take begins on a frame the device delivered")
            # All the device delivered while the take grew is in it, less
            # a twentieth of a second, as the state table's test allows.
            frame_bytes = channels * width
            self.assertGreater(before_stop - once_recording, rate * frame_bytes * 2, "the device delivered")
            self.assertGreaterEqual(len(frames), before_stop - once_recording - rate * frame_bytes // 20)
            samples = decode(second_half(frames, frame_bytes), width, channels)
            self.assertGreater(toned_fiftieths(samples, rate, 1000, width), 0.5,
                               f"the rig's tone; it ran dry {ran_dry} times during the take")
            soxi = subprocess.run(["soxi", path], capture_output=True, text=True)
            self.assertEqual(soxi.returncode, 0, soxi.stderr)

    def test_record_and_save_16_bit_stereo_44100(self):
        self.record_and_save([], 2, 2, 44100)

    def test_record_and_save_24_bit_mono_96000(self):
        self.record_and_save([("channels", -1), ("bits", 1), ("rate", 3)], 1, 3, 96000)

    def test_record_and_save_16_bit_mono_44100_with_the_keys(self):
        self.record_and_save([("channels", -1)], 1, 2, 44100, keys=True)

    def test_monitor_of_an_output_records_what_plays_there(self):
        """The computer's own sound: the rig plays 440 Hz into its output
        "Zebra Deck", whose monitor, found by typing the first letters of its
        name in the open list, records it."""
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            desktop.wait_until_idle()
            desktop.click("device")
            desktop.type_text("Monitor of Z")
            desktop.keys("Return")
            self.record_briefly_and_save(desktop, folder, "take")
            with wave.open(os.path.join(folder, "take.wav"), "rb") as reader:
                samples = decode(second_half(reader.readframes(reader.getnframes()), 4), 2, 2)
            self.assertAlmostEqual(rising_crossing_frequency(samples, 44100), 440, delta=5)
            self.assertAlmostEqual(max(abs(sample) for sample in samples) / 32768, 0.5, delta=0.03)

    def test_a_take_paused_and_resumed_holds_its_running_parts_alone(self):
        """Pause and Resume within one take, judged by what the device
        delivered: the take is its running parts one after the other, each an
        unbroken stretch of the device's bytes, and nothing of the time it was
        held but a buffer at an edge. Closed while held, the take is kept
        whole; killed while held, it is on disk all the same; either way
        --recover saves it."""
        edge = 44100 * 4 // 20
        for ending in ("close box", "killed"):
            with self.subTest(ending), temporary_folder() as folder, temporary_folder() as home, \
                    self.desktop() as desktop:
                device_input = paced_device(home, RIG)
                desktop.start(folder, home)
                desktop.choose("device", 1)
                desktop.accept()
                take = os.path.join(folder, "pelvar.temp")

                def reached():
                    return delivered(desktop.process, home)

                def run_for(seconds):
                    until = reached() + int(44100 * 4 * seconds)
                    wait_while_progressing(desktop.process, lambda: reached() >= until, "the device stopped", 10)

                def run_then_hold(seconds):
                    run_for(seconds)
                    bounds.append(reached())
                    desktop.click("pause")
                    desktop.wait_until_idle(files=[take])
                    bounds.append(reached())

                bounds = [reached()]
                desktop.click("record")
                desktop.wait_for_growth(take)
                run_then_hold(1)
                run_for(1)
                if ending == "close box":
                    bounds.append(reached())
                    held = os.path.getsize(take)
                    desktop.click("pause")
                    wait_while_progressing(desktop.process, lambda: os.path.getsize(take) > held,
                                           "Resume recorded nothing", 10)
                    bounds.append(reached())
                    run_then_hold(1)
                    run_for(0.5)
                    desktop.request_close()
                    self.assertEqual(desktop.finish()[0], 0)
                else:
                    desktop.process.kill()
                    desktop.process.wait()
                with open(take, "rb") as recorded:
                    frames = recorded.read()
                # The take, cut into the stretches of the device's bytes it holds.
                parts, at = [], 0
                while at < len(frames):
                    start = device_input.find(frames[at:at + 64])
                    self.assertNotEqual(start, -1, f"the take's bytes from {at} on are the device's")
                    length = 64
                    while at + length < len(frames) and frames[at + length] == device_input[start + length]:
                        length += 1
                    parts.append((start, start + length))
                    at += length
                # Where each part may begin and end: after the device's
                # position at its press, and by its position once the press
                # was acted on, but for a buffer at the edge.
                edges = [(bounds[0], None, bounds[1], bounds[2])]
                if ending == "close box":
                    edges.append(tuple(bounds[3:7]))
                self.assertEqual(len(parts), len(edges), f"one stretch for each part that ran: {parts}")
                for number, ((start, end), (began, begun, ending_at, ended)) in enumerate(zip(parts, edges)):
                    self.assertGreaterEqual(start, began - edge, f"part {number} began before its press")
                    if begun is not None:
                        self.assertLessEqual(start, begun + edge, f"part {number} began late")
                    self.assertGreaterEqual(end, ending_at - edge, f"part {number} ended short of its Pause")
                    self.assertLessEqual(end, ended + edge, f"part {number} went on past its Pause")
                recovered = subprocess.run([PROGRAM, "--recover", "paused.wav"], cwd=folder, capture_output=True,
                                           text=True, env=desktop.environment(home))
                self.assertEqual(recovered.returncode, 0, recovered.stderr)
                with wave.open(os.path.join(folder, "paused.wav"), "rb") as saved:
                    self.assertTrue(saved.readframes(saved.getnframes()) == frames, "--recover saves the whole take")

    def record_briefly_and_save(self, desktop, folder, name):
        """ACCEPT, a take of about a second and a half, Save under the name,
        and the window closed."""
        desktop.accept()
        desktop.press("record")
        desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
        time.sleep(1.5)
        desktop.stop()
        desktop.save_as(name)
        desktop.request_close()
        self.assertEqual(desktop.finish()[0], 0)

    def test_take_saved_as_flac_through_the_dialog(self):
        """A name typed with ".flac" in the dialog saves FLAC, which Debian's
        flac finds sound and sox decodes to the take exactly."""
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            self.record_briefly_and_save(desktop, folder, "take.flac")
            self.assertEqual(sorted(os.listdir(folder)), ["pelvar.temp", "take.flac"])
            path = os.path.join(folder, "take.flac")
            tested = subprocess.run(["flac", "-t", path], capture_output=True, text=True)
            self.assertEqual(tested.returncode, 0, tested.stderr)
            decoded = subprocess.run(["sox", path, "-t", "raw", "-"], capture_output=True, check=True).stdout
            with open(os.path.join(folder, "pelvar.temp"), "rb") as temp:
                take = temp.read()
            self.assertGreater(len(take), 44100 * 4)
            self.assertTrue(decoded == take, "the FLAC holds exactly the captured samples")

    def test_second_copy_in_the_same_folder_leaves_the_take_alone(self):
        with temporary_folder() as folder, temporary_folder() as home, self.desktop() as desktop:
            # The first copy records from a device of its own that hands out
            # these bytes at the sound server's pace; it is listed second.
            device_input = paced_device(home, RIG)
            desktop.start(folder, home)
            desktop.choose("device", 1)
            desktop.accept()
            desktop.click("record")
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            time.sleep(1)
            # The second copy opens on top of the first and records from the server's device.
            second, second_window = desktop.launch(folder)
            desktop.accept()
            time.sleep(1)
            desktop.click("record")
            desktop.wait_for_window("^Error$")
            desktop.keys("Return")
            subprocess.run([CLOSE_REQUEST, second_window], env=desktop.environment(), check=True)
            _, err = second.communicate(timeout=10)
            self.assertEqual(second.returncode, 0, err)
            time.sleep(1)
            desktop.stop()
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


if __name__ == "__main__":
    unittest.main()
