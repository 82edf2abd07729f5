#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every check CI makes, in the order it makes them; `make check` runs it.
#
#   check.sh [host|root|all]   (all by default)
#
# host: the C++ sources formatted as .clang-format says, a build (with the
#       benchmarks) clean with warnings as errors, shellcheck on every shell
#       script, pyflakes on the Python of tests/ and bench/, then `make test`,
#       then `make sanitize` and `make tsan` side by side.
# root: the suites again in a fresh Debian 13 root with PipeWire installed as
#       a desktop has it (scripts/test-in-root.sh), which needs root.
#
# Every step runs even when an earlier one failed. The end lists each step
# with its outcome and minutes, and the tests counted over all of them; the
# exit status is non-zero if any step failed.
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
# The sanitizers' runs spend most of their time waiting for audio in real
# time, so on two cores they take little more side by side than one alone.
# Each build has its own folder and its own sound server, window server and
# buses, as two clones do; the suites hold on a busy machine. Each line of
# their output says whose it is.
sanitizers_side_by_side() {
    local pids=() names=(sanitize tsan) status=0 i
    for i in "${!names[@]}"; do
        make "${names[$i]}" 2>&1 | sed -u "s/^/[${names[$i]}] /" &
        pids+=($!)
    done
    for i in "${!names[@]}"; do
        # Under pipefail a pipeline fails when make does, not only sed.
        wait "${pids[$i]}" || status=1
    done
    return $status
}
in_root() {
    "${sudo_cmd[@]}" ./scripts/test-in-root.sh trixie pipewire-audio
}

names=() outcomes=() minutes=() failures=0 tests_passed=0 tests_failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
step() {
    local name=$1
    shift
    echo
    echo "==== $name"
    local started=$SECONDS
    "$@" 2>&1 </dev/null | tee "$log"
    local status=${PIPESTATUS[0]}
    names+=("$name")
    minutes+=("$(awk -v s=$((SECONDS - started)) 'BEGIN { printf "%.1f", s / 60 }')")
    if [ "$status" -eq 0 ]; then
        outcomes+=(passed)
    else
        outcomes+=("FAILED ($status)")
        failures=$((failures + 1))
    fi
    # The totals that run-tests.sh closes each `make test` with.
    local counts
    while read -r counts; do
        tests_passed=$((tests_passed + ${counts% *}))
        tests_failed=$((tests_failed + ${counts#* }))
    done < <(sed -n 's/^\(\[[a-z]*\] \)\{0,1\}Tests: \([0-9]*\) passed, \([0-9]*\) failed$/\2 \3/p' "$log")
}

if [ "$part" != root ]; then
    step "the packages the checks need" ./scripts/install-deps.sh check
    step "clang-format" format
    step "build with warnings as errors" warnings_as_errors
    step "shellcheck" shell_lint
    step "pyflakes" python_lint
    step "make test" make test
    step "make sanitize and make tsan, side by side" sanitizers_side_by_side
fi
if [ "$part" != host ]; then
    step "Debian 13 with pipewire-audio, in a fresh root" in_root
fi

echo
echo "==== Steps:"
for i in "${!names[@]}"; do
    printf '   %-50s %-14s %5s min\n' "${names[$i]}" "${outcomes[$i]}" "${minutes[$i]}"
done
echo "Tests: $tests_passed passed, $tests_failed failed"
[ "$failures" -eq 0 ]
