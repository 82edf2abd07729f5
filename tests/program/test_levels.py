# SPDX-License-Identifier: MIT
"""The whole program under Xvfb with the private sound server: the level meter
in the strip below the buttons and the take's line, as a user sees them, and
a minimised window that leaves the meter asleep."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import WINDOW_X, WINDOW_Y, paced_device, temporary_folder  # noqa: E402
from scenario import CLOSE_REQUEST, RIG, Scenario  # noqa: E402
from test_recording import pixel, read_ppm  # noqa: E402

# Built beside close_request: minimises and restores a window as a window manager would.
ICONIFY = os.path.join(os.path.dirname(CLOSE_REQUEST), "iconify")

# The meter, inside the window: the strip x 26 to 414, y 314 to 336; its
# scale from -60 dBFS at x 26 to 0 dBFS at x 362, in proportion to dB; two
# bars whose middle rows are y 319 and 329; its lamp at the right end.
STRIP = (26, 314, 388, 22)
SCALE_LEFT, SCALE_WIDTH = 26, 336
BAR_ROWS = (319, 329)
LAMP = (408, 325)
# The take's line, as far as the window shows it.
LINE = (172, 288, 268, 22)


def scale_x(db):
    return SCALE_LEFT + (db + 60) / 60 * SCALE_WIDTH


def lit(p):
    return max(p) > 150


def last_lit(image, y):
    """The window column of the rightmost lit pixel of a bar, or None."""
    lit_columns = [x for x in range(SCALE_LEFT, SCALE_LEFT + SCALE_WIDTH)
                   if lit(pixel(image, WINDOW_X + x, WINDOW_Y + y))]
    return lit_columns[-1] if lit_columns else None


def pixels_in(image, rectangle):
    x, y, width, height = rectangle
    return [pixel(image, WINDOW_X + px, WINDOW_Y + py) for py in range(y, y + height) for px in range(x, x + width)]


def message_pixels(image):
    """Pixels of the meter's message green (0, 255, 128), which no bar has."""
    return sum(1 for p in pixels_in(image, (SCALE_LEFT, STRIP[1], SCALE_WIDTH, STRIP[3]))
               if p[0] < 100 and p[1] > 150 and p[2] > 100)


def clipping_input(seconds):
    """16-bit stereo: every 441 frames, four at full scale (left positive, right negative)."""
    period = b"\xff\x7f\x00\x80" * 4 + b"\x00" * 4 * 437
    return period * (100 * seconds)


def main_thread_switches(process):
    """Context switches of the program's main thread, the one that redraws."""
    with open(f"/proc/{process.pid}/task/{process.pid}/status") as status:
        return sum(int(line.split()[1]) for line in status
                   if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))


class Program(Scenario):
    def shot(self, desktop, folder, name="shot.png"):
        path = os.path.join(folder, name)
        desktop.screenshot(path)
        return read_ppm(path)

    def wait_for_image(self, desktop, folder, condition, what, timeout=10):
        deadline = time.time() + timeout
        while True:
            image = self.shot(desktop, folder)
            if condition(image):
                return image
            if time.time() > deadline:
                raise AssertionError(f"the window never showed {what}")
            time.sleep(0.2)

    def test_meter_shows_the_tone_at_its_level(self):
        """The rig's tone at half of full scale: both bars end at -6 dBFS."""
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            image = self.shot(desktop, folder)
            self.assertEqual(set(pixels_in(image, STRIP)), {(0, 0, 0)}, "the strip is black before ACCEPT")
            desktop.click("accept")
            expected = scale_x(-6.02)

            def at_the_tone(shot):
                ends = [last_lit(shot, y) for y in BAR_ROWS]
                return all(end is not None and abs(end + 1 - expected) <= 3 for end in ends)
            # What the stream brings as it starts may peak higher, and the
            # peak-hold mark keeps that for 2 s: the bars settle at the tone.
            image = self.wait_for_image(desktop, folder, at_the_tone, f"both bars ending at x {expected:.1f}")
            for y in BAR_ROWS:
                # The zones along the bar, judged clear of their edges: the
                # server's tone may peak a hair above -6 dBFS, where red begins.
                for db, colour, zone in [(-19, (0, 210, 80), "green below -18"),
                                         (-7, (235, 210, 0), "yellow from -18 to -6")]:
                    self.assertEqual(pixel(image, WINDOW_X + round(scale_x(db)), WINDOW_Y + y), colour, zone)
            self.assertLess(pixel(image, WINDOW_X + LAMP[0], WINDOW_Y + LAMP[1])[0], 100, "the lamp is dark")
            for spot in [(5, 330), (430, 330), (300, 310)]:
                self.assertEqual(pixel(image, WINDOW_X + spot[0], WINDOW_Y + spot[1]), (0, 0, 0), spot)
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def test_full_scale_lights_the_lamp_and_the_take_line_tells(self):
        with temporary_folder() as folder, temporary_folder() as home, self.desktop() as desktop:
            paced_device(home, RIG, device_input=clipping_input(30))
            desktop.start(folder, home)
            desktop.choose("device", 1)
            desktop.click("accept")
            self.wait_for_image(desktop, folder,
                                lambda shot: pixel(shot, WINDOW_X + LAMP[0], WINDOW_Y + LAMP[1])[0] > 200,
                                "the lamp lit")
            image = self.shot(desktop, folder)
            self.assertFalse(any(lit(p) for p in pixels_in(image, LINE)), "the line is empty before the first take")
            desktop.wait_until_enabled("record")
            desktop.click("record")
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            time.sleep(1)
            desktop.click("stop")
            image = self.wait_for_image(desktop, folder, lambda shot: any(lit(p) for p in pixels_in(shot, LINE)),
                                        "the take's summary")
            lamp = pixel(image, WINDOW_X + LAMP[0], WINDOW_Y + LAMP[1])
            self.assertTrue(lamp[0] > 200 and lamp[1] < 80, f"the lamp stays lit after the take: {lamp}")
            self.assertEqual(desktop.find_windows("^Error$"), [], "nothing was lost")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def test_silent_source_says_no_signal(self):
        with temporary_folder() as folder, temporary_folder() as home, self.desktop() as desktop:
            paced_device(home, RIG, device_input=bytes(44100 * 4 * 30))
            desktop.start(folder, home)
            desktop.choose("device", 1)
            desktop.click("accept")
            image = self.wait_for_image(desktop, folder, lambda shot: message_pixels(shot) > 20, '"No signal"')
            for y in BAR_ROWS:
                self.assertTrue(all(p[0] < 150 for p in pixels_in(image, (SCALE_LEFT, y, SCALE_WIDTH, 1))),
                                "no bar is lit")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def test_minimised_recorder_leaves_the_meter_asleep(self):
        """Minimised, the interface thread wakes for the one-second tick
        only; shown again, the meter redraws 20 times a second. Counted by
        the main thread's context switches, each a wake-up."""
        seconds = 2
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            desktop.accept()
            desktop.click("record")
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))

            def wakeups():
                before = main_thread_switches(desktop.process)
                time.sleep(seconds)
                return (main_thread_switches(desktop.process) - before) / seconds

            # The window manager's change reaches the program when it gets
            # its turn, later on a busy machine: counted again until the
            # count shows it, a few stretches at most.
            def settled(expected):
                count = wakeups()
                for _ in range(4):
                    if expected(count):
                        break
                    count = wakeups()
                return count

            shown = wakeups()
            desktop.run(ICONIFY, desktop.window, "minimise")
            minimised = settled(lambda count: count <= 4)
            desktop.run(ICONIFY, desktop.window, "restore")
            restored = settled(lambda count: count >= 10)
            print(f"main thread wake-ups a second: shown {shown:.1f}, minimised {minimised:.1f}, "
                  f"restored {restored:.1f}", file=sys.stderr)
            self.assertLessEqual(minimised, 4, "minimised: the one-second tick, and little else")
            self.assertGreaterEqual(shown, 10, "shown: the meter redraws")
            self.assertGreaterEqual(restored, 10, "shown again: the meter redraws again")
            desktop.click("stop")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)


if __name__ == "__main__":
    unittest.main()
