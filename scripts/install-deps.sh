#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages one of the make targets needs, and only those
# that are missing, so that a second run costs a few dpkg calls.
#
#   install-deps.sh run    building and running the recorder
#   install-deps.sh test   that, and the test rig (a private sound server, a
#                          private X server, readers of WAV files, lintian)
#   install-deps.sh demo   that of run, and a sound server with a tone player
#   install-deps.sh SET --list   only prints the set, one package a line
#
# "run" installs no sound server: a desktop's own (PipeWire on Debian 12)
# stays as it is.
set -euo pipefail

run=(
  build-essential cmake pkg-config
  qt6-base-dev portaudio19-dev libasound2-dev libboost-dev
  fonts-dejavu-core
)
demo=(pulseaudio-utils sox)
# The demo's own sound server, only where none speaks PulseAudio's protocol.
if ! pactl info 2>/dev/null | grep -qi "pipewire"; then demo+=(pulseaudio libasound2-plugins); fi
test=(
  libgtest-dev googletest libx11-dev python3
  xvfb xdotool x11-utils imagemagick
  pulseaudio pulseaudio-utils libasound2-plugins sox sndfile-programs
  desktop-file-utils appstream dpkg-dev lintian man-db
)

case "${1:-run}" in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${test[@]}") ;;
  demo) packages=("${run[@]}" "${demo[@]}") ;;
  *) echo "usage: $0 run|test|demo" >&2; exit 2 ;;
esac

if [ "${2:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
