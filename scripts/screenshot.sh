#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Re-takes docs/screenshot.png: the window as the program draws it, under Xvfb,
# with the private sound server so that the device list is filled.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$here/build/app/ostrelle}
state=$(mktemp -d /tmp/ostrelle-shot.XXXXXX)
display=:$((100 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    "$here/tests/sound/soundserver.sh" stop "$state"
    rm -rf "$state"
}
trap cleanup EXIT
"$here/tests/sound/soundserver.sh" start "$state"
(cd "$state" && DISPLAY=$display PULSE_SERVER=$(. "$state/env"; echo "$PULSE_SERVER") "$program") &
app=$!
for _ in $(seq 100); do DISPLAY=$display xdotool search --onlyvisible --name '^Ostrelle' >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5
mkdir -p "$here/docs"
DISPLAY=$display import -window root -crop 440x340+150+150 +repage "$here/docs/screenshot.png"
echo "wrote docs/screenshot.png"
