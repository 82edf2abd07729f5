# SPDX-License-Identifier: MIT
"""What every scenario file shares: the programs and the sound rig that CTest
names in the environment, and a test case that starts the program on a
desktop of its own."""
import os
import unittest

from desktop import Desktop

PROGRAM = os.environ["OSTRELLE"]
CLOSE_REQUEST = os.environ["CLOSE_REQUEST"]
PING_MANAGER = os.environ.get("PING_MANAGER", "")
RIG = os.environ["SOUND_RIG"]
SOURCE = os.environ.get("SOURCE_DIR", "")
# A sanitizer's instrumentation slows the program's own loops, its copy
# above all, by an order of magnitude; an unoptimised build by several times.
INSTRUMENTED = os.environ.get("OSTRELLE_SANITIZE", "") != ""
OPTIMISED = os.environ.get("BUILD_TYPE", "") != "Debug" and not INSTRUMENTED


class Scenario(unittest.TestCase):
    def desktop(self):
        return Desktop(PROGRAM, CLOSE_REQUEST, RIG)
