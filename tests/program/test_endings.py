# SPDX-License-Identifier: MIT
"""The whole program under Xvfb with the private sound server: every way a take
ends, a killed take offered back and recovered, and long saves that answer
the desktop and stop on a signal or the close box."""
import collections
import contextlib
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
import types
import unittest
import wave

sys.path.insert(0, os.path.dirname(__file__))
from desktop import (PATIENCE, Desktop, PingManager, delivered, paced_device, temporary_folder, thread_names,  # noqa: E402
                     wait_while_progressing)
from rig import launch, part  # noqa: E402
from scenario import CLOSE_REQUEST, INSTRUMENTED, OPTIMISED, PING_MANAGER, PROGRAM, RIG, Scenario  # noqa: E402


# One way a take ends: what ends it and then the program, the exit code,
# a tiny disk under the take's folder (its bytes), and whether it needs a
# sound server of its own.
Ending = collections.namedtuple("Ending", "name end code disk own_server", defaults=(None, False))


@contextlib.contextmanager
def tiny_disk(desktop, folder, room):
    """The folder as a disk of `room` bytes: a tmpfs where mounting is
    permitted, else a limit on the size of the files the program writes (with
    SIGXFSZ ignored, a write past it fails as on a full disk)."""
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={room}", "tmpfs", folder],
                             capture_output=True).returncode == 0
    take = os.path.join(folder, "pelvar.temp")
    if not mounted:
        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (room, resource.RLIM_INFINITY))
        desktop.preexec = limited

    def full():
        if mounted:
            return os.statvfs(folder).f_bavail == 0
        return os.path.exists(take) and os.path.getsize(take) >= room

    try:
        yield types.SimpleNamespace(room=room, full=full)
    finally:
        if mounted:
            subprocess.run(["umount", "-l", folder])


class Program(Scenario):
    def test_every_ending_keeps_the_take_whole(self):
        """The close box, a display that goes away, and the signals of a logout,
        a closed terminal and Ctrl+C each end a take with all of it on disk;
        so does a disk that fills, which is told at once, the take keeping
        all the disk holds; a pause of the whole program is no ending at all;
        and a Record that waits for a sound server that hangs gives way to a
        signal at once, leaving the take before it byte for byte.
        The take is judged by what the device delivered, not by the clock: it
        records from a device that hands out known bytes at the sound server's
        pace, and the program's own read position in them tells how much it
        was given before the take began and before it ended."""
        endings = [
            # What ends the take and then the program; the exit code; a tiny
            # disk under the take's folder (its bytes), and whether the row
            # needs a sound server of its own to freeze.
            Ending("close box", lambda run: run.desktop.request_close(), 0),
            Ending("display lost", lambda run: os.kill(run.desktop.display_pid, signal.SIGKILL), 1),
            Ending("SIGTERM", lambda run: run.desktop.process.send_signal(signal.SIGTERM), 0),
            Ending("SIGINT", lambda run: run.desktop.process.send_signal(signal.SIGINT), 0),
            Ending("SIGHUP", lambda run: run.desktop.process.send_signal(signal.SIGHUP), 0),
            Ending("disk full, then the close box", self.fill_the_disk, 0, disk=512 << 10),
            Ending("stopped for 3 s, then the close box", self.pause_for_three_seconds, 0),
            Ending("Record on a hung sound server, then SIGTERM", self.record_on_a_hung_server, 0, own_server=True),
        ]
        for row in endings:
            with self.subTest(row.name), contextlib.ExitStack() as stack:
                folder = stack.enter_context(temporary_folder())
                home = stack.enter_context(temporary_folder())
                rig = stack.enter_context(part("sound")) if row.own_server else RIG
                desktop = stack.enter_context(Desktop(PROGRAM, CLOSE_REQUEST, rig))
                disk = stack.enter_context(tiny_disk(desktop, folder, row.disk)) if row.disk else None
                device_input = paced_device(home, rig)
                desktop.start(folder, home)
                desktop.choose("device", 1)
                desktop.accept()
                take = os.path.join(folder, "pelvar.temp")
                before_record = delivered(desktop.process, home)
                desktop.click("record")
                try:
                    desktop.wait_for_growth(take)
                except AssertionError as failure:
                    given = delivered(desktop.process, home) - before_record
                    raise AssertionError(f"the device gave {given} bytes since Record; {failure}") from None
                once_recording = delivered(desktop.process, home)
                wait_while_progressing(desktop.process,
                                       lambda: delivered(desktop.process, home) > once_recording + 44100 * 4,
                                       "the device delivered no second of the take", 10)
                before_end = delivered(desktop.process, home)
                run = types.SimpleNamespace(desktop=desktop, folder=folder, home=home, rig=rig, take=take, disk=disk)
                # An ending that lets the take run on says how far it ran.
                before_end = row.end(run) or before_end
                code, _, err = desktop.finish()
                self.assertEqual(code, row.code, err)
                if row.code == 0:
                    self.assertEqual(err, "")
                else:
                    self.assertEqual(len(err.splitlines()), 1, err)
                with open(take, "rb") as recorded:
                    frames = recorded.read()
                self.assertEqual(len(frames) % 4, 0)
                self.assertGreater(before_end - once_recording, 44100 * 4 // 2, "the device delivered during the take")
                start = device_input.find(frames[:64])
                self.assertNotEqual(start, -1, "the take begins with the device's bytes")
                self.assertTrue(device_input[start:start + len(frames)] == frames,
                                "the take is one unbroken stretch of the device's bytes")
                self.assertGreaterEqual(start, before_record, "nothing from before Record")
                self.assertLessEqual(start, once_recording, "the take began by the time it reached the file")
                if disk:
                    # The take holds all the disk could: it ends within a
                    # page of the disk's end.
                    self.assertGreaterEqual(len(frames), disk.room - 4096, "the take keeps all the disk holds")
                    continue
                # All the device delivered before the ending is in the take,
                # but for what may still have been on its way to the
                # callback (a twentieth of a second, as the state table's
                # test allows).
                self.assertGreaterEqual(start + len(frames), before_end - 44100 * 4 // 20,
                                        f"the take ends {before_end - start - len(frames)} bytes short of "
                                        "what the device delivered before the ending")

    def fill_the_disk(self, run):
        """Lets the take fill its disk, then wants the box that says so
        within three seconds: the program promises two, and a busy machine
        is given one more. Then closes the window."""
        deadline = time.time() + 30
        while not run.disk.full():
            self.assertLess(time.time(), deadline, "the take never filled its disk")
            time.sleep(0.02)
        run.desktop.wait_for_window("^Error$", timeout=3)
        run.desktop.keys("Return")
        run.desktop.wait_until_gone("^Error$")
        run.desktop.request_close()

    def pause_for_three_seconds(self, run):
        """Stops the whole program for three seconds, as Ctrl+Z and fg do,
        lets it record a second more by the device's count, then closes the
        window. Returns how far the device had delivered by then."""
        run.desktop.process.send_signal(signal.SIGSTOP)
        time.sleep(3)
        run.desktop.process.send_signal(signal.SIGCONT)
        resumed = delivered(run.desktop.process, run.home)
        deadline = time.time() + 10
        while delivered(run.desktop.process, run.home) < resumed + 44100 * 4:
            self.assertLess(time.time(), deadline, "the device delivered nothing after the pause")
            time.sleep(0.05)
        self.assertEqual(run.desktop.find_windows("^Error$"), [], "the pause ended the take")
        reached = delivered(run.desktop.process, run.home)
        run.desktop.request_close()
        return reached

    def record_on_a_hung_server(self, run):
        """Stops the take, lets the sound server hang until the program
        can tell (it opens the stream again, on a thread of its own), presses
        Record, and sends SIGTERM once Record shows that it waits: the program
        ends at once, and the take it had stays as it was, its note too.
        Returns how far the device had delivered by Stop."""
        reached = delivered(run.desktop.process, run.home)
        run.desktop.stop()
        with open(run.take, "rb") as recorded:
            kept = recorded.read()
        note = os.getxattr(run.take, "user.ostrelle.take")
        launch("sound", "freeze", run.rig)
        wait_while_progressing(run.desktop.process, lambda: "stream opener" in thread_names(run.desktop.process),
                               "the program never told that the server hangs", 10)
        run.desktop.click("record")
        run.desktop.wait_until_enabled("record", False)
        run.desktop.process.send_signal(signal.SIGTERM)
        signalled = time.time()
        try:
            run.desktop.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        # At once: within two seconds, as for a signal during a save, though
        # the server still hangs.
        self.assertLess(time.time() - signalled, 2, "the signal waited for the hung sound server")
        with open(run.take, "rb") as recorded:
            self.assertTrue(recorded.read() == kept, "the take before Record is left byte for byte")
        self.assertEqual(os.getxattr(run.take, "user.ostrelle.take"), note)
        return reached

    def test_sound_server_lost_mid_take(self):
        self.end_sound_server_mid_take("kill")

    def test_sound_server_hung_mid_take(self):
        # A hung server leaves the stream open but silent, which only the
        # program's own watch on the buffers can tell.
        self.end_sound_server_mid_take("freeze")

    def end_sound_server_mid_take(self, how):
        with part("sound") as rig, temporary_folder() as folder, Desktop(PROGRAM, CLOSE_REQUEST, rig) as desktop:
            desktop.start(folder)
            desktop.accept()
            desktop.click("record")
            # A second of the take, 16-bit stereo at 44100 Hz, before the server goes.
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"), beyond=44100 * 4)
            launch("sound", how, rig)
            # The take ends by itself, as Stop ends it, within two
            # seconds as promised, and says so.
            desktop.wait_for_window("^Error$", timeout=2, strict=True)
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
            desktop.accept()
            desktop.click("record")
            # A second of the take, 24-bit mono at 44100 Hz.
            desktop.wait_for_growth(take, beyond=44100 * 3)
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
            # Marked saved by the time "Done!" shows: the program may be
            # killed while it is up, and the take must not be offered again.
            self.assertTrue(os.getxattr(take, "user.ostrelle.take").endswith(b" saved=1"))
            desktop.keys("Return")
            desktop.wait_until_gone("Done!")
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)
            self.assert_wav_holds_take(os.path.join(folder, "take.wav"), take)

            desktop.start(folder)
            # Done with its start, where an unsaved take is offered.
            desktop.wait_until_idle()
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
        desktop.accept()
        desktop.click("record")
        take = os.path.join(folder, "pelvar.temp")
        desktop.wait_for_growth(take)
        deadline = time.time() + 60 + take_bytes / (10 << 20)
        while os.path.getsize(take) < take_bytes and time.time() < deadline:
            time.sleep(0.1)
        feeder.kill()
        feeder.wait()
        desktop.stop(files=[take])
        # At full device speed the ring may overflow, and then Stop says how
        # much was lost. Stop drains the ring to the disk first, which a busy
        # disk can make slow: the box is looked for once the window waits
        # for input again.
        desktop.wait_until_idle(files=[take])
        if desktop.find_windows("^Error$"):
            desktop.keys("Return")
            desktop.wait_until_gone("^Error$")
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
            manager = PingManager(PING_MANAGER, desktop)
            try:
                take = self.record_fast(desktop, folder, home, feeder, take_bytes)
                # From here on every ping counts.
                manager.restart()
                desktop.save_as("take", done_limit=max(PATIENCE, 10 + take_bytes / copy_rate))
                # The end of the input lets the capture thread leave its read.
                os.close(held)
                held = None
                desktop.request_close()
                self.assertEqual(desktop.finish()[0], 0)
            finally:
                feeder.kill()
                if held is not None:
                    os.close(held)
                sent, answered, longest = summary = manager.summary()
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
            raise AssertionError(f"not one file being written: {outputs}")
        return outputs[0], os.path.getsize(take) + 46

    def test_signal_during_a_save_leaves_the_earlier_file(self):
        # While the overwrite question is up it is closed unanswered; during
        # the copy the copy stops, for the window's close box as for a
        # signal, and so does an encoder's: the take's random bytes are
        # as long as FLAC (or longer), so the output's size tells as well.
        for answer_yes, take_bytes, close_box, typed, saved in [
                (False, 4 << 20, False, "take", "take.wav"), (True, 200 << 20, False, "take", "take.wav"),
                (True, 200 << 20, True, "take", "take.wav"), (True, 200 << 20, False, "take.flac", "take.flac"),
                (True, 200 << 20, True, "take.flac", "take.flac")]:
            with self.subTest(copying=answer_yes, close_box=close_box, saved=saved), temporary_folder() as folder, \
                    temporary_folder() as home, self.desktop() as desktop:
                earlier = os.urandom(100000)
                with open(os.path.join(folder, saved), "wb") as existing:
                    existing.write(earlier)
                held, feeder = self.fast_device(home)
                try:
                    take = self.record_fast(desktop, folder, home, feeder, take_bytes)
                    desktop.click("save")
                    desktop.wait_for_window("Select a file")
                    desktop.type_text(typed)
                    desktop.keys("Return")
                    desktop.wait_for_window("^Overwrite file[?]$")
                    if answer_yes:
                        desktop.keys("Return")
                        written, whole = self.stop_during_copy(desktop, folder, take)
                        print(f"stopped with {written} of {whole} bytes written", file=sys.stderr)
                        # Short of the end by more than the program's write buffer.
                        self.assertLess(written, whole - (64 << 10), "the copy had ended before the signal")
                    # Resumed, then signalled: a signal sent to a running
                    # program goes to its main thread, the one copying. One
                    # sent while it is stopped is taken by whichever thread
                    # wakes first; under ThreadSanitizer that left the close
                    # unnoticed for over ten seconds about one run in ten.
                    desktop.process.send_signal(signal.SIGCONT)
                    if close_box:
                        desktop.request_close()
                    else:
                        desktop.process.send_signal(signal.SIGTERM)
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
                self.assertEqual(sorted(os.listdir(folder)), sorted(["pelvar.temp", saved]), "nothing unfinished is left")
                self.assertFalse(os.getxattr(take, "user.ostrelle.take").endswith(b" saved=1"), "offered back")
                with open(os.path.join(folder, saved), "rb") as kept:
                    self.assertTrue(kept.read() == earlier, "the earlier file is left byte for byte")


if __name__ == "__main__":
    unittest.main()
