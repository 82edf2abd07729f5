#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks from the built libraries' symbols that calls between the rooms run
one way: every symbol a room's library needs from another room's library is
defined in a room it may call. A call up (capture into the window layer, say)
or across fails with the symbol that made it. So does a call into a library
beneath the rooms from any room but the one that owns it (DEPENDENCIES): a
room that includes another's public header for the types of its records
(app/ and capture.h, which brings PortAudio's) still calls nothing of the
library behind it.

Usage: calls_run_one_way.py ROOM=LIBRARY.a ...
"""
import re
import subprocess
import sys

# What each room may call. The window layer, the file channels and the
# take's format are leaves; capture and the save sit on the file channels
# and the format; the application sits on everything.
MAY_CALL = {
    "files": set(),
    "ui": set(),
    "take_format": set(),
    "capture": {"files", "take_format"},
    "save": {"files", "take_format"},
    "app": {"capture", "save", "ui", "files", "take_format"},
}

# A library beneath the rooms, its symbols by their demangled names, and the
# one room that may call it.
DEPENDENCIES = [
    ("Qt", re.compile(r"^((typeinfo|vtable) for |(non-)?virtual thunk to )?(Q[A-Z]\w*|Qt)(::|\(|$)|^q[A-Z]\w*\(|^qt_"),
     "ui"),
    ("PortAudio", re.compile(r"^Pa(Alsa|Util)?_"), "capture"),
    ("ALSA", re.compile(r"^snd_"), "capture"),
    ("libpulse", re.compile(r"^pa_"), "capture"),
    ("libFLAC", re.compile(r"^FLAC__"), "save"),
    ("libopusenc", re.compile(r"^ope_"), "save"),
    ("LAME", re.compile(r"^(lame|id3tag|hip)_"), "save"),
    ("the file system", re.compile(r"^(__)?(open|openat|creat|read|pread|write|pwrite|close|lseek|fsync|fdatasync"
                                   r"|f?truncate|fallocate|f?stat|lstat|fstatat|statx|f?statvfs|unlink(at)?"
                                   r"|rename(at2?)?|link(at)?|mkdir|flock|[fl]?(get|set|remove)xattr|dup[23]?|fcntl"
                                   r"|opendir|readdir)(64)?(_2|_chk)?$"), "files"),
]


def symbols(library):
    """The symbols the library defines and the ones it needs, mangled."""
    listing = subprocess.run(["nm", "--format=posix", library], check=True, capture_output=True, text=True).stdout
    defined, needed = set(), set()
    for line in listing.splitlines():
        fields = line.split()
        # Member headers ("file.o:") and short lines carry no symbol.
        if len(fields) < 2 or fields[0].endswith(":"):
            continue
        name, kind = fields[0], fields[1]
        if kind == "U":
            needed.add(name)
        elif kind not in ("w", "v"):
            # Weak and inline definitions (templates, inline functions) are
            # made in every room that uses them, so they say nothing of who calls whom.
            if kind not in ("W", "V", "u"):
                defined.add(name)
    return defined, needed


def main(arguments):
    rooms = dict(argument.split("=", 1) for argument in arguments)
    unknown = set(rooms) - set(MAY_CALL)
    missing = set(MAY_CALL) - set(rooms)
    if unknown or missing:
        print(f"rooms not in the table: {sorted(unknown)}; rooms not given: {sorted(missing)}")
        return 2
    table = {room: symbols(library) for room, library in rooms.items()}
    definer = {}
    for room, (defined, _) in table.items():
        for name in defined:
            definer.setdefault(name, room)
    wrong = []
    for room, (defined, needed) in table.items():
        for name in sorted(needed - defined):
            owner = definer.get(name)
            if owner is not None and owner != room and owner not in MAY_CALL[room]:
                wrong.append(f"{room} calls {owner}: {demangle([name])[0]}")
        beneath = sorted(name for name in needed if name not in definer)
        for name in demangle(beneath):
            wrong += [f"{room} calls {dependency}, which is {owner}/'s: {name}"
                      for dependency, pattern, owner in DEPENDENCIES if owner != room and pattern.search(name)]
    for line in wrong:
        print(line)
    print(f"{len(rooms)} rooms, {len(wrong)} calls against the direction")
    return 1 if wrong else 0


def demangle(names):
    text = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True).stdout
    return text.splitlines() if names else []


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
