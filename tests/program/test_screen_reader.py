# SPDX-License-Identifier: MIT
"""The whole program under Xvfb as a screen reader sees it, through AT-SPI on
buses of the test's own: every control's role, name and state before and
after ACCEPT, a take recorded by the Press actions of Record and Stop, and
the keys of Record, Stop and Save doing what the buttons do, and nothing
while their button is disabled."""
import os
import sys
import time
import unittest
import wave

try:
    import gi
    gi.require_version("Atspi", "2.0")
except (ImportError, ValueError):
    # Debian's python3-pyatspi is installed for Debian's own python3; a
    # python3 of one's own ahead of it in PATH (pyenv, a virtual
    # environment) cannot import it.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise

sys.path.insert(0, os.path.dirname(__file__))
from desktop import CONTROLS, KEYS, temporary_folder  # noqa: E402
from rig import underruns as rig_underruns  # noqa: E402
from scenario import RIG, Scenario  # noqa: E402
from screen_reader import AccessibilityBus, Reader  # noqa: E402
from test_recording import decode, second_half, toned_fiftieths  # noqa: E402

TITLE = "Ostrelle - Beta 2 - Pelvar Audio - (Asio is not supported) "
# The texts beside the controls, by the control they name, and where they are.
CAPTIONS = {"channels": ("# of Channels", (26, 25, 85, 20)), "bits": ("# of Bit", (166, 25, 85, 20)),
            "rate": ("# of Sample", (310, 25, 85, 20)), "device": ("Main Device", (26, 85, 75, 20))}
STATUS = {"device status": (172, 174, 320, 20), "channels status": (172, 204, 320, 20),
          "bits status": (172, 234, 320, 20), "rate status": (172, 264, 320, 20)}
PLACES = {**CONTROLS, **{f"{name} caption": place for name, (_, place) in CAPTIONS.items()}, **STATUS}
# What ACCEPT adds below the status lines: the take's line (as wide as it is
# laid out, past the window's edge) and the level meter in the strip below.
LEVELS = {"take line": (172, 288, 320, 22), "level meter": (26, 314, 388, 22)}
BUTTON_KEYS = {"record": "Ctrl+Shift+R", "stop": "Ctrl+Shift+T", "save": "Ctrl+S"}
# What a screen reader reads of the rig's tone, at half of full scale on both
# channels, once the meter has measured a second of it.
TONE_SPOKEN = "Left \u22126 dBFS, right \u22126 dBFS"


class Program(Scenario):
    # A table that differs is shown whole.
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.bus = AccessibilityBus().__enter__()
        cls.addClassCleanup(cls.bus.__exit__)
        cls.reader = Reader(cls.bus)

    def desktop(self):
        desktop = super().desktop()
        desktop.session.update(self.bus.environment())
        return desktop

    def window_of(self, desktop):
        window = self.reader.window(self.reader.application(desktop.process.pid))
        self.assertEqual((window.getRoleName(), window.name), ("frame", TITLE))
        return window

    def heard(self, window):
        """What a screen reader tells of every control the window lays out, by name."""
        controls = self.reader.controls(window)
        missing = sorted(name for name, place in PLACES.items() if place not in controls)
        self.assertEqual(missing, [], f"no control at their places; there are controls at {sorted(controls)}")
        return {name: self.reader.seen(controls[place]) for name, place in PLACES.items()}

    def eventually(self, read, expected, timeout=10):
        """Reads until the reading is as expected, and fails with the last one when it never is.
        A control replaced while it is read (the status lines at ACCEPT) is read again."""
        deadline = time.time() + timeout
        while True:
            try:
                seen = read()
            except self.reader.error as error:
                seen = f"read while it changed: {error}"
            if seen == expected or time.time() > deadline:
                self.assertEqual(seen, expected)
                return
            time.sleep(0.1)

    def buttons(self, window):
        heard = self.heard(window)
        return tuple(heard[name]["enabled"] for name in ("record", "stop", "save"))

    def press(self, window, name, action="Press"):
        controls = self.reader.controls(window)
        self.reader.press(controls[PLACES[name]], action)

    def assert_take_ended_at_stop(self, seconds, temp, held_at_stop):
        """The take ran for at least the 1.5 s the test waited after its file
        first grew, and ended at Stop: once Stop showed disabled its file
        grew no more. Its length is not held against the wall clock, since a
        busy machine may write its first audio late, or the server hand over
        at Record what it kept while the program was not scheduled."""
        self.assertGreaterEqual(seconds, 1.5, "the take ended before Stop was pressed")
        self.assertEqual(os.path.getsize(temp), held_at_stop, "the take went on after Stop")

    def test_every_control_is_heard_by_role_name_and_state_before_and_after_accept(self):
        def told(window):
            """Role, name, enabled, and the captions labelling each control, by
            its place (None where the window has no control there); for the
            meter also its value text, which AT-SPI carries as its description."""
            controls = self.reader.controls(window)
            rows = {}
            for name, place in {**PLACES, **LEVELS}.items():
                if place not in controls:
                    rows[name] = None
                    continue
                seen = self.reader.seen(controls[place])
                rows[name] = (seen["role"], seen["name"], seen["enabled"], seen["labels"])
                if name == "level meter":
                    rows[name] += (seen["description"],)
            return rows

        def expected(accepted, device):
            rows = {f"{name} caption": ("label", caption, True, []) for name, (caption, _) in CAPTIONS.items()}
            # A list's own name is the item it shows: Qt names a combo box so
            # on Linux, and drops an accessible name given to it, on 6.4 and
            # 6.8 alike. Its caption, the label whose buddy it is, reaches the
            # screen reader as the list's label, which it announces it by.
            for name, item in [("channels", "2"), ("bits", "16"), ("rate", "44100"), ("device", device)]:
                rows[name] = ("combo box", item, not accepted, [CAPTIONS[name][0]])
            rows["accept"] = ("push button", "ACCEPT", not accepted, [])
            for name, text in [("record", "Record"), ("stop", "Stop"), ("save", "Save")]:
                rows[name] = ("push button", text, accepted, [])
            # A toggle, which works only while a take runs or is held: Qt
            # tells screen readers a button that stays pressed is a check box.
            rows["pause"] = ("check box", "Pause", False, [])
            for name, text in [("device status", "Device: " + device), ("channels status", "Channels: 2"),
                               ("bits status", "Bit Depth: 16"), ("rate status", "Sample Rate: 44100")]:
                rows[name] = ("label", text, accepted, [])
            # The take's line is empty until a take begins.
            rows["take line"] = ("label", "", True, []) if accepted else None
            rows["level meter"] = (("progress bar", "Input level", True, [], TONE_SPOKEN)
                                   if accepted else None)
            return rows

        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            window = self.window_of(desktop)
            # The list fills once PortAudio has started, which the window does
            # not wait for; an empty list is heard by its caption's name.
            self.eventually(lambda: self.heard(window)["device"]["name"] not in ("", CAPTIONS["device"][0]), True)
            heard = self.heard(window)
            device = heard["device"]["name"]
            # The status line follows the list's first filling in the same
            # turn, but a screen reader may hear of the two one after the other.
            self.eventually(lambda: told(window), expected(False, device))
            for name, keys in BUTTON_KEYS.items():
                self.assertTrue(heard[name]["description"].endswith(f" ({keys})"), heard[name])
            self.press(window, "accept")
            self.eventually(lambda: told(window), expected(True, device))
            heard = self.heard(window)
            for name, keys in BUTTON_KEYS.items():
                self.assertEqual(heard[name]["actions"].get("Press"), keys, f"{name}'s key, bound to its press")
            self.assertEqual((window.getRoleName(), window.name), ("frame", TITLE))
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def test_record_and_stop_pressed_through_their_actions_record_a_take(self):
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            window = self.window_of(desktop)
            self.press(window, "accept")
            self.eventually(lambda: self.buttons(window), (True, True, True))
            self.press(window, "record")
            temp = os.path.join(folder, "pelvar.temp")
            desktop.wait_for_growth(temp)
            underruns = rig_underruns(RIG)
            self.eventually(lambda: self.buttons(window), (False, True, False))
            # Record counts the seconds, and is named by what it shows.
            self.eventually(lambda: self.heard(window)["record"]["name"].isdigit(), True)
            time.sleep(1.5)
            # Pause, a toggle heard with its state and its text, and its key
            # in its description, holds the take and goes on with it.
            pause = self.heard(window)["pause"]
            self.assertEqual((pause["name"], pause["enabled"], pause["checked"]), ("Pause", True, False))
            self.assertIn("Toggle", pause["actions"])
            self.assertTrue(pause["description"].endswith(" (Ctrl+Shift+P)"), pause)
            for held, name in [(True, "Resume"), (False, "Pause")]:
                self.press(window, "pause", "Toggle")
                self.eventually(lambda: (self.heard(window)["pause"]["name"], self.heard(window)["pause"]["checked"]),
                                (name, held))
            self.press(window, "stop")
            self.eventually(lambda: self.buttons(window), (True, False, True))
            held_at_stop = os.path.getsize(temp)
            ran_dry = rig_underruns(RIG) - underruns
            desktop.save_as("take")
            desktop.request_close()
            code, _, err = desktop.finish()
            self.assertEqual((code, err), (0, ""))
            with wave.open(os.path.join(folder, "take.wav"), "rb") as reader:
                self.assertEqual((reader.getnchannels(), reader.getsampwidth(), reader.getframerate()), (2, 2, 44100))
                frames = reader.readframes(reader.getnframes())
                self.assert_take_ended_at_stop(reader.getnframes() / 44100, temp, held_at_stop)
            with open(temp, "rb") as taken:
                self.assertEqual(taken.read(), frames, "the file holds exactly the captured samples")
            samples = decode(second_half(frames, 4), 2, 2)
            self.assertGreater(toned_fiftieths(samples, 44100, 1000, 2), 0.5,
                               f"the rig's tone; it ran dry {ran_dry} times during the take")

    def test_keys_do_what_the_buttons_do_and_nothing_while_disabled(self):
        with temporary_folder() as folder, self.desktop() as desktop:
            desktop.start(folder)
            window = self.window_of(desktop)
            desktop.click("accept")
            self.eventually(lambda: self.buttons(window), (True, True, True))
            self.assertTrue(self.reader.is_active(window), "the window has the keyboard")
            desktop.keys(KEYS["record"])
            temp = os.path.join(folder, "pelvar.temp")
            desktop.wait_for_growth(temp)
            self.eventually(lambda: self.buttons(window), (False, True, False))
            time.sleep(1.5)
            # Save and Record are disabled while recording: their keys are not
            # acted on, and Stop's behind them is. Save acted on would have
            # left its dialog up, Record a new take in place of this one.
            desktop.keys(KEYS["save"], KEYS["record"], KEYS["stop"])
            self.eventually(lambda: self.buttons(window), (True, False, True))
            held_at_stop = os.path.getsize(temp)
            self.assertEqual(desktop.find_windows("Select a file"), [])
            # Stop's key while Stop is disabled, then Save's.
            desktop.keys(KEYS["stop"])
            desktop.save_as("take", keys=True)
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)
            with wave.open(os.path.join(folder, "take.wav"), "rb") as reader:
                frames = reader.readframes(reader.getnframes())
                self.assert_take_ended_at_stop(reader.getnframes() / 44100, temp, held_at_stop)
            with open(temp, "rb") as taken:
                self.assertEqual(taken.read(), frames)


if __name__ == "__main__":
    unittest.main()
