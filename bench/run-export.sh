#!/usr/bin/env bash
# Runs the export benchmark under a private Xvfb.
set -euo pipefail
binary=${1:-build/bench/bench_export}
display=:$((200 + RANDOM % 50))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb' EXIT
sleep 0.5
DISPLAY=$display XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp} "$binary"
