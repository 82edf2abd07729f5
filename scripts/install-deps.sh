#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages one of the make targets needs, and only those
# that are missing, so that a second run costs a few dpkg calls.
#
#   install-deps.sh run    building and running the recorder
#   install-deps.sh test   that, and the test rig (private sound servers, a
#                          private X server and a Wayland compositor, private
#                          D-Bus buses with AT-SPI to read the window as a
#                          screen reader does, readers of WAV files, the
#                          FLAC, Opus and MP3 tools, lintian)
#   install-deps.sh demo   that of run, and a sound server with a tone player
#   install-deps.sh check  what `make check` adds to the test rig's set: the
#                          formatter, the linters, debootstrap for the fresh
#                          root, and stress-ng for a busy machine
#   install-deps.sh SET --list   only prints the set, one package a line
#
# Where PipeWire is installed, the PulseAudio daemon never is: Debian's
# pipewire-alsa and pipewire-audio conflict with it, so apt would remove them
# and leave the desktop without sound. The rig and the demo then run
# PipeWire's own server privately. dpkg is asked, not a running server, so a
# desktop without pactl or without a session is told apart just as well
# (DPKG_ADMINDIR, which dpkg honours, points it at another status file).
set -euo pipefail

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

pipewire_present=false
for package in pipewire-pulse pipewire-alsa pipewire-audio; do
  installed "$package" && pipewire_present=true
done

# libpulse-dev: the desktop's sound server's sources, as its settings list them.
# libflac-dev, libopusenc-dev, libmp3lame-dev: the encoders a take is saved with.
run=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-wayland portaudio19-dev libasound2-dev libpulse-dev
  libflac-dev libopusenc-dev libmp3lame-dev
  fonts-dejavu-core
)
pipewire_server=(pipewire pipewire-pulse wireplumber)
pulseaudio_server=(pulseaudio)
# The tone player, and the "pulse" ALSA device where PipeWire's own
# "pipewire" device is not installed.
tone=(pulseaudio-utils sox)
installed pipewire-alsa || tone+=(libasound2-plugins)
if $pipewire_present; then
  demo=("${pipewire_server[@]}" "${tone[@]}")
  # PipeWire's run of the suites alone; the PulseAudio one needs the daemon.
  servers=("${pipewire_server[@]}")
else
  demo=("${pulseaudio_server[@]}" "${tone[@]}")
  # Side by side, so that the suites run once on each server.
  servers=("${pulseaudio_server[@]}" "${pipewire_server[@]}")
fi
# dbus-daemon: the private buses on which the tests stand in for logind and
# the desktop portal, and on which AT-SPI reads the window as a screen reader.
# flac, opus-tools, lame: Debian's own decoders, which judge the saved files.
test=(
  libgtest-dev googletest libx11-dev python3
  xvfb xdotool x11-utils imagemagick weston
  dbus-daemon dbus-bin at-spi2-core python3-pyatspi
  "${servers[@]}" "${tone[@]}" sndfile-programs flac opus-tools lame
  desktop-file-utils appstream dpkg-dev lintian man-db
)

# clang-format 14 by name: another version formats differently, and the
# check compares with what 14 makes.
check=(
  clang-format-14 shellcheck pyflakes3 git
  debootstrap debian-archive-keyring iproute2 stress-ng
)

case "${1:-run}" in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${test[@]}") ;;
  demo) packages=("${run[@]}" "${demo[@]}") ;;
  check) packages=("${run[@]}" "${test[@]}" "${check[@]}") ;;
  *) echo "usage: $0 run|test|demo|check [--list]" >&2; exit 2 ;;
esac

if [ "${2:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
