# SPDX-License-Identifier: MIT
"""The whole program's start-up: on Wayland with X beside it, without any display,
and installed with its menu entry."""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, temporary_folder  # noqa: E402
from scenario import CLOSE_REQUEST, PROGRAM, RIG, SOURCE, Scenario  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
