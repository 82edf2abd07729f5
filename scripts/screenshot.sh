#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Re-takes docs/screenshot.png: the window as the program draws it, under Xvfb,
# with the private sound server so that the device list is filled, ACCEPT
# pressed and a take of its tone running, so that the level meter and the
# take's line show. Fails, leaving the old picture, when the new one comes
# out blank.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$here/build/app/ostrelle}
state=$(mktemp -d /tmp/ostrelle-shot.XXXXXX)
rig=$here/tests/rig/rig.sh
cleanup() {
    if [ -n "${app:-}" ]; then kill "$app" 2>/dev/null || true; fi
    "$rig" stop "$state/x"
    "$rig" stop "$state"
    rm -rf "$state"
}
trap cleanup EXIT
# The test rig's X server and sound server.
"$rig" display "$state/x"
# shellcheck source=/dev/null  # written by rig.sh display
display=$(. "$state/x/env"; echo "$DISPLAY")
"$rig" sound start "$state"
# shellcheck source=/dev/null  # written by soundserver.sh start
(cd "$state" && DISPLAY=$display PULSE_SERVER=$(. "$state/env"; echo "$PULSE_SERVER") "$program") &
app=$!
for _ in $(seq 100); do DISPLAY=$display xdotool search --onlyvisible --name '^Ostrelle' >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5
# ACCEPT, then Record, clicked at their places in the window at (150, 150).
DISPLAY=$display xdotool mousemove 510 267 click 1
sleep 1
DISPLAY=$display xdotool mousemove 240 340 click 1
sleep 2.5
DISPLAY=$display import -window root -crop 440x340+150+150 +repage "$state/shot.png"
colours=$(identify -format %k "$state/shot.png")
if [ "$colours" -lt 3 ]; then
    echo "the picture came out blank ($colours colours); docs/screenshot.png is unchanged" >&2
    exit 1
fi
mkdir -p "$here/docs"
cp "$state/shot.png" "$here/docs/screenshot.png"
echo "wrote docs/screenshot.png"
