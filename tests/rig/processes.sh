#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sourced by the rig's scripts (rig.sh, tests/sound/soundserver.sh): how they
# wait for what they start, and how they stop it again, by the pid or the
# process group its pid file names and never by a name.

# Stops what a pid file names: a process, or with "group" the whole process
# group it leads. Only what the rig started is ever signalled.
stop_pid() {
    local file=$1 target
    [ -f "$file" ] || return 0
    target=$(cat "$file")
    [ "${2:-}" = group ] && target=-$target
    kill -- "$target" 2>/dev/null || true
    for _ in $(seq 50); do running "$target" || break; sleep 0.1; done
    kill -9 -- "$target" 2>/dev/null || true
    rm -f "$file"
}

# Whether a process (or with a minus, a process group) still runs: one that
# has ended but waits for its parent to collect it does not, and an adopted
# one may wait seconds for that where the first process reaps slowly.
running() {
    ps -e -o pid=,pgid=,stat= | awk -v target="$1" '
        (target < 0 ? $2 == -target : $1 == target) && $3 !~ /^Z/ { found = 1 } END { exit !found }'
}

# Runs the command until it succeeds, for ten seconds at most.
wait_for() {
    for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
