#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every check CI makes, in the order it makes them; `make check` runs it.
#
#   check.sh [host|root|all]   (all by default)
#
# host: the C++ sources formatted as .clang-format says, shellcheck on every
#       shell script, pyflakes on the Python of tests/ and bench/, then in
#       lanes two at a time: a build (with the benchmarks) clean with warnings
#       as errors followed by `make test`; `make tsan`; `make sanitize`.
# root: the suites again in a fresh Debian 13 root with PipeWire installed as
#       a desktop has it (scripts/test-in-root.sh), which needs root; with
#       all, the last lane.
#
# The suites spend most of their time waiting for audio in real time, so two
# lanes side by side take little more than one; each build has its own
# folder and its own sound server, window servers and buses, as two clones
# do, and the suites hold on a machine that busy. More lanes at once starve
# the sound servers' tones, which the tests then report as rig faults. Each
# line of a lane's output says whose it is.
#
# Every step runs even when an earlier one failed. The end lists each step
# with its outcome and minutes, the minutes of the whole, and the tests
# counted over all of them; the exit status is non-zero if any step failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

part=${1:-all}
case $part in host | root | all) ;; *) echo "usage: $0 [host|root|all]" >&2; exit 2 ;; esac

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Files git knows, so that build folders and roots never count.
shell_scripts() {
    git ls-files -z | while IFS= read -r -d '' file; do
        [ -f "$file" ] && head -n 1 "$file" | grep -qE '^#!.*[/ ](ba)?sh$' && echo "$file"
    done
}
python_files() {
    git ls-files -z tests bench | while IFS= read -r -d '' file; do
        case $file in
        *.py) echo "$file" ;;
        *) [ -f "$file" ] && head -n 1 "$file" | grep -qE '^#!.*python' && echo "$file" ;;
        esac
    done
}

format() {
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
}
warnings_as_errors() {
    make bench CMAKE_FLAGS=-DOSTRELLE_WARNINGS_AS_ERRORS=ON
}
shell_lint() {
    local scripts
    mapfile -t scripts < <(shell_scripts)
    echo "shellcheck: ${scripts[*]}"
    shellcheck "${scripts[@]}"
}
python_lint() {
    local files
    mapfile -t files < <(python_files)
    echo "pyflakes3: ${files[*]}"
    pyflakes3 "${files[@]}"
}
in_root() {
    "${sudo_cmd[@]}" ./scripts/test-in-root.sh trixie pipewire-audio
}

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
# Runs one step and notes its name, outcome and minutes in $results, with
# its output, under NUMBER, the step's place in the summary. With a lane's
# name its output goes out with that name before each line, as the lanes
# run side by side.
#   step NUMBER LANE NAME COMMAND...
step() {
    local number=$1 lane=$2 name=$3
    shift 3
    local started=$SECONDS log=$results/$number.log
    echo
    echo "==== ${lane:+[$lane] }$name"
    if [ -n "$lane" ]; then
        "$@" 2>&1 </dev/null | sed -u "s/^/[$lane] /" | tee "$log"
    else
        "$@" 2>&1 </dev/null | tee "$log"
    fi
    local status=${PIPESTATUS[0]} outcome=passed
    [ "$status" -eq 0 ] || outcome="FAILED ($status)"
    printf '%s\t%s\t%s\n' "$name" "$outcome" "$(awk -v s=$((SECONDS - started)) 'BEGIN { printf "%.1f", s / 60 }')" \
        > "${log%.log}.step"
}

# The lanes in order, two at a time: the next starts when one ends. The
# steps of a lane run one after the other.
lanes() {
    local running=() lane ended pid kept
    for lane in "$@"; do
        while [ ${#running[@]} -ge 2 ]; do
            wait -n -p ended "${running[@]}" || true
            kept=()
            for pid in "${running[@]}"; do [ "$pid" = "$ended" ] || kept+=("$pid"); done
            running=("${kept[@]}")
        done
        "$lane" &
        running+=($!)
    done
    wait
}
test_lane() {
    step 05 test "build with warnings as errors" warnings_as_errors
    step 06 test "make test" make test
}
sanitize_lane() { step 07 sanitize "make sanitize" make sanitize; }
tsan_lane() { step 08 tsan "make tsan" make tsan; }
root_lane() { step 09 root "Debian 13 with pipewire-audio, in a fresh root" in_root; }

started=$SECONDS
if [ "$part" != root ]; then
    step 01 "" "the packages the checks need" ./scripts/install-deps.sh check
    step 02 "" "clang-format" format
    step 03 "" "shellcheck" shell_lint
    step 04 "" "pyflakes" python_lint
fi
case $part in
host) lanes test_lane tsan_lane sanitize_lane ;;
root) lanes root_lane ;;
all) lanes test_lane tsan_lane sanitize_lane root_lane ;;
esac

echo
echo "==== Steps:"
failures=0 tests_passed=0 tests_failed=0
for result in "$results"/*.step; do
    IFS=$'\t' read -r name outcome minutes < "$result"
    printf '   %-50s %-14s %5s min\n' "$name" "$outcome" "$minutes"
    [ "$outcome" = passed ] || failures=$((failures + 1))
    # The totals that run-tests.sh closes each `make test` with.
    while read -r counts; do
        tests_passed=$((tests_passed + ${counts% *}))
        tests_failed=$((tests_failed + ${counts#* }))
    done < <(sed -n 's/^\(\[[a-z]*\] \)\{0,1\}Tests: \([0-9]*\) passed, \([0-9]*\) failed$/\2 \3/p' "${result%.step}.log")
done
printf '   %-50s %-14s %5s min\n' "all of it" "" "$(awk -v s=$((SECONDS - started)) 'BEGIN { printf "%.1f", s / 60 }')"
echo "Tests: $tests_passed passed, $tests_failed failed"
[ "$failures" -eq 0 ]
