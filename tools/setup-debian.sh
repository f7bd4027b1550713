#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13, and makes
# Wine's 32-bit loader runnable. Idempotent and quick when all is there.
# Only what is named here, without apt's recommended packages: those would
# bring gigabytes (sound, video, printing, GPU drivers) that nothing here uses.
#
#   tools/setup-debian.sh [bench]
# "bench" adds what tools/bench needs beyond that: the peer forwarders it
# compares with (socat, rinetd), strace, ss, taskset and pgrep.
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
    clang libclang-rt-dev
)
for group in "$@"; do
    case $group in
        bench) packages+=(socat rinetd strace iproute2 util-linux procps) ;;
        *) echo "setup: unknown group $group (known: bench)" >&2; exit 2 ;;
    esac
done

updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    as_root apt-get update -q
    updated=1
fi

install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        [ $updated -eq 1 ] || as_root apt-get update -q
        updated=1
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}
install "${packages[@]}"

# The kernel's table of program interpreters, also in a container or chroot
# that did not mount it: tools/test-all reads there whether 32-bit programs
# run under qemu-user. Where it may not be mounted, the check below tells
# whether they run at all.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
fi

# Some virtual machines run no 32-bit code at all. There the kernel hands
# 32-bit programs to qemu-user through binfmt_misc; elsewhere qemu (some
# hundred MB) is not needed.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    install qemu-user-static
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        echo "setup: 32-bit programs do not run here, and binfmt_misc cannot be mounted to hand them to qemu-user" >&2
        exit 1
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/velmorin-i386 ]; then
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":velmorin-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
            as_root tee /proc/sys/fs/binfmt_misc/register >/dev/null
    fi
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "setup: this machine cannot run Wine's 32-bit loader, not even under qemu-user" >&2
        exit 1
    fi
fi
