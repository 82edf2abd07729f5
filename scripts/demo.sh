#!/usr/bin/env bash
# Starts a private sound server that plays a 1 kHz tone, then the recorder,
# so that a machine without a sound card can record something real.
set -euo pipefail
program=${1:?path to ostrelle}
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
here=$(cd "$(dirname "$0")/.." && pwd)
state=$(mktemp -d /tmp/ostrelle-demo.XXXXXX)
trap '"$here/tests/sound/soundserver.sh" stop "$state"; rm -rf "$state"' EXIT
"$here/tests/sound/soundserver.sh" start "$state"
# The sound server's address is all the recorder's sound library needs;
# HOME and the runtime folder stay the user's own.
PULSE_SERVER=$(. "$state/env"; echo "$PULSE_SERVER") "$program"
