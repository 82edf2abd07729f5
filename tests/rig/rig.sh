#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test rig's one launcher: everything the tests run beside the program
# is started here, for C++ and Python tests alike, each part in a folder of
# its own, in process groups of its own recorded in pid files there, and
# stopped by those groups alone. Each part writes what its clients need to
# DIR/env, as "export NAME=value" lines. CTest's fixture starts the sound
# server that the tests share (tests/CMakeLists.txt); a test starts the
# other parts for itself, so that what one test does to them (a display
# killed, a stand-in's locks counted) never reaches another.
#
#   rig.sh sound COMMAND DIR ...     the private sound server: COMMAND and the
#                                    rest as tests/sound/soundserver.sh takes them
#   rig.sh display DIR               an X server (Xvfb) of its own: DISPLAY
#   rig.sh buses DIR STAND_IN WHAT...
#                                    private buses: WHAT names those that run
#                                    ("system", "session"; the others' addresses
#                                    lead nowhere) and the stand-ins on them
#                                    (STAND_IN, tests/dbus/sleep_services.cpp:
#                                    "logind", "portal", and "keep-running" for a
#                                    logind that stops no caller). DBUS_SYSTEM_BUS_ADDRESS,
#                                    DBUS_SESSION_BUS_ADDRESS; a line written to
#                                    DIR/commands reaches the stand-ins, and
#                                    DIR/told holds what they told
#   rig.sh accessibility DIR         a session bus with the AT-SPI bus on it,
#                                    screen readers on: DBUS_SESSION_BUS_ADDRESS
#   rig.sh devices HOME NAME SLAVE INFILE OUTFILE [NAME SLAVE INFILE OUTFILE...]
#                                    ALSA devices in HOME/.asoundrc, each at the
#                                    pace of the device SLAVE: handing out the
#                                    bytes of INFILE (none when empty) and writing
#                                    what SLAVE delivers to OUTFILE (/dev/null
#                                    when empty)
#   rig.sh stop DIR                  stops everything started in DIR
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/rig/processes.sh
source "$here/processes.sh"
sound_server=$here/../sound/soundserver.sh

command=${1:?sound, display, buses, accessibility, devices or stop}
shift
if [ "$command" = sound ]; then
    exec "$sound_server" "$@"
fi
dir=${1:?the folder of the part}
shift
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# Starts a command in a process group of its own, recorded as DIR/NAME.group,
# with the standard input the call was given (without <&0 a command in the
# background would read /dev/null).
start_group() {
    local name=$1
    shift
    setsid "$@" <&0 &
    echo $! > "$dir/$name.group"
}

display() {
    # Xvfb picks a free display itself and names it once it accepts
    # clients, so two test runs never race for one. Without -noreset it
    # restarts whenever its last client leaves, and a program starting just
    # then finds no display.
    : > "$dir/display"
    start_group display Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset \
        3>"$dir/display" >"$dir/display.log" 2>&1 </dev/null
    wait_for grep -qx '[0-9][0-9]*' "$dir/display" || return 1
    local display
    display=:$(head -n 1 "$dir/display")
    echo "export DISPLAY=$display" >> "$dir/env"
    DISPLAY=$display wait_for xdpyinfo
}

# A dbus-daemon listening at DIR/KIND_bus, and a policy that lets every
# client own, call and watch anything, as the stand-ins and the AT-SPI
# registry need. It runs as a session bus whatever it stands in for: a
# system bus's own habits (raising its descriptor limit, the system log)
# need root. It prints its address once it accepts clients.
start_bus() {
    local kind=$1
    cat > "$dir/${kind}_bus.conf" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/${kind}_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
XML
    start_group "${kind}_bus" dbus-daemon --config-file="$dir/${kind}_bus.conf" --nofork --nopidfile \
        --print-address=3 3>"$dir/${kind}_bus.address" >/dev/null 2>>"$dir/buses.log" </dev/null
    wait_for grep -q . "$dir/${kind}_bus.address"
}

buses() {
    local stand_in=${1:?the program of the stand-ins} what options=()
    shift
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/system_bus DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/session_bus
    printf 'export %s\n' "DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS" \
        "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" >> "$dir/env"
    for what in "$@"; do
        case $what in
        system | session) start_bus "$what" || return 1 ;;
        logind | portal | keep-running) options+=("--$what") ;;
        *) echo "rig.sh buses: no $what" >&2; return 2 ;;
        esac
    done
    [ ${#options[@]} -gt 0 ] || return 0
    # The stand-ins hold their commands' pipe open for writing as well, so
    # that a test's writer coming and going never ends their input.
    mkfifo "$dir/commands"
    start_group stand_in "$stand_in" "${options[@]}" <>"$dir/commands" >"$dir/told" 2>>"$dir/buses.log"
    wait_for grep -qx ready "$dir/told"
}

accessibility() {
    start_bus session || return 1
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/session_bus
    echo "export DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" >> "$dir/env"
    mkdir -m 700 "$dir/runtime"
    # Without a display the launcher leaves the X server alone; the memory
    # backend keeps it off the user's own settings. It starts the
    # accessibility bus and, through it, the registry, in its group.
    start_group accessibility env -u DISPLAY GSETTINGS_BACKEND=memory XDG_RUNTIME_DIR="$dir/runtime" \
        /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 --screen-reader=1 \
        >/dev/null 2>>"$dir/buses.log" </dev/null
    wait_for bash -c 'dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress |
        grep -q unix:'
}

devices() {
    local home=$dir
    : > "$home/.asoundrc"
    while [ $# -ge 4 ]; do
        {
            printf 'pcm.%s {\n  type file\n  slave.pcm "%s"\n  file "%s"\n' "$1" "$2" "${4:-/dev/null}"
            [ -z "$3" ] || printf '  infile "%s"\n' "$3"
            printf '  format "raw"\n}\n'
        } >> "$home/.asoundrc"
        shift 4
    done
}

case $command in
display) display || { echo "rig.sh: Xvfb did not start; see $dir/display.log" >&2; exit 1; } ;;
buses) buses "$@" || { echo "rig.sh: the buses did not start; see $dir/buses.log" >&2; exit 1; } ;;
accessibility) accessibility || { echo "rig.sh: the AT-SPI bus did not start; see $dir/buses.log" >&2; exit 1; } ;;
devices) devices "$@" ;;
stop)
    # A sound server a test froze goes at once, as a stopped process would not.
    if [ -f "$dir/server.pid" ]; then "$sound_server" thaw "$dir" && "$sound_server" stop "$dir"; fi
    for group in "$dir"/*.group; do stop_pid "$group" group; done
    ;;
*)
    echo "usage: $0 sound|display|buses|accessibility|devices|stop DIR ..." >&2
    exit 2
    ;;
esac
