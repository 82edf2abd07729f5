#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private sound server for tests and demos: a null sink with a sine tone
# playing into it, whose monitor is the default capture source. Other playback
# goes to a second null sink: a player joining the tone's sink (PortAudio
# opens every device as it starts) makes PipeWire skip a beat of the tone.
# PortAudio then
# lists the ALSA devices "pulse" (or PipeWire's own "pipewire") and "default",
# which capture the tone. A third null sink, "zebra" ("Zebra Deck"), plays
# 440 Hz: its monitor "zebra.monitor" ("Monitor of Zebra Deck") is a named
# source beside the default one.
#
#   soundserver.sh start DIR [FREQUENCY [AMPLITUDE]]   prints nothing; DIR/env holds the environment
#   soundserver.sh stop DIR
#   soundserver.sh add-source DIR NAME DESCRIPTION [FREQUENCY]
#                                  a device plugged in: a null sink NAME playing
#                                  a tone (660 Hz), its monitor NAME.monitor
#   soundserver.sh add-named-source DIR NAME DESCRIPTION FREQUENCY
#                                  a source named NAME itself (a remap of a
#                                  hidden sink's monitor, playing the tone), so
#                                  that its name may be a number or another's
#   soundserver.sh remove-source DIR NAME   that device unplugged
#   soundserver.sh move-capture DIR SOURCE  the streams of every capture that
#                                  marks them (ostrelle.stream) moved to SOURCE,
#                                  as a desktop's sound settings move them
#   soundserver.sh kill DIR        the server alone, at once (a server lost mid-take)
#   soundserver.sh freeze|thaw DIR the server stops answering, and answers again (a hung server)
#   soundserver.sh underruns DIR   how often the tone has run dry so far
#   soundserver.sh servers         the servers installed, the one start uses first
# Clients need: source DIR/env  (XDG_RUNTIME_DIR, HOME, PULSE_SERVER,
# PIPEWIRE_REMOTE, PIPEWIRE_PROPS, and OSTRELLE_SOUND_DEVICE, the ALSA device
# to capture from).
#
# The server is PulseAudio where it is installed and PipeWire otherwise;
# OSTRELLE_SOUND_SERVER=pulseaudio|pipewire chooses one. Either listens on
# DIR/runtime/native for PulseAudio's protocol, and touches neither a sound
# card nor the desktop's session bus.
set -euo pipefail

command=${1:?start, stop, add-source, remove-source, kill, freeze, thaw, underruns or servers}
[ "$command" = servers ] || dir=${2:?state folder}
if [ "$command" = start ]; then
    frequency=${3:-1000}
    amplitude=${4:-0.5}
fi

# shellcheck source=tests/rig/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/../rig/processes.sh"

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

# Real-time where allowed (as root, as the tests run), else ahead of other
# work where allowed, else as it is. The server runs so as well as the tone:
# a busy machine (builds beside the tests) must starve neither and leave
# gaps of silence that a test would blame on the recorder.
priority=(nice -n -15)
chrt -f 10 true 2>/dev/null && priority=(chrt -f 10)
nice -n -15 true 2>/dev/null || [ "${priority[0]}" = chrt ] || priority=()

start_pulseaudio() {
    cat > "$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native
load-module module-null-sink sink_name=tone rate=48000 channels=2
load-module module-null-sink sink_name=playback rate=48000 channels=2
set-default-sink playback
set-default-source tone.monitor
PA
    setsid "${priority[@]}" pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disallow-exit --log-target=file:"$dir/server.log" >/dev/null 2>&1 </dev/null &
    echo $! > "$dir/server.pid"
    cp "$dir/server.pid" "$dir/protocol.pid"
    wait_for pactl info
}

# PipeWire, its session manager and its PulseAudio server in a process group
# of their own. The session manager links streams to the sink; its private
# settings keep it off the sound cards, cameras and Bluetooth, which the
# desktop's own server holds, and off D-Bus, which a test machine lacks.
start_pipewire() {
    local config=$dir/config/wireplumber
    mkdir -p "$config/main.lua.d" "$config/bluetooth.lua.d"
    # A stream a test moved to another source (move-capture) is not
    # remembered for the streams of the same program after it.
    cat > "$config/main.lua.d/90-enable-all.lua" <<'LUA'
load_module("metadata")
default_access.properties["enable-flatpak-portal"] = false
default_access.enable()
device_defaults.enable()
stream_defaults.properties["restore-target"] = false
stream_defaults.enable()
LUA
    # The same for WirePlumber 0.5 (Debian 13), which reads its settings so.
    mkdir -p "$config/wireplumber.conf.d"
    printf 'wireplumber.settings = {\n    node.stream.restore-target = false\n}\n' \
        > "$config/wireplumber.conf.d/90-ostrelle.conf"
    echo '-- no Bluetooth' > "$config/bluetooth.lua.d/90-enable-all.lua"
    # A stereo tone taken as one channel averages its two, as PulseAudio
    # does, rather than adding them up 3 dB louder. This asks it of the
    # streams pipewire-pulse makes for its clients; PIPEWIRE_PROPS in DIR/env
    # asks it of those that PipeWire's own ALSA device makes.
    mkdir -p "$dir/config/pipewire/pipewire-pulse.conf.d"
    printf 'stream.properties = {\n    channelmix.normalize = true\n}\n' \
        > "$dir/config/pipewire/pipewire-pulse.conf.d/ostrelle.conf"
    # A server killed before (a lost server in a test) leaves its sockets
    # behind; waiting for the socket would then find the dead one at once and
    # start the clients before the new server listens.
    rm -f "$XDG_RUNTIME_DIR"/pipewire-0 "$XDG_RUNTIME_DIR"/pipewire-0.lock \
        "$XDG_RUNTIME_DIR"/pipewire-0-manager "$XDG_RUNTIME_DIR"/pipewire-0-manager.lock "$dir/runtime/native"
    # Clients of PipeWire's own ALSA device speak to PipeWire itself, not to
    # pipewire-pulse: a hung server is then PipeWire stopped.
    local protocol=pipewire-pulse
    [ "$device" = pipewire ] && protocol=pipewire
    # shellcheck disable=SC2016  # expanded by the inner shell
    env -u DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" \
        PULSE_RUNTIME_PATH="$dir/runtime" setsid "${priority[@]}" bash -c \
        'pipewire & pipewire=$!; until [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.05; done
         wireplumber & pipewire-pulse & pulse=$!
         if [ "$1" = pipewire ]; then echo $pipewire; else echo $pulse; fi > "$0"; wait' \
        "$dir/protocol.pid" "$protocol" >"$dir/server.log" 2>&1 </dev/null &
    echo $! > "$dir/server.pid"
    wait_for pactl info || return 1
    pactl load-module module-null-sink sink_name=tone rate=48000 channels=2 >/dev/null
    pactl load-module module-null-sink sink_name=playback rate=48000 channels=2 >/dev/null
    # The defaults take once the session manager is up.
    wait_for pactl set-default-sink playback || return 1
    wait_for pactl set-default-source tone.monitor
}

# A sine tone played into a sink, in a process group of its own recorded in
# a pid file, so that stop ends exactly this server's tones and no other.
# The player queues half a second, and runs ahead of other work, so a busy
# machine cannot starve the source and leave gaps of silence that a test
# would blame on the recorder; where it still runs dry, the server tells the
# player, which logs it, and a test tells a starved rig from a faulty
# recorder. Returns once the tone reaches the sink.
#   play_tone SINK FREQUENCY AMPLITUDE PID_FILE LOG
play_tone() {
    # shellcheck disable=SC2016  # expanded by the inner shell
    setsid "${priority[@]}" bash -c 'sox -q -n -t raw -r 48000 -c 2 -e signed -b 16 - synth 86400 sine "$0" vol "$1" |
        pacat --verbose --playback --raw --format=s16le --rate=48000 --channels=2 --device="$2" \
            --latency-msec=500 2>&1 | grep --line-buffered -o "Stream underrun"' \
        "$2" "$3" "$1" >"$5" 2>&1 < /dev/null &
    echo $! > "$4"
    wait_for sink_has_input "$1"
}

sink_has_input() {
    local sink
    sink=$(pactl list short sinks | awk -v name="$1" '$2 == name { print $1 }')
    [ -n "$sink" ] && pactl list short sink-inputs | awk -v sink="$sink" '$2 == sink { found = 1 } END { exit !found }'
}

source_listed() { pactl list short sources | awk -v name="$1" '$2 == name { found = 1 } END { exit !found }'; }

# A device plugged in: a null sink NAME described as DESCRIPTION, with a tone
# playing into it, whose monitor NAME.monitor is the new source. Its module's
# number and its player's group are kept in DIR/source-NAME.*.
add_source() {
    local name=$1 description=$2 tone=${3:-660} module
    module=$(pactl load-module module-null-sink sink_name="$name" rate=48000 channels=2 \
        "sink_properties=\"device.description='$description'\"") || return 1
    echo "$module" > "$dir/source-$name.module"
    wait_for source_listed "$name.monitor" || return 1
    play_tone "$name" "$tone" 0.5 "$dir/source-$name.pid" "$dir/source-$name.log"
}

# A source whose name is NAME itself, which may be a number or the name of
# another source: a remap of the monitor of a hidden sink "feed-N" with a
# tone playing into it. Both modules are kept in DIR/source-NAME.module.
add_named_source() {
    local name=$1 description=$2 tone=$3 feed feedModule module
    feed=feed-$(date +%s%N)
    feedModule=$(pactl load-module module-null-sink sink_name="$feed" rate=48000 channels=2) || return 1
    echo "$feedModule" > "$dir/source-$name.module"
    wait_for source_listed "$feed.monitor" || return 1
    play_tone "$feed" "$tone" 0.5 "$dir/source-$name.pid" "$dir/source-$name.log"
    module=$(pactl load-module module-remap-source source_name="$name" master="$feed.monitor" \
        "source_properties=device.description='$description'") || return 1
    echo "$module" >> "$dir/source-$name.module"
    wait_for source_described "$description"
}

source_described() { pactl list sources | grep -qxF "	Description: $1"; }

# The device unplugged: its tone stopped, its modules unloaded, newest
# first, and gone from the server's list.
remove_source() {
    local name=$1 modules module
    stop_pid "$dir/source-$name.pid" group
    [ -f "$dir/source-$name.module" ] || return 0
    modules=$(tac "$dir/source-$name.module")
    for module in $modules; do pactl unload-module "$module" || return 1; done
    rm -f "$dir/source-$name.module"
    for _ in $(seq 100); do
        pactl list short modules | awk -v gone="$(echo "$modules" | tr '\n' ' ')" \
            'BEGIN { split(gone, ids, " ") } { for (i in ids) if ($1 == ids[i]) found = 1 } END { exit !found }' ||
            return 0
        sleep 0.1
    done
    return 1
}

# What a desktop's sound settings do to a stream: every marked capture
# stream moved to another source.
move_capture() {
    local target=$1 streams stream
    streams=$(pactl list source-outputs | awk '/^Source Output #/ { id = substr($3, 2) } /ostrelle\.stream = / { print id }')
    [ -n "$streams" ] || return 1
    for stream in $streams; do pactl move-source-output "$stream" "$target" || return 1; done
}

# Every source's tone, for a server that goes: the modules go with it.
stop_source_tones() {
    local file
    for file in "$dir"/source-*.pid; do stop_pid "$file" group; done
    rm -f "$dir"/source-*.module
}

# The servers installed here, the one a start uses first.
servers() {
    local found=()
    command -v pulseaudio >/dev/null && found+=(pulseaudio)
    command -v pipewire-pulse >/dev/null && command -v wireplumber >/dev/null && found+=(pipewire)
    local chosen=${OSTRELLE_SOUND_SERVER:-${found[0]:-pipewire}}
    echo "$chosen"
    for server in "${found[@]}"; do [ "$server" = "$chosen" ] || echo "$server"; done
}

case "$command" in
servers)
    servers
    ;;
start)
    # A server this folder still names is ended first, tone and all, so that
    # a second start replaces it rather than leaving it playing beside the
    # new one (ctest --repeat runs the fixture's start again each round):
    # its tone would write underruns of its own into the new tone.log.
    stop_pid "$dir/tone.pid" group
    stop_source_tones
    stop_pid "$dir/server.pid" group
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    dir=$(cd "$dir" && pwd)
    server=$(servers)
    server=${server%%$'\n'*}
    device=pulse
    [ "$server" = pipewire ] && installed pipewire-alsa && device=pipewire
    cat > "$dir/env" <<ENV
export XDG_RUNTIME_DIR=$dir/runtime
export HOME=$dir/home
export PULSE_SERVER=unix:$dir/runtime/native
export PIPEWIRE_REMOTE=$dir/runtime/pipewire-0
export OSTRELLE_SOUND_DEVICE=$device
export PIPEWIRE_PROPS=channelmix.normalize=true
ENV
    # shellcheck disable=SC1091
    source "$dir/env"
    case "$server" in
    pulseaudio) start_pulseaudio ;;
    pipewire) start_pipewire ;;
    *) echo "OSTRELLE_SOUND_SERVER is pulseaudio or pipewire, not $server" >&2; exit 2 ;;
    esac || { echo "the $server sound server did not start; see $dir/server.log" >&2; exit 1; }
    { play_tone tone "$frequency" "$amplitude" "$dir/tone.pid" "$dir/tone.log" &&
        add_source zebra "Zebra Deck" 440; } ||
        { echo "the $server sound server's tones did not start; see $dir/server.log" >&2; exit 1; }
    ;;
stop)
    stop_pid "$dir/tone.pid" group
    stop_source_tones
    stop_pid "$dir/server.pid" group
    ;;
add-source|add-named-source|remove-source)
    name=${3:?the name of the sink}
    # shellcheck disable=SC1091
    source "$dir/env"
    case "$command" in
    add-source) add_source "$name" "${4:?its description}" "${5:-}" ;;
    add-named-source) add_named_source "$name" "${4:?its description}" "${5:?its tone}" ;;
    *) remove_source "$name" ;;
    esac || { echo "$command $name: the server did not show the change" >&2; exit 1; }
    ;;
move-capture)
    # shellcheck disable=SC1091
    source "$dir/env"
    move_capture "${3:?the source to move to}" || { echo "move-capture: no capture stream was moved" >&2; exit 1; }
    ;;
kill)
    if [ -f "$dir/server.pid" ]; then kill -9 -- "-$(cat "$dir/server.pid")" 2>/dev/null || true; fi
    ;;
freeze|thaw)
    # The process that speaks to the clients: PulseAudio, pipewire-pulse, or
    # PipeWire itself for its own ALSA device.
    signal=STOP
    [ "$command" = thaw ] && signal=CONT
    if [ -f "$dir/protocol.pid" ]; then kill -"$signal" "$(cat "$dir/protocol.pid")" 2>/dev/null || true; fi
    ;;
underruns)
    grep -ci underrun "$dir/tone.log" || true
    ;;
*)
    echo "usage: $0 start|stop|kill|freeze|thaw|underruns DIR, $0 add-source DIR NAME DESCRIPTION [FREQUENCY]," \
        "$0 add-named-source DIR NAME DESCRIPTION FREQUENCY, $0 remove-source DIR NAME," \
        "$0 move-capture DIR SOURCE, or $0 servers" >&2
    exit 2
    ;;
esac
