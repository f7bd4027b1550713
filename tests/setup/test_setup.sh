#!/usr/bin/env bash
# The set-up against a package mirror in the middle of a sync, with a
# stand-in for apt-get whose update fails for one suite as Debian's mirror
# did: the set-up must go on, and where the install still fails, stop and
# name the update.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/velmorin-setup-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# $INSTALL: pass, fail, or "pinned": pass only without the unread suite, as
# on a machine whose amd64 libraries need that suite's i386 list.
cat >"$work/apt-get" <<'STANDIN'
#!/bin/bash
echo "$1" >>"$WORK/calls"
case $1 in update)
    echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100 ;;
esac
[ "$INSTALL" = pass ] && exit 0
for a; do
    [ "$INSTALL" = pinned ] && [ "${a#Dir::Etc::Preferences=}" != "$a" ] &&
        grep -qx 'Pin: release n=bookworm-security' "${a#*=}" && exit 0
done
echo "E: Unable to correct problems, you have held broken packages."
exit 100
STANDIN
chmod +x "$work/apt-get"
export WORK=$work

# The set-up's install of a package no machine has: its output, and the
# calls it made of apt-get in "$calls".
setup_install() {
    export INSTALL=$1
    rm -f "$work/calls"
    local rc=0
    out=$(
        set --  # no package groups
        # shellcheck source=../../tools/setup-debian.sh
        source "$top/tools/setup-debian.sh"
        as_root() { "$@"; }
        apt_get=$work/apt-get update_pause=0
        install velmorin-no-such-package 2>&1
    ) || rc=$?
    calls=$(paste -sd' ' - <"$work/calls")
    return $rc
}

fail() { echo "test_setup: $*" >&2; exit 1; }

setup_install pass || fail "the set-up stopped although the install passed: $out"
grep -q 'could not give every list of bookworm-security .*going on' <<<"$out" ||
    fail "no line that names the suite and goes on: $out"
[ "$calls" = "update update update install" ] || fail "expected three updates and an install: $calls"

setup_install pinned || fail "the set-up stopped although the install without the suite passed: $out"
[ "$calls" = "update update update install install" ] || fail "expected a second install: $calls"

if setup_install fail; then fail "the set-up went on although the install failed: $out"; fi
grep -q 'likely cause: apt-get update could not read bookworm-security' <<<"$out" ||
    fail "the failed install does not name the failed update: $out"
echo "test_setup: a failed update goes on, an install fails only where apt cannot install, naming the update"
