#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command on a busy machine: stress-ng keeps every core and the disk
# busy beside it (two CPU and two sync-heavy I/O workers), as builds running
# beside the tests do. The suites must pass so:
#
#   scripts/busy.sh make test
#   scripts/busy.sh bash -c 'for run in 1 2 3; do make test || exit 1; done'
#
# stress-ng runs in a process group of its own and only that group is
# stopped afterwards, however the command ends.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENTS...]" >&2; exit 2; }
command -v stress-ng >/dev/null || { echo "$0: stress-ng is missing; scripts/install-deps.sh check installs it" >&2; exit 2; }

setsid stress-ng --cpu 2 --io 2 --quiet </dev/null &
load=$!
# shellcheck disable=SC2317  # run by the trap
stop_load() {
    kill -TERM -- "-$load" 2>/dev/null || true
    wait "$load" 2>/dev/null || true
}
trap stop_load EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
"$@"
