#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks from the sources that each room holds what ARCHITECTURE.md says it
does: a dependency's headers are included only in the room that owns it, and
no file name is used in two rooms. Only a file's own includes count: a
room's public header that brings a dependency along (capture.h brings
<portaudio.h> to app/ for the types of its records) is its own room's; that
app/ calls nothing of it, calls_run_one_way.py checks from the symbols.

Usage: rooms_hold_what_they_say.py SOURCE_DIR
"""
import os
import re
import sys

ROOMS = ["app", "capture", "files", "take_format", "ui", "save"]
# A dependency, its headers, and the one room that includes them.
OWNERS = [
    ("Qt", re.compile(r"Q[A-Z]\w*|Qt\w*/.+"), "ui"),
    ("PortAudio", re.compile(r"portaudio\.h|pa_\w+\.h"), "capture"),
    ("ALSA", re.compile(r"alsa/.+"), "capture"),
    ("libpulse", re.compile(r"pulse/.+"), "capture"),
    ("libFLAC", re.compile(r"FLAC/.+"), "save"),
    ("libopusenc", re.compile(r"opusenc\.h|opus/.+"), "save"),
    ("LAME", re.compile(r"lame\.h|lame/.+"), "save"),
    ("the file system", re.compile(r"fcntl\.h|unistd\.h|dirent\.h|sys/(stat|statvfs|file|xattr|sendfile)\.h"
                                   r"|filesystem|fstream"), "files"),
]
INCLUDE = re.compile(r"^\s*#\s*include\s*<([^>]+)>", re.MULTILINE)


def main(source):
    wrong, rooms_of = [], {}
    for room in ROOMS:
        for folder, _, names in os.walk(os.path.join(source, room)):
            for name in (name for name in names if name.endswith((".cpp", ".h"))):
                rooms_of.setdefault(name, set()).add(room)
                path = os.path.join(folder, name)
                with open(path) as text:
                    headers = INCLUDE.findall(text.read())
                wrong += [f"{os.path.relpath(path, source)} includes <{header}>, which is {owner}/'s ({dependency})"
                          for header in headers for dependency, pattern, owner in OWNERS
                          if pattern.fullmatch(header) and owner != room]
    wrong += [f"{name} is a file of {' and of '.join(sorted(rooms))}"
              for name, rooms in sorted(rooms_of.items()) if len(rooms) > 1]
    for line in wrong:
        print(line)
    print(f"{len(ROOMS)} rooms, {len(wrong)} things out of place")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
