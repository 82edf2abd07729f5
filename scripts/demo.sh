#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lets a machine record something real. Where PipeWire already serves the
# PulseAudio protocol (Debian 12's desktops), the recorder simply uses it:
# choose "pulse" or "default" and record what the desktop's input hears.
# Elsewhere a private sound server plays a 1 kHz tone into a null sink, and
# the recorder records that tone.
set -euo pipefail
program=${1:?path to ostrelle}
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
here=$(cd "$(dirname "$0")/.." && pwd)

if pactl info 2>/dev/null | grep -qi pipewire; then
    echo "PipeWire serves the PulseAudio protocol here; recording from the desktop's own sound server."
    exec "$program"
fi

state=$(mktemp -d /tmp/ostrelle-demo.XXXXXX)
trap '"$here/tests/sound/soundserver.sh" stop "$state"; rm -rf "$state"' EXIT
"$here/tests/sound/soundserver.sh" start "$state"
# The sound server's address is all the recorder's sound library needs;
# HOME and the runtime folder stay the user's own.
PULSE_SERVER=$(. "$state/env"; echo "$PULSE_SERVER") "$program"
