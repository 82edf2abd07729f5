#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The install script's sets against stubbed dpkg status files: where any
# PipeWire package is installed no set may hold the PulseAudio daemon (apt
# would remove the desktop's PipeWire for it), whatever pactl says or whether
# it is there at all; elsewhere the test rig brings it.
#   dependency_sets.sh SOURCE_DIR
set -euo pipefail
script=$1/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# status: "package:state ..." (ii installed, rc only its configuration left)
# pactl: none (fails as a missing command would), pipewire, pulseaudio
# expect: pipewire (never the daemon, PipeWire's own server to test on) or
#         both (the daemon for the demo and the rig, PipeWire beside it)
table=(
  "pipewire-alsa:ii|none|pipewire"
  "pipewire-alsa:ii|pipewire|pipewire"
  "pipewire-pulse:ii|none|pipewire"
  "pipewire-pulse:ii|pulseaudio|pipewire"
  "pipewire-audio:ii pipewire-alsa:ii pipewire-pulse:ii wireplumber:ii|none|pipewire"
  "pipewire-audio:ii|pipewire|pipewire"
  "|none|both"
  "|pipewire|both"
  "pipewire-alsa:rc pipewire:ii|none|both"
)
for row in "${table[@]}"; do
  IFS='|' read -r status pactl expect <<<"$row"
  case=$work/case
  rm -rf "$case" && mkdir -p "$case/admin" "$case/bin"
  : >"$case/admin/status"
  for entry in $status; do
    state=installed want=install
    [ "${entry#*:}" = rc ] && state=config-files want=deinstall
    printf 'Package: %s\nStatus: %s ok %s\nVersion: 1\nArchitecture: amd64\nMaintainer: x <x@x>\nDescription: x\n\n' \
      "${entry%%:*}" "$want" "$state" >>"$case/admin/status"
  done
  case $pactl in
    none) printf '#!/bin/sh\necho "pactl: command not found" >&2\nexit 127\n' >"$case/bin/pactl" ;;
    pipewire) printf '#!/bin/sh\necho "Server Name: PulseAudio (on PipeWire 0.3.65)"\n' >"$case/bin/pactl" ;;
    pulseaudio) printf '#!/bin/sh\necho "Server Name: pulseaudio"\n' >"$case/bin/pactl" ;;
  esac
  chmod +x "$case/bin/pactl"
  for set in run test demo; do
    DPKG_ADMINDIR=$case/admin PATH=$case/bin:$PATH "$script" $set --list >"$case/$set" ||
      fail "[$row] $set: the script failed"
  done
  has() { grep -qx "$2" "$case/$1"; }
  if has run pulseaudio || has test pulseaudio || has demo pulseaudio; then
    [ "$expect" = both ] || fail "[$row] a set holds pulseaudio beside PipeWire"
  else
    [ "$expect" = pipewire ] || fail "[$row] the test rig lacks pulseaudio"
  fi
  [ "$expect" = pipewire ] || { has test pulseaudio && has demo pulseaudio; } ||
    fail "[$row] without PipeWire the test set and the demo bring pulseaudio"
  for package in pipewire pipewire-pulse wireplumber pulseaudio-utils sox; do
    has test "$package" || fail "[$row] the test set lacks $package"
    [ "$expect" = both ] || has demo "$package" || fail "[$row] the demo lacks $package"
  done
  # The "pulse" ALSA device, wherever PipeWire's own "pipewire" is missing.
  if grep -q 'pipewire-alsa:ii' <<<"$status"; then
    : # "pipewire" is there
  else
    has test libasound2-plugins || fail "[$row] the test set has no \"pulse\" device"
  fi
  # Running the recorder installs no test rig and no sound server; of the
  # encoders only their libraries' development packages.
  if grep -xE 'pulseaudio|pipewire|pipewire-pulse|wireplumber|xvfb|weston|sox|libgtest-dev|flac|opus-tools|lame' \
    "$case/run"; then
    fail "[$row] the run set holds a part of the test rig"
  fi
  for package in libflac-dev libopusenc-dev libmp3lame-dev; do
    has run "$package" || fail "[$row] the run set lacks $package"
  done
  for package in flac opus-tools lame; do
    has test "$package" || fail "[$row] the test set lacks $package"
  done
  has run qt6-wayland || fail "[$row] the run set lacks the Wayland platform plugin"
done
[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
