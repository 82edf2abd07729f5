#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private PulseAudio for tests and demos: a null sink with a sine tone
# playing into it, whose monitor is the default capture source. PortAudio then
# lists the ALSA devices "pulse" and "default", which capture the tone.
#
#   soundserver.sh start DIR [FREQUENCY [AMPLITUDE]]   prints nothing; DIR/env holds the environment
#   soundserver.sh stop DIR
#   soundserver.sh kill DIR        the server alone, at once (a server lost mid-take)
#   soundserver.sh freeze|thaw DIR the server stops answering, and answers again (a hung server)
# Clients need: source DIR/env  (XDG_RUNTIME_DIR, HOME, PULSE_SERVER).
set -euo pipefail

command=${1:?start, stop or kill}
dir=${2:?state folder}
frequency=${3:-1000}
amplitude=${4:-0.5}

# Stops what a pid file names: a process, or with "group" the whole process
# group it leads. Only what this script started is ever signalled.
stop_pid() {
    local file=$1 target
    [ -f "$file" ] || return 0
    target=$(cat "$file")
    [ "${2:-}" = group ] && target=-$target
    kill -- "$target" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 -- "$target" 2>/dev/null || break; sleep 0.1; done
    kill -9 -- "$target" 2>/dev/null || true
    rm -f "$file"
}

case "$command" in
start)
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    dir=$(cd "$dir" && pwd)
    cat > "$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native
load-module module-null-sink sink_name=tone rate=48000 channels=2
set-default-sink tone
set-default-source tone.monitor
PA
    cat > "$dir/env" <<ENV
export XDG_RUNTIME_DIR=$dir/runtime
export HOME=$dir/home
export PULSE_SERVER=unix:$dir/runtime/native
ENV
    # shellcheck disable=SC1091
    source "$dir/env"
    pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disallow-exit --log-target=file:"$dir/pulse.log" >/dev/null 2>&1 &
    echo $! > "$dir/server.pid"
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || { echo "the sound server did not start; see $dir/pulse.log" >&2; exit 1; }
    # The tone runs in a process group of its own, so that stop ends exactly
    # this server's tone and no other.
    setsid bash -c 'sox -q -n -t raw -r 48000 -c 2 -e signed -b 16 - synth 86400 sine "$0" vol "$1" |
        pacat --playback --raw --format=s16le --rate=48000 --channels=2 --device=tone --latency-msec=500' \
        "$frequency" "$amplitude" >/dev/null 2>&1 < /dev/null &
    echo $! > "$dir/tone.pid"
    # The player queues half a second, so a busy machine cannot starve the
    # source and leave gaps of silence that a test would blame on the recorder.
    # Wait until the tone reaches the sink.
    for _ in $(seq 50); do pactl list short sink-inputs 2>/dev/null | grep -q . && break; sleep 0.1; done
    ;;
stop)
    stop_pid "$dir/tone.pid" group
    stop_pid "$dir/server.pid"
    ;;
kill)
    [ -f "$dir/server.pid" ] && kill -9 "$(cat "$dir/server.pid")" 2>/dev/null || true
    ;;
freeze|thaw)
    signal=STOP
    [ "$command" = thaw ] && signal=CONT
    [ -f "$dir/server.pid" ] && kill -"$signal" "$(cat "$dir/server.pid")" 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop|kill|freeze|thaw DIR" >&2
    exit 2
    ;;
esac
