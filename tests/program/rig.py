# SPDX-License-Identifier: MIT
"""The test rig's one launcher (tests/rig/rig.sh), as the scenarios and the
benchmarks call it: the parts a test starts for itself, each in a temporary
folder of its own and stopped with it, and what a part's clients need."""
import contextlib
import os
import shutil
import subprocess
import tempfile

LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rig", "rig.sh")


def launch(*words):
    subprocess.run([LAUNCHER, *words], check=True)


@contextlib.contextmanager
def part(what, *words):
    """Starts a part of the rig ("display", "buses", "accessibility", or
    "sound", a sound server of the test's own that it may freeze and kill)
    in a folder of its own, yields the folder, and stops it at the end."""
    folder = tempfile.mkdtemp(prefix=f"ostrelle-{what}.")
    try:
        launch(*(["sound", "start"] if what == "sound" else [what]), folder, *words)
        yield folder
    finally:
        subprocess.run([LAUNCHER, "stop", folder])
        shutil.rmtree(folder, ignore_errors=True)


def environment(folder):
    """What a part's clients need, from its DIR/env."""
    env = {}
    with open(os.path.join(folder, "env")) as lines:
        for line in lines:
            if line.startswith("export ") and "=" in line:
                name, value = line[len("export "):].rstrip("\n").split("=", 1)
                env[name] = value
    return env


def underruns(folder):
    """How often a sound server's tone has run dry so far, as the server told its player."""
    told = subprocess.run([LAUNCHER, "sound", "underruns", folder], capture_output=True, text=True, check=True)
    return int(told.stdout)


def devices(home, *specifications):
    """ALSA devices in home's .asoundrc: NAME, SLAVE, INFILE, OUTFILE each (see rig.sh)."""
    launch("devices", home, *specifications)
