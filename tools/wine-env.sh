# shellcheck shell=bash
# Sourced by the scripts that run Windows programs: the environment Wine needs
# here, the project's Wine prefixes, the session of one test run, and a
# virtual display.

# On machines whose kernel cannot run 32-bit programs, Wine's 32-bit loader
# runs under qemu-user (tools/setup-debian.sh registers it). Wine needs the
# low 2 GiB of a 32-bit address space; a larger reserve makes qemu's start-up
# of every Wine process take tens of seconds. Ignored where qemu is not used.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x80400000}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# The Windows build that runs here: the 32-bit program where the kernel runs
# 32-bit code; where 32-bit programs run under qemu-user (tools/setup-debian.sh
# sets that up where the kernel cannot run them), too unsteady for threaded
# socket work and slow to measure, the same sources built as 64-bit. Any entry
# of the kernel's interpreter table may hand them over, and once one does, the
# kernel gives every 32-bit program to qemu, also where it could run them itself.
velmorin_windows_preset() {
    local entry
    for entry in /proc/sys/fs/binfmt_misc/*; do
        if grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry"; then
            echo win64
            return
        fi
    done
    echo win32
}

# Commands run when the script exits, the last added first, each whether or
# not another failed: velmorin_at_exit 'COMMAND'.
velmorin_exit=() velmorin_cmd=""
velmorin_at_exit() {
    velmorin_exit=("$1" "${velmorin_exit[@]}")
    trap 'for velmorin_cmd in "${velmorin_exit[@]}"; do eval "$velmorin_cmd" || true; done' EXIT
}

# Sets up a run of Windows programs and its clean-up at exit. WINEPREFIX is
# PREFIX, or a fresh prefix in a run folder of its own under /tmp, whose
# server ends and which goes at exit; the programs' display is DISPLAY, whose
# window manager then places the windows, or else a virtual one (Xvfb,
# velmorin_xvfb_pid) that goes at exit. Says so and fails when there is no
# display.
velmorin_wine_run() {  # [PREFIX [DISPLAY]]
    local name=${0##*/} fifo n=""
    velmorin_run_dir="" velmorin_xvfb_pid=""
    velmorin_at_exit velmorin_wine_clean
    if [ -n "${1:-}" ]; then
        export WINEPREFIX=$1
        [ -f "$1/.velmorin-ready" ] || echo "$name: making the Wine prefix $1 (about a minute, once)" >&2
    else
        velmorin_run_dir=$(mktemp -d "/tmp/velmorin-$name.XXXXXX")
        export WINEPREFIX=$velmorin_run_dir/wine
    fi
    if [ -n "${2:-}" ]; then
        export DISPLAY=$2
        velmorin_wine_prefix managed
        return
    fi
    # Xvfb picks the number itself (-displayfd) and says it once it listens.
    # Lock files would not do: a server of another root or container on this
    # machine keeps its own in its own /tmp, yet owns the number through the
    # socket name both share; a second server on it fails, and this run's
    # programs would end up on the other run's display.
    fifo=$(mktemp -u /tmp/velmorin-display.XXXXXX)
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    velmorin_xvfb_pid=$!
    # An Xvfb that fails closes the pipe, which ends the read.
    read -r -t 30 n <"$fifo" || true
    rm -f "$fifo"
    [ -n "$n" ] || { echo "$name: no free X display" >&2; return 1; }
    export DISPLAY=":$n"
    velmorin_wine_prefix
}

# A prefix given is shared (tools/run's and the benchmark's): ending its
# server is for the programs that use it.
velmorin_wine_clean() {
    [ -z "$velmorin_run_dir" ] || velmorin_wine_end
    [ -z "$velmorin_xvfb_pid" ] || kill "$velmorin_xvfb_pid" >/dev/null 2>&1 || true
    [ -z "$velmorin_run_dir" ] || rm -rf "$velmorin_run_dir"
}

# Creates the prefix in $WINEPREFIX once; concurrent callers wait for it.
# With "managed" the window manager of a real desktop places and decorates
# the windows; without it (the default, for a virtual display that has no
# window manager) Wine places them itself, instead of waiting 2 s for a
# window manager that never answers each time a window hides.
velmorin_wine_prefix() {
    : "${WINEPREFIX:?WINEPREFIX must be set}"
    local managed=N
    [ "${1:-}" = managed ] && managed=Y
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.velmorin-ready" ]; then
            wine wineboot -i >/dev/null 2>&1 9>&-
            # Wine's default theme draws a list box's scroll bar in some
            # milliseconds, and every status line redraws it twice.
            wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
                /v ThemeActive /d 0 /f >/dev/null 2>&1 9>&-
            touch "$WINEPREFIX/.velmorin-ready"
        fi
        # Debian's Wine 8 looks for its own fonts (fonts-wine) in a folder
        # it builds as <data dir>\../fonts, a path Wine's file system
        # rejects, so it never loads them: a dialog then gets DejaVu in
        # place of Tahoma, and the caption's Marlett glyphs come out as
        # plain letters ("r" for the close box's cross). Fonts in the
        # prefix's own Fonts folder are always loaded. Outside the once-only
        # block, so that prefixes made before this are mended too.
        local fonts=$WINEPREFIX/drive_c/windows/Fonts
        if [ -d /usr/share/wine/fonts ] && [ ! -e "$fonts/marlett.ttf" ]; then
            mkdir -p "$fonts"
            cp -n /usr/share/wine/fonts/* "$fonts/"
        fi
        if [ "$(cat "$WINEPREFIX/.velmorin-managed" 2>/dev/null)" != "$managed" ]; then
            wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >/dev/null 2>&1 9>&-
            echo "$managed" >"$WINEPREFIX/.velmorin-managed"
        fi
    ) 9>"$WINEPREFIX.lock"
}

# The session of one test run in $WINEPREFIX: one persistent server for all
# its programs instead of one per program, and tests/support's keep_desktop
# (the Windows exe given) holding the run's desktop open from start to end.
# velmorin_wine_end ends both.
velmorin_wine_session() {
    local keeper=$1 ready
    # A server that made the prefix or changed a setting is not persistent
    # (Debian starts it with -p0) and would shut down, with the system's
    # own programs, between two programs of the run. The prefix is the
    # run's own: end whatever runs in it, then start the run's server.
    velmorin_wine_end
    wineserver -p
    ready=$(mktemp -u /tmp/velmorin-keeper.XXXXXX)
    # Wine maps the root of the host's file system to drive Z:.
    wine "$keeper" 10800 "Z:${ready//\//\\}" >/dev/null 2>&1 &
    velmorin_keeper_pid=$!
    for _ in $(seq 1 600); do
        [ -e "$ready" ] && break
        kill -0 "$velmorin_keeper_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -e "$ready" ] || { echo "wine-env: $keeper did not come up" >&2; return 1; }
    rm -f "$ready"
}

# Ends the prefix's server and every Wine process with it, and waits (for
# half a minute at most) until it has gone.
velmorin_wine_end() {
    wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
}
