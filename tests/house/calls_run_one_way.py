#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks from the built libraries' symbols that calls between the rooms run
one way: every symbol a room's library needs from another room's library is
defined in a room it may call. A call up (capture into the window layer, say)
or across fails with the symbol that made it.

Usage: calls_run_one_way.py ROOM=LIBRARY.a ...
"""
import subprocess
import sys

# What each room may call. The window layer, the file channels and the
# take's format are leaves; capture and the WAV writer sit on the file
# channels and the format; the application sits on everything.
MAY_CALL = {
    "files": set(),
    "ui": set(),
    "take_format": set(),
    "capture": {"files", "take_format"},
    "wav": {"files", "take_format"},
    "app": {"capture", "wav", "ui", "files", "take_format"},
}


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
                wrong.append(f"{room} calls {owner}: {demangle(name)}")
    for line in wrong:
        print(line)
    print(f"{len(rooms)} rooms, {len(wrong)} calls against the direction")
    return 1 if wrong else 0


def demangle(name):
    return subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip() or name


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
