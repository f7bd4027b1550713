# Sourced by the scripts that run Windows programs: the environment Wine needs
# here, and the shared Wine prefix of one test run.

# On machines whose kernel cannot run 32-bit programs, Wine's 32-bit loader
# runs under qemu-user (tools/setup-debian.sh registers it). Wine needs the
# low 2 GiB of a 32-bit address space; a larger reserve makes qemu's start-up
# of every Wine process take tens of seconds. Ignored where qemu is not used.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x80400000}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Creates the prefix in $WINEPREFIX once; concurrent callers wait for it.
velmorin_wine_prefix() {
    : "${WINEPREFIX:?WINEPREFIX must be set}"
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.velmorin-ready" ]; then
            # wineboot returns once the prefix is complete; no waiting for
            # the server, which a test run keeps alive on purpose.
            wine wineboot -i >/dev/null 2>&1 9>&-
            # Without a window manager Wine waits 2 s for each hidden window.
            wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 9>&-
            touch "$WINEPREFIX/.velmorin-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
}

# Starts a virtual display (Xvfb) on a free number and exports DISPLAY. The
# caller ends it: kill "$velmorin_xvfb_pid".
velmorin_virtual_display() {
    velmorin_xvfb_pid=""
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
            Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            velmorin_xvfb_pid=$!
            export DISPLAY=":$n"
            break
        fi
    done
    [ -n "$velmorin_xvfb_pid" ] || return 1
    for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
}
