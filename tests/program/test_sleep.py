# SPDX-License-Identifier: MIT
"""The whole program under Xvfb, with logind and the desktop portal stood in
for on private buses: no sleep while a take runs or a save writes, every
lock let go at every ending, and a sleep forced on the computer ending the
take whole and told on waking."""
import os
import signal
import subprocess
import sys
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, delivered, paced_device, temporary_folder, wait_while_progressing  # noqa: E402
from rig import launch, part  # noqa: E402
from scenario import CLOSE_REQUEST, PROGRAM, RIG, Scenario  # noqa: E402
from sleep_services import SleepServices  # noqa: E402


def record(desktop, folder, services, home=None):
    desktop.session.update(services.environment())
    desktop.start(folder, home)
    if home:
        desktop.choose("device", 1)
    desktop.accept()
    desktop.click("record")
    desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))


def dismiss_error(desktop, timeout=3):
    desktop.wait_for_window("^Error$", timeout=timeout)
    desktop.keys("Return")
    desktop.wait_until_gone("^Error$")


def assert_wav_is_take(test, folder, name):
    with wave.open(os.path.join(folder, name), "rb") as reader:
        frames = reader.readframes(reader.getnframes())
    with open(os.path.join(folder, "pelvar.temp"), "rb") as take:
        test.assertTrue(frames == take.read(), "the WAV holds the take")
    return len(frames)


def writers_of(pid, path):
    """The program's descriptors open for writing on the file."""
    target = os.path.realpath(path)
    found = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{name}") != target:
                continue
            with open(f"/proc/{pid}/fdinfo/{name}") as info:
                flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
        except (FileNotFoundError, StopIteration):
            continue
        if flags & (os.O_WRONLY | os.O_RDWR):
            found.append(name)
    return found


class Program(Scenario):
    def take_locks(self, services):
        """The two locks of a running take, as logind was asked for them."""
        block = services.wait_for("inhibit", what="sleep:idle", who="Ostrelle", why="Recording a take", mode="block")
        delay = services.wait_for("inhibit", what="sleep", who="Ostrelle", why="Recording a take", mode="delay")
        return block["number"], delay["number"]

    def test_a_take_and_a_save_hold_off_sleep_until_they_end(self):
        """Each way a take ends lets go of both its locks, and a save holds
        its own lock while it writes, whether it succeeds or fails."""
        def lose_the_server(desktop, rig):
            launch("sound", "kill", rig)
            dismiss_error(desktop)

        endings = [
            ("Stop", lambda desktop, rig: desktop.click("stop"), True),
            ("the stream lost", lose_the_server, True),
            ("close box", lambda desktop, rig: desktop.request_close(), False),
            ("SIGTERM", lambda desktop, rig: desktop.process.send_signal(signal.SIGTERM), False),
        ]
        for name, end, goes_on in endings:
            with self.subTest(name), part("sound") as rig, temporary_folder() as folder, SleepServices() as services, \
                    Desktop(PROGRAM, CLOSE_REQUEST, rig) as desktop:
                record(desktop, folder, services)
                block, delay = self.take_locks(services)
                time.sleep(0.5)
                self.assertEqual(services.told("released"), [], "held while the take runs")
                end(desktop, rig)
                services.wait_for("released", number=block)
                services.wait_for("released", number=delay)
                if not goes_on:
                    self.assertEqual(desktop.finish()[0], 0)
                    continue
                self.assertIsNone(desktop.process.poll(), "let go while the program runs on")
                # A save that fails while it writes holds and lets go
                # as one that succeeds: the disk it writes to is full.
                full = os.path.join(folder, "full")
                os.makedirs(full)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "ostrelle-test", full], check=True)
                try:
                    desktop.click("save")
                    desktop.wait_for_window("Select a file")
                    desktop.type_text("full/blocked")
                    desktop.keys("Return")
                    failed = services.wait_for("inhibit", what="sleep:idle", why="Saving a take", mode="block")
                    services.wait_for("released", number=failed["number"])
                    dismiss_error(desktop)
                finally:
                    subprocess.run(["umount", full], check=True)
                desktop.save_as("take")
                saved = [line for line in services.told("inhibit") if line[4] == "Saving a take"]
                self.assertEqual(len(saved), 2, services.seen)
                services.wait_for("released", number=saved[1][1])
                assert_wav_is_take(self, folder, "take.wav")
                self.assertEqual(sorted(line[1] for line in services.told("inhibit")),
                                 sorted(line[1] for line in services.told("released")), "every lock let go")
                desktop.request_close()
                self.assertEqual(desktop.finish()[0], 0)

    def test_only_the_portal_holds_off_sleep(self):
        """Without logind, whether the system bus is there or not, the
        portal's Inhibit holds off suspending and idling, and its request is
        closed at Stop and when the save ends."""
        for name, system_bus in [("no system bus", False), ("no logind", True)]:
            with self.subTest(name), temporary_folder() as folder, \
                    SleepServices(logind=False) as services, self.desktop() as desktop:
                if not system_bus:
                    os.unlink(services.socket("system"))
                record(desktop, folder, services)
                # Suspend (4) and idle (8), for no window of its own.
                take = services.wait_for("portal", window="", flags=12, reason="Recording a take")
                time.sleep(0.5)
                self.assertEqual(services.told("closed"), [], "held while the take runs")
                desktop.stop()
                services.wait_for("closed", number=take["number"])
                desktop.save_as("take")
                save = services.wait_for("portal", flags=12, reason="Saving a take")
                services.wait_for("closed", number=save["number"])
                assert_wav_is_take(self, folder, "take.wav")
                desktop.request_close()
                code, _, err = desktop.finish()
                self.assertEqual((code, err), (0, ""))

    def test_without_logind_or_portal_a_take_records_as_before(self):
        for name, buses in [("no buses", False), ("buses without either", True)]:
            with self.subTest(name), temporary_folder() as folder, \
                    SleepServices(buses=buses, logind=False, portal=False) as services, self.desktop() as desktop:
                record(desktop, folder, services)
                # A second of audio, as the program wrote it, not the clock.
                take = os.path.join(folder, "pelvar.temp")
                wait_while_progressing(desktop.process, lambda: os.path.getsize(take) > 44100 * 4 * 6 // 5,
                                       "the take never held a second", 10, files=(take,))
                desktop.stop()
                desktop.save_as("take")
                self.assertGreater(assert_wav_is_take(self, folder, "take.wav"), 44100 * 4)
                desktop.request_close()
                code, _, err = desktop.finish()
                self.assertEqual((code, err), (0, ""), "nothing on the terminal")

    def test_a_forced_sleep_ends_the_take_whole_and_is_told_on_waking(self):
        """logind announces a sleep the user forced; the take ends, all of it
        on disk and its file closed, before the delay lock lets the sleep go
        ahead, which the stand-in then carries out by stopping the program.
        On waking a box tells it, and Save stores the take."""
        with temporary_folder() as folder, temporary_folder() as home, SleepServices() as services, \
                self.desktop() as desktop:
            device_input = paced_device(home, RIG)
            take = os.path.join(folder, "pelvar.temp")
            record(desktop, folder, services, home)
            block, delay = self.take_locks(services)
            time.sleep(1.5)
            # The take's own channel, and the hold on the file that every run keeps.
            writing = writers_of(desktop.process.pid, take)
            before_sleep = delivered(desktop.process, home)
            services.tell("sleep")
            services.wait_for("asleep")
            try:
                still_writing = writers_of(desktop.process.pid, take)
                self.assertEqual(len(still_writing), len(writing) - 1, "the take was closed before the sleep")
                self.assertTrue(set(still_writing) < set(writing))
                with open(take, "rb") as recorded:
                    frames = recorded.read()
                start = device_input.find(frames[:64])
                self.assertNotEqual(start, -1, "the take begins with the device's bytes")
                self.assertTrue(device_input[start:start + len(frames)] == frames, "the take is unbroken")
                self.assertGreaterEqual(start + len(frames), before_sleep - 44100 * 4 // 20,
                                        "all the device delivered before the sleep is in the take")
                self.assertEqual(desktop.find_windows("^Error$"), [], "nothing is said before the sleep")
            finally:
                services.tell("wake")
            self.assertEqual(sorted(line[1] for line in services.told("released")), sorted([block, delay]))
            dismiss_error(desktop, timeout=5)
            time.sleep(1.5)
            self.assertEqual(os.path.getsize(take), len(frames), "the take does not go on after waking")
            desktop.save_as("take")
            assert_wav_is_take(self, folder, "take.wav")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)


if __name__ == "__main__":
    unittest.main()
