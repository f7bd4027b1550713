#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13, and makes
# Wine's 32-bit loader runnable. Idempotent and quick when all is there.
# Only what is named here, without apt's recommended packages: those would
# bring gigabytes (sound, video, printing, GPU drivers) that nothing here uses.
#
#   tools/setup-debian.sh [bench]
# "bench" adds what tools/bench needs beyond that: the peer forwarders it
# compares with (socat, rinetd), strace, ss, taskset, pgrep and gnuplot (its chart).
set -euo pipefail

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# libclang-rt-dev is the sanitizer and fuzzer runtime of the release's
# default clang (14 on Debian 12, 19 on Debian 13). fonts-wine holds the
# fonts a dialog is drawn with (Tahoma, and Marlett for the caption's
# buttons); libxrender1 is what Wine's X driver draws text with on a desktop.
packages=(
    cmake make g++ git python3 python3-pefile libgtest-dev googletest
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine32:i386 wine64 fonts-wine libxrender1 libxrender1:i386
    xvfb xauth x11-utils imagemagick xdotool
    clang libclang-rt-dev cppcheck clang-tidy shellcheck pyflakes3 gcovr
)
for group in "$@"; do
    case $group in
        bench) packages+=(socat rinetd strace iproute2 util-linux procps gnuplot-nox) ;;
        *) echo "setup: unknown group $group (known: bench)" >&2; exit 2 ;;
    esac
done

# A test sources this file for the functions below and sets these to a
# stand-in for apt-get and no pause.
apt_get=apt-get update_pause=10
updated=0 update_failed=0 unread=""

# A mirror in the middle of a sync serves an index that does not match its
# Release file for minutes or a day, and apt-get update then fails for that
# index alone, having loaded the others. So: three tries, then on with the
# lists that did load, and the install decides whether they are enough.
update() {
    local log try status=0
    updated=1
    log=$(mktemp)
    for try in 1 2 3; do
        status=0
        as_root "$apt_get" update -q 2>&1 | tee "$log" || status=$?
        [ $status -ne 0 ] || { rm -f "$log"; return 0; }
        [ $try -eq 3 ] || sleep "$update_pause"
    done
    update_failed=1
    # "E: Failed to fetch <mirror>/dists/<suite>/<component>/<list>  why"
    unread=$(sed -n 's|^E: Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u | paste -sd' ' -)
    rm -f "$log"
    if [ -n "$unread" ]; then
        echo "setup: the package mirror could not give every list of $unread (apt-get update failed" \
            "$try times, ${update_pause} s apart): a fault of the mirror, often a sync in progress;" \
            "going on with the lists that loaded" >&2
    else
        echo "setup: apt-get update failed $try times, ${update_pause} s apart (exit $status);" \
            "going on with the lists there are" >&2
    fi
}

apt_install() {
    as_root env DEBIAN_FRONTEND=noninteractive "$apt_get" install -y -q --no-install-recommends "$@"
}

install() {
    local missing=() p prefs s
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ $updated -eq 1 ] || update
    apt_install "${missing[@]}" && return 0
    # With the i386 list of a suite missing, its amd64 packages are newer
    # than any i386 one, and a library that both architectures need at one
    # version cannot be installed. Without that suite both come from the
    # same lists; its updates come with a later apt-get upgrade.
    if [ -n "$unread" ]; then
        echo "setup: trying the install once more without the packages of $unread," \
            "so that both architectures' packages come from the lists that loaded" >&2
        prefs=$(mktemp)
        { [ ! -f /etc/apt/preferences ] || { cat /etc/apt/preferences; echo; }
          for s in $unread; do
              printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$s"
              printf 'Package: *\nPin: release a=%s\nPin-Priority: -1\n\n' "$s"
          done; } >"$prefs"
        apt_install -o Dir::Etc::Preferences="$prefs" "${missing[@]}" && { rm -f "$prefs"; return 0; }
        rm -f "$prefs"
    fi
    [ $update_failed -eq 0 ] ||
        echo "setup: the install failed; the likely cause: apt-get update could not read ${unread:-its lists}" >&2
    exit 1
}

[ "${BASH_SOURCE[0]}" = "$0" ] || return 0
stop() { echo "setup: $*" >&2; exit 1; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    update
fi
install "${packages[@]}"

# The kernel's table of program interpreters, also in a container or chroot
# that did not mount it: tools/test-all reads there whether 32-bit programs
# run under qemu-user. Where it may not be mounted, the check below tells
# whether they run at all.
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true

# Some virtual machines run no 32-bit code at all. There the kernel hands
# 32-bit programs to qemu-user through binfmt_misc; elsewhere qemu (some
# hundred MB) is not needed.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    install qemu-user-static
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        stop "32-bit programs do not run here, and binfmt_misc cannot be mounted to hand them to qemu-user"
    if [ ! -e /proc/sys/fs/binfmt_misc/velmorin-i386 ]; then
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":velmorin-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
            as_root tee /proc/sys/fs/binfmt_misc/register >/dev/null
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 ||
        stop "this machine cannot run Wine's 32-bit loader, not even under qemu-user"
fi
