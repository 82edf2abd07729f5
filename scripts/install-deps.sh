#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# and only those that are missing, so that a second run costs a few dpkg calls.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev portaudio19-dev libasound2-dev libjack-jackd2-dev
  libgtest-dev googletest
  libx11-dev fonts-dejavu-core
  xvfb xdotool x11-utils imagemagick
  pulseaudio pulseaudio-utils libasound2-plugins sox python3
  desktop-file-utils appstream dpkg-dev
)

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
