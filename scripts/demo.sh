#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lets a machine record something real: a private sound server plays a 1 kHz
# tone into a null sink, and the recorder records that tone. The server is
# PipeWire's own where PipeWire is installed, PulseAudio elsewhere; either
# runs beside a desktop's sound server without touching it.
set -euo pipefail
program=${1:?path to ostrelle}
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
here=$(cd "$(dirname "$0")/.." && pwd)

state=$(mktemp -d /tmp/ostrelle-demo.XXXXXX)
trap '"$here/tests/sound/soundserver.sh" stop "$state"; rm -rf "$state"' EXIT
"$here/tests/sound/soundserver.sh" start "$state"
# The sound server's addresses, and PipeWire's wish that one channel taken
# from two averages them, are all the recorder's sound libraries need; HOME
# and the runtime folder stay the user's own.
# shellcheck source=/dev/null  # written by soundserver.sh start
device=$(. "$state/env"; echo "$OSTRELLE_SOUND_DEVICE")
# "default" leads there too where PulseAudio's or PipeWire's ALSA
# configuration makes it the sound server's.
choice="the \"$device\" device"
for package in pulseaudio pipewire-alsa; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] &&
        choice="the \"$device\" or the \"default\" device"
done
echo "Choose $choice and press ACCEPT: what you record is the demo's 1 kHz tone."
# shellcheck source=/dev/null
PULSE_SERVER=$(. "$state/env"; echo "$PULSE_SERVER") PIPEWIRE_REMOTE=$(. "$state/env"; echo "$PIPEWIRE_REMOTE") \
    PIPEWIRE_PROPS=$(. "$state/env"; echo "$PIPEWIRE_PROPS") "$program"
