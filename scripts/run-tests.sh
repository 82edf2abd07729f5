#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What `make test` runs once the build is done: every test on the sound
# server the rig starts first, then the tests that capture (label "sound")
# once more on each other server installed. Every pass runs even when an
# earlier one failed, so that one failure never hides another; at the end
# it says which passes ran and which failed, and exits non-zero if any did.
# With OSTRELLE_SERVERS=1 only the first server's pass runs.
#
#   run-tests.sh BUILD_DIR [CTEST_ARGUMENTS...]
set -uo pipefail

build=${1:?build folder}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

mapfile -t servers < <("$here/tests/sound/soundserver.sh" servers)
[ "${OSTRELLE_SERVERS:-}" != 1 ] || servers=("${servers[0]}")
passes=() outcomes=() passed=0 failed=0 broken=0
run_pass() {
    local name=$1 server=$2
    shift 2
    echo "== Pass: $name"
    # Each test runs once: one that fails is a fault to find, not a run to repeat.
    (cd "$build" && OSTRELLE_SOUND_SERVER=$server ctest --output-on-failure -j1 "$@") 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    # ctest's own count of the pass ("... 2 tests failed out of 81").
    local counts
    counts=$(sed -n 's/.* tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
    if [ -n "$counts" ]; then
        failed=$((failed + ${counts% *}))
        passed=$((passed + ${counts#* } - ${counts% *}))
    fi
    passes+=("$name")
    if [ "$status" -eq 0 ]; then
        outcomes+=(passed)
    else
        # The tests that failed, as ctest lists them at the pass's end.
        outcomes+=("FAILED (ctest exited $status)"$'\n'"$(sed -n '/^The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - /      /p' "$log")")
        broken=$((broken + 1))
    fi
}

run_pass "every test on ${servers[0]}" "${servers[0]}" "$@"
for server in "${servers[@]:1}"; do
    run_pass "the tests that capture, again on $server" "$server" -L sound "$@"
done

echo "== Passes of the tests in $build:"
for i in "${!passes[@]}"; do
    echo "   ${passes[$i]}: ${outcomes[$i]}"
done
echo "Tests: $passed passed, $failed failed"
[ "$broken" -eq 0 ]
