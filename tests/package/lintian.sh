#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb as `make package` does, lists what it holds, and checks it
# the way a distribution would: lintian --pedantic must report nothing.
#   lintian.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/ostrelle_*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/ostrelle ./usr/share/man/man1/ostrelle.1.gz \
            ./usr/share/doc/ostrelle/copyright ./usr/share/doc/ostrelle/changelog.gz; do
  grep -q " $path\$" <<<"$contents" || { echo "the package lacks $path"; exit 1; }
done
# The recorder reaches the desktop's sound server through its ALSA plugin;
# Wayland-only sessions need Qt's.
fields=$(dpkg-deb -f "$deb" Recommends Suggests Description)
grep -qx 'Recommends: pipewire-alsa | libasound2-plugins' <<<"$fields" || { echo "$fields"; echo "no sound server's ALSA plugin recommended"; exit 1; }
grep -qx 'Suggests: qt6-wayland' <<<"$fields" || { echo "$fields"; echo "qt6-wayland not suggested"; exit 1; }
# A description line indented beyond the one space shows verbatim.
if grep -q '^  ' <<<"$fields"; then
  echo "$fields"
  echo "the long description has verbatim lines"
  exit 1
fi
report=$(lintian --pedantic --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$report"
if grep -qE '^[EWIPX]:' <<<"$report"; then
  echo "lintian --pedantic reports tags"
  exit 1
fi
