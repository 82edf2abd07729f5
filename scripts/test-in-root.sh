#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the suites as a newcomer on a bare Debian machine would: a fresh
# `debootstrap --variant=minbase` root, a clean clone of this checkout's
# HEAD, `apt-get install git make ca-certificates`, then `CI=true make test`.
#
#   test-in-root.sh bookworm|trixie [pipewire-audio]
#
# With pipewire-audio the root first gets PipeWire as a desktop has it, and
# the run fails if installing the test rig removed any PipeWire package.
#
# The root shares nothing with the host but the kernel. It runs in mount,
# PID, IPC and UTS namespaces of its own, with its own /dev (a few device
# nodes, a private devpts and /dev/shm), so that a lock, a shared-memory file
# or a socket left on the host is never met inside. The tests run in a
# network namespace of their own with only loopback, so an X server or a
# sound server inside can meet no one outside on an abstract socket; only
# the installs before them reach the mirror. Every mount is made inside the
# private mount namespace, so it ends with the last process inside, however
# the run ends; the trap still checks and undoes any left under the work
# folder, and removes it.
#
# The bare root is kept as a tarball in OSTRELLE_ROOT_CACHE
# (/var/cache/ostrelle-roots), outside any clone, and built again when
# missing; the packages a run downloaded are kept beside it for the next
# run. The mirror is the machine's own, from /etc/apt (OSTRELLE_DEBIAN_MIRROR
# overrides it). OSTRELLE_KEEP_ROOT=1 leaves the root in place for a look.
# OSTRELLE_ROOT_TESTS=PATTERN runs, in place of the whole of `make test`,
# only the tests whose CTest names match PATTERN (ctest -R), in each of its
# passes: a quicker look at one test on the root's Debian.
set -euo pipefail
# All of it is read before any of it runs, so that a checkout changing this
# file during a run (a pull, a commit) cannot change what the run does next.
{

usage() { echo "usage: $0 bookworm|trixie [pipewire-audio]" >&2; exit 2; }

# Inside the namespaces: the steps below call the script again this way.
if [ "${1:-}" = --inside ]; then
    root=$2 network=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
    mount -t tmpfs -o mode=755,nosuid,size=64m dev "$root/dev"
    for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
        IFS=: read -r name major minor <<<"$node"
        mknod -m 666 "$root/dev/$name" c "$major" "$minor"
    done
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"
    [ "$network" = own ] && ip link set lo up
    hostname ostrelle-root
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive /bin/bash -euo pipefail -c "$1"
fi

suite=${1:-}
extra=${2:-}
case $suite in bookworm | trixie) ;; *) usage ;; esac
case $extra in "" | pipewire-audio) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || { echo "$0: debootstrap, chroot and namespaces need root" >&2; exit 2; }
for tool in debootstrap unshare chroot ip flock git; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
        { echo "$0: $tool is missing; scripts/install-deps.sh check installs it" >&2; exit 2; }
done
PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${OSTRELLE_ROOT_CACHE:-/var/cache/ostrelle-roots}

# The first Debian archive (a URI whose path ends in /debian) among the
# machine's enabled sources, in either of apt's formats.
own_mirror() {
    local files=() file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && files+=("$file")
    done
    [ ${#files[@]} -gt 0 ] || return 0
    sed -n -e 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\{0,1\}\([^[:space:]]\+\).*/\2/p' \
        -e 's/^URIs:[[:space:]]*\([^[:space:]]\+\).*/\1/p' "${files[@]}" | grep -m 1 -E '/debian/?$' || true
}
mirror=${OSTRELLE_DEBIAN_MIRROR:-$(own_mirror)}
mirror=${mirror:-http://deb.debian.org/debian}

work=$(mktemp -d /var/tmp/ostrelle-root.XXXXXX)
root=$work/root
inside=
# Every way out comes here: the namespaces' processes are ended (their
# mounts go with them), any mount still seen under the work folder is
# undone, deepest first, and the folder is removed.
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    # unshare waits out TERM and INT for its child; KILL ends it, and with
    # it (--kill-child) the namespace's first process and so all the rest.
    if [ -n "$inside" ] && kill -0 "$inside" 2>/dev/null; then
        kill -KILL "$inside" 2>/dev/null || true
        wait "$inside" 2>/dev/null || true
    fi
    local mounts
    mounts=$(awk -v w="$work/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
    if [ -n "$mounts" ]; then
        echo "$0: undoing mounts left under $work" >&2
        while read -r mount; do umount -l "$mount" || true; done <<<"$mounts"
    fi
    if [ "${OSTRELLE_KEEP_ROOT:-}" = 1 ]; then
        echo "The root is left in $root" >&2
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command in mount, PID, IPC and UTS namespaces of its own (and a
# network namespace with "own"), in the background so that a signal
# reaches the trap at once; --kill-child ends everything inside when
# unshare itself is ended.
contained() {
    local network=$1 namespaces=(--mount --pid --ipc --uts --fork --kill-child --propagation private)
    shift
    [ "$network" = own ] && namespaces+=(--net)
    unshare "${namespaces[@]}" "$@" &
    inside=$!
    local status=0
    wait "$inside" || status=$?
    inside=
    return "$status"
}
# One script run in the root.
in_root() {
    contained "$1" "$0" --inside "$root" "$1" "$2"
}

# The bare root: built once, under a lock so that two runs never build it
# side by side; debootstrap's own mounts stay in its private namespace.
tarball=$cache/$suite-minbase.tar.gz
archives=$cache/$suite-archives
mkdir -p "$cache" "$archives"
exec 9>"$cache/$suite.lock"
flock 9
if [ ! -s "$tarball" ]; then
    echo "Building a bare $suite root from $mirror (kept as $tarball)"
    contained host debootstrap --variant=minbase "$suite" "$work/bare" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
    tar -C "$work/bare" --numeric-owner -czf "$tarball.part" .
    mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$work/bare"
fi
flock -u 9

mkdir "$root"
tar -C "$root" --numeric-owner -xzf "$tarball"
cp "$archives"/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The root is thrown away after the run, so dpkg need not sync every file
# it unpacks, which is most of the set-up's time on a disk busy with other
# work.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/ostrelle-unsafe-io"
# Services that packages would start on installing stay stopped: the root
# has no init, and the tests start the servers they need themselves.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
head=$(git -C "$here" rev-parse HEAD)
git clone --quiet --no-hardlinks "$here" "$root/root/ostrelle"
git -C "$root/root/ostrelle" checkout --quiet --detach "$head"
echo "A fresh $suite root in $root, the clone at $(git -C "$here" log -1 --format='%h %s' "$head")"

# shellcheck disable=SC2016  # expanded inside the root
pipewire_packages='dpkg-query -W -f="\${db:Status-Status} \${Package}\n" "pipewire*" "libpipewire*" "libspa*" "wireplumber*" "libwireplumber*" 2>/dev/null |
    sed -n "s/^installed //p" | sort'
setup="apt-get update -q
apt-get install -y -q git make ca-certificates"
[ -n "$extra" ] && setup+="
apt-get install -y -q $extra
$pipewire_packages > /root/pipewire-before"
# What make test installs first, here while the mirror can be reached; make
# test itself then finds it all installed.
setup+="
cd /root/ostrelle
make deps DEPS=test
echo \"\$(dpkg-query -W -f='\${db:Status-Status}\\n' | grep -cx installed) packages installed\""
# apt's long account of each package goes to a log, shown only on failure.
echo "Installing git, make, ca-certificates${extra:+, $extra} and the test rig"
in_root host "$setup" >"$work/setup.log" 2>&1 || { tail -n 40 "$work/setup.log" >&2; exit 1; }
grep -E '^([0-9]+ upgraded|[0-9]+ packages installed)' "$work/setup.log" || true
echo "The root was ready after $SECONDS s"
# The packages downloaded, for the next run.
flock 9
rm -f "$archives"/*.deb
cp "$root"/var/cache/apt/archives/*.deb "$archives/" 2>/dev/null || true
flock -u 9

tests="CI=true make test"
if [ -n "${OSTRELLE_ROOT_TESTS:-}" ]; then
    tests="CI=true make build DEPS=test && ./scripts/run-tests.sh build -R $(printf %q "$OSTRELLE_ROOT_TESTS")"
    echo "Only the tests matching $OSTRELLE_ROOT_TESTS"
fi
status=0
in_root own "cd /root/ostrelle && $tests" || status=$?
echo "make test in the root ended after $SECONDS s"
if [ -n "$extra" ]; then
    in_root own "$pipewire_packages > /root/pipewire-after"
    removed=$(comm -23 "$root/root/pipewire-before" "$root/root/pipewire-after")
    if [ -n "$removed" ]; then
        echo "Installing the test rig removed PipeWire packages: $removed" >&2
        status=1
    else
        echo "Every PipeWire package installed before is still installed: $(tr '\n' ' ' <"$root/root/pipewire-before")"
    fi
fi
exit "$status"
}
