# SPDX-License-Identifier: MIT
"""The whole program's start-up: on Wayland with X beside it, without any display,
and installed with its menu entry."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import CONTROLS, WINDOW_X, WINDOW_Y, Desktop, PingManager, temporary_folder  # noqa: E402
from rig import launch, part  # noqa: E402
from scenario import CLOSE_REQUEST, PING_MANAGER, PROGRAM, RIG, SOURCE, Scenario  # noqa: E402


class Program(Scenario):
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

    def test_recover_is_strict_about_its_one_name(self):
        """--recover saves under one plain name or says why not, in lines a
        name cannot break, and fails when its line cannot be written."""
        headless = {key: value for key, value in os.environ.items()
                    if key not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        note = b"channels=1 bits=16 rate=44100 began=2026-12-07T11:02:33Z"
        take = bytes(range(256)) * 10

        def leave_take(folder):
            with open(os.path.join(folder, "pelvar.temp"), "wb") as temp:
                temp.write(take)
            os.setxattr(os.path.join(folder, "pelvar.temp"), "user.ostrelle.take", note)

        def dangling_link(folder):
            os.symlink("gone", os.path.join(folder, "pelvar.temp"))

        def linked_take(folder):
            os.mkdir(os.path.join(folder, "elsewhere"))
            leave_take(os.path.join(folder, "elsewhere"))
            os.symlink("elsewhere/pelvar.temp", os.path.join(folder, "pelvar.temp"))

        def existing(name):
            return lambda folder: open(os.path.join(folder, name), "w").close()

        def no_stdout():
            os.close(1)

        def read_only_take(folder):
            """The take on a read-only mount of its own, where its note cannot change."""
            take_path = os.path.join(folder, "pelvar.temp")
            mounted = subprocess.run(["mount", "--bind", take_path, take_path], capture_output=True).returncode == 0
            if mounted and subprocess.run(["mount", "-o", "remount,bind,ro", take_path],
                                          capture_output=True).returncode == 0:
                return True
            if mounted:
                subprocess.run(["umount", take_path])
            return False

        def everything(folder):
            return sorted(os.path.join(path, name) for path, folders, files in os.walk(folder)
                          for name in folders + files)

        full = open("/dev/full", "w")
        self.addCleanup(full.close)
        # (arguments, what is there besides the take, where the line goes,
        #  exit code, what its one line says, the WAV that then exists)
        cases = [
            ([], None, None, 1, "needs a file name", None),
            ([""], None, None, 1, "needs a file name", None),
            ([".wav"], None, None, 1, "hidden", None),
            ([".flac"], None, None, 1, "needs a name before .flac", None),
            (["dir/"], existing("dir/keep"), None, 1, "hidden", None),
            (["dir/.wav"], existing("dir/keep"), None, 1, "hidden", None),
            (["one", "two"], None, None, 1, "--recover takes one file name", None),
            (["one", "two", "three"], None, None, 1, "--recover takes one file name", None),
            (["line\nbreak"], None, None, 0, "as line\\nbreak.wav\n", "line\nbreak.wav"),
            (["tab\tand\x1b[31mred\r"], None, None, 0, "as tab\\tand\\x1b[31mred\\r.wav\n",
             "tab\tand\x1b[31mred\r.wav"),
            (["back\\slash"], None, None, 0, "as back\\\\slash.wav\n", "back\\slash.wav"),
            (["take.flac"], None, None, 0, "as take.flac\n", "take.flac"),
            (["take.FLAC"], None, None, 0, "as take.FLAC.wav\n", "take.FLAC.wav"),
            (["line\nbreak"], existing("line\nbreak.wav"), None, 1, "line\\nbreak.wav already exists", None),
            (["full"], None, full, 1, "saved as full.wav, but standard output could not be written", "full.wav"),
            (["closed"], None, no_stdout, 1, "saved as closed.wav, but standard output could not be written",
             "closed.wav"),
            (["take"], dangling_link, None, 1, "pelvar.temp in this folder is a symbolic link", None),
            (["take"], linked_take, None, 1, "pelvar.temp in this folder is a symbolic link", None),
            (["take"], read_only_take, None, 0, "could not be marked as saved (Read-only file system)", "take.wav"),
        ]
        for arguments, beside, output, code, said, saved in cases:
            with self.subTest(arguments=arguments, beside=getattr(beside, "__name__", beside)), \
                    temporary_folder() as folder, contextlib.ExitStack() as mounts:
                if beside in (dangling_link, linked_take):
                    beside(folder)
                elif beside is read_only_take:
                    leave_take(folder)
                    if not beside(folder):
                        self.skipTest("no read-only mount can be made here")
                    mounts.callback(subprocess.run, ["umount", os.path.join(folder, "pelvar.temp")])
                else:
                    leave_take(folder)
                    if beside:
                        os.makedirs(os.path.dirname(os.path.join(folder, arguments[0])), exist_ok=True)
                        beside(folder)
                before = everything(folder)
                result = subprocess.run([PROGRAM, "--recover", *arguments], cwd=folder, env=headless,
                                        stdout=output if output not in (None, no_stdout) else subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, timeout=30,
                                        preexec_fn=no_stdout if output is no_stdout else None)
                self.assertEqual(result.returncode, code, result.stderr)
                line = result.stderr if code else result.stdout
                self.assertEqual(line.count("\n"), 1, repr(line))
                self.assertTrue(line.endswith("\n"), repr(line))
                self.assertIn(said, line)
                if code == 0:
                    self.assertEqual(result.stderr, "")
                if saved is None:
                    self.assertEqual(everything(folder), before, "nothing saved")
                    if beside is dangling_link:
                        self.assertFalse(os.path.lexists(os.path.join(folder, "gone")))
                    continue
                if saved.endswith(".flac"):
                    decoded = subprocess.run(["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little",
                                              "--sign=signed", os.path.join(folder, saved)],
                                             capture_output=True, check=True).stdout
                    self.assertEqual(decoded, take, "the FLAC decodes to the take")
                else:
                    with open(os.path.join(folder, saved), "rb") as wav:
                        self.assertEqual(wav.read()[46:], take)
                # The WAV is whole and on disk, so the take counts as saved,
                # even where its line could not be told; only where its note
                # cannot change is it offered again, and the line says so.
                self.assertEqual(os.getxattr(os.path.join(folder, "pelvar.temp"),
                                             "user.ostrelle.take").endswith(b" saved=1"), beside is not read_only_take)


    def test_a_sound_server_that_hangs_or_comes_late_holds_nothing_up(self):
        """Started while its sound server hangs, the window shows and answers
        every ping of the desktop's, and a signal ends the program at once.
        Started before any sound server runs, it finds the server once that
        starts, and records from it."""
        with part("sound") as rig, temporary_folder() as folder, Desktop(PROGRAM, CLOSE_REQUEST, rig) as desktop:
            manager = PingManager(PING_MANAGER, desktop)
            launch("sound", "freeze", rig)
            try:
                desktop.start(folder)
                # The server hangs on for three seconds, every ping counted.
                manager.restart()
                time.sleep(3)
                desktop.process.send_signal(signal.SIGTERM)
                signalled = time.time()
                code, _, _ = desktop.finish()
                ended = time.time() - signalled
            finally:
                launch("sound", "thaw", rig)
                sent, answered, longest = summary = manager.summary()
            self.assertGreater(answered, 20, summary)
            self.assertLess(longest, 1000, f"a ping waited {longest:.0f} ms; {answered} of {sent} answered")
            self.assertEqual(code, 0)
            self.assertLess(ended, 2, "the signal waited for the hung sound server")

            launch("sound", "stop", rig)
            desktop.start(folder)
            x, y, width, height = CONTROLS["device"]
            list_shown = ["import", "-window", "root", "-crop", f"{width}x{height}+{WINDOW_X + x}+{WINDOW_Y + y}",
                          "+repage", "ppm:-"]
            empty = desktop.run_bytes(*list_shown)
            launch("sound", "start", rig)
            deadline = time.time() + 10
            while desktop.run_bytes(*list_shown) == empty:
                self.assertLess(time.time(), deadline, "the server that came late was never listed")
                time.sleep(0.1)
            desktop.accept()
            desktop.click("record")
            desktop.wait_for_growth(os.path.join(folder, "pelvar.temp"))
            desktop.stop()
            self.assertEqual(desktop.find_windows("^Error$"), [])
            desktop.request_close()
            self.assertEqual(desktop.finish()[0], 0)

    def test_a_signal_from_the_start_acts_as_the_close_box(self):
        """A termination signal that comes while the program starts, before it
        can act on anything, is acted on as the close box as soon as it can:
        the window program exits 0 without a word, and --recover exits 1 with
        its one line, leaving nothing behind. The signal is held back in the
        program from before its first instruction (it inherits the mask it
        is started with) and sent at once, so that it comes before the
        program could act on it whatever the machine's pace."""
        def held_back():
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT, signal.SIGHUP})

        cases = [(signal.SIGTERM, []), (signal.SIGINT, []), (signal.SIGHUP, []),
                 (signal.SIGTERM, ["--recover", "take"])]
        for number, arguments in cases:
            with self.subTest(signal=number.name, arguments=arguments), temporary_folder() as folder, \
                    self.desktop() as desktop:
                take = os.path.join(folder, "pelvar.temp")
                if arguments:
                    with open(take, "wb") as temp:
                        temp.write(bytes(range(256)) * 4096)
                    os.setxattr(take, "user.ostrelle.take", b"channels=1 bits=16 rate=44100 began=2026-12-07T11:02:33Z")
                process = subprocess.Popen([PROGRAM, *arguments], cwd=folder, env=desktop.environment(),
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                           preexec_fn=held_back)
                try:
                    process.send_signal(number)
                    out, err = process.communicate(timeout=20)
                except subprocess.TimeoutExpired:
                    raise AssertionError("the signal was never acted on")
                finally:
                    process.kill()
                if not arguments:
                    self.assertEqual((process.returncode, out, err), (0, "", ""))
                    self.assertEqual(os.listdir(folder), [])
                    continue
                self.assertEqual(process.returncode, 1, err)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertEqual(out, "")
                self.assertEqual(os.listdir(folder), ["pelvar.temp"], "nothing left behind")
                self.assertFalse(os.getxattr(take, "user.ostrelle.take").endswith(b" saved=1"))

    def test_recover_meets_what_happens_to_it_while_it_copies(self):
        """--recover copying a long take: a take cut short under it is saved as
        far as it goes, said so and left unsaved, and past its end nothing
        more is read; a termination signal stops it with exit 1 and one line,
        leaving nothing behind. The program is stopped as soon as it copies,
        so that whatever happens next meets the copy however busy the
        machine."""
        headless = {key: value for key, value in os.environ.items()
                    if key not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        block = os.urandom(1 << 20)
        take_bytes = 256 << 20
        cut_beyond = 8 << 20

        def cut_short(process, take, position):
            os.truncate(take, position + cut_beyond + 2)
            process.send_signal(signal.SIGCONT)
            return (position + cut_beyond) // 4 * 4

        def signalled(number):
            # Resumed, then signalled: one sent while it is stopped is taken
            # by whichever thread wakes first.
            def send(process, take, position):
                process.send_signal(signal.SIGCONT)
                process.send_signal(number)
            return send

        # What happens once the copy is under way, and the exit code.
        cases = [("cut short", cut_short, 0), ("SIGTERM", signalled(signal.SIGTERM), 1),
                 ("SIGINT", signalled(signal.SIGINT), 1), ("SIGHUP", signalled(signal.SIGHUP), 1)]
        for what, happen, code in cases:
            with self.subTest(what), temporary_folder() as folder:
                take = os.path.join(folder, "pelvar.temp")
                with open(take, "wb") as temp:
                    for _ in range(take_bytes // len(block)):
                        temp.write(block)
                os.setxattr(take, "user.ostrelle.take", b"channels=2 bits=16 rate=44100 began=2026-12-07T11:02:33Z")
                process = subprocess.Popen([PROGRAM, "--recover", "take"], cwd=folder, env=headless,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    position = stop_once_copying(process, take)
                    self.assertLess(position, take_bytes - 2 * cut_beyond, "the copy had nearly ended when stopped")
                    kept = happen(process, take, position)
                    # Past the end, a read for every two bytes took minutes
                    # for a gigabyte; this take is a quarter of one.
                    out, err = process.communicate(timeout=60)
                finally:
                    process.kill()
                self.assertEqual(process.returncode, code, err)
                lines = (out if code == 0 else err).splitlines()
                self.assertEqual(len(lines), 1, out + err)
                if kept is None:
                    # Stopped by the signal: nothing is left behind, and the
                    # take stays unsaved.
                    self.assertEqual(out, "")
                    self.assertEqual(os.listdir(folder), ["pelvar.temp"], "nothing left behind")
                    self.assertFalse(os.getxattr(take, "user.ostrelle.take").endswith(b" saved=1"))
                    continue
                self.assertIn("only", lines[0])
                self.assertIn("all that could be read back", lines[0])
                with open(os.path.join(folder, "take.wav"), "rb") as wav:
                    wav.seek(42)
                    self.assertEqual(int.from_bytes(wav.read(4), "little"), kept)
                    saved = wav.read()
                self.assertEqual(len(saved), kept)
                self.assertTrue(saved == (block * (kept // len(block) + 1))[:kept], "what was read, nothing invented")
                self.assertFalse(os.getxattr(take, "user.ostrelle.take").endswith(b" saved=1"),
                                 "a take saved in part stays offered")


def stop_once_copying(process, take):
    """Stops the program (SIGSTOP) as soon as it writes its WAV (it reads
    where the take holds data before), and returns how far its descriptor
    on the take has read."""
    folder = os.path.realpath(os.path.dirname(take)) + "/"
    descriptors = f"/proc/{process.pid}/fd"

    def links():
        found = {}
        for name in os.listdir(descriptors):
            try:
                found[name] = os.readlink(os.path.join(descriptors, name))
            except FileNotFoundError:
                continue
        return found

    deadline = time.time() + 30
    while not any(link.startswith(folder) and link != os.path.realpath(take) for link in links().values()):
        if process.poll() is not None:
            raise AssertionError("the program ended before it was seen writing its WAV")
        if time.time() > deadline:
            raise AssertionError("the program was never seen writing its WAV")
    process.send_signal(signal.SIGSTOP)
    for name, link in links().items():
        if link == os.path.realpath(take):
            with open(f"/proc/{process.pid}/fdinfo/{name}") as info:
                return next(int(line.split()[1]) for line in info if line.startswith("pos:"))
    raise AssertionError("the program holds no descriptor on the take")

if __name__ == "__main__":
    unittest.main()
