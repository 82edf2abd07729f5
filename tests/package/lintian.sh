#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb as `make package` does, lists what it holds, and checks it
# the way a distribution would: lintian must report no error.
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
report=$(lintian --no-tag-display-limit "$deb" 2>&1 || true)
echo "$report"
if grep -q '^E:' <<<"$report"; then
  echo "lintian reports errors"
  exit 1
fi
