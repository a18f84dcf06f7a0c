# shellcheck shell=bash
# shellcheck disable=SC2034  # SIM_PTY, SIM_STATUS and the like are for the sourcing script
# Shell helpers shared by the run, test, benchmark and screenshot scripts: waiting
# for a condition, a private Xvfb, the simulator, and clean-up at exit.
#
#   . "$ROOT/tools/lib/harness.sh"      (bash only; sourcing installs an EXIT trap)
#
# Every function is described in one line above it; the names are stable. The
# scripts keep their own variables; the harness's own start with HARNESS_ or are
# the documented results (DISPLAY, XVFB_PID, SIM_PID, SIM_PTY, SIM_STATUS).

# The top of the source tree, from where this file is.
HARNESS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HARNESS_PIDS=()
HARNESS_AT_EXIT=()
HARNESS_DIRS=()
HARNESS_KEEP_WORK=${HARNESS_KEEP_WORK:-0}

# script_args USAGE MIN MAX ARG...: the calling script's arguments: MIN to MAX of them, else "usage: SCRIPT USAGE" and exit 2. Those that name a file or folder are made absolute; all are in ARGS, in order.
script_args() {
    local usage=$1 min=$2 max=$3 arg
    shift 3
    if [ $# -lt "$min" ] || [ $# -gt "$max" ]; then
        echo "usage: $(basename "$0") $usage" >&2
        exit 2
    fi
    ARGS=()
    for arg in "$@"; do
        if [ -e "$arg" ]; then ARGS+=("$(readlink -f "$arg")"); else ARGS+=("$arg"); fi
    done
}

# now_ms: prints the wall clock in milliseconds.
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# wait_for SECONDS COMMAND...: runs COMMAND every 20 ms until it succeeds (0) or SECONDS pass (1).
wait_for() {
    local end=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$end" ] || return 1
        sleep 0.02
    done
}

# process_gone PID: succeeds when PID no longer runs.
process_gone() { ! kill -0 "$1" 2>/dev/null; }

# track_pid PID: PID is stopped (TERM, KILL after 5 s) and reaped at exit, last tracked first.
track_pid() { HARNESS_PIDS+=("$1"); }

# harness_ended PID: succeeds when PID has ended (gone, or a zombie waiting to be reaped).
harness_ended() {
    local stat
    kill -0 "$1" 2>/dev/null || return 0
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" = Z ]
}

# harness_stop PID: TERM, KILL when PID has not ended within 5 s, then reaps it (when it is a child).
harness_stop() {
    kill "$1" 2>/dev/null || { wait "$1" 2>/dev/null; return 0; }
    if ! wait_for 5 harness_ended "$1"; then
        kill -KILL "$1" 2>/dev/null
        wait_for 5 harness_ended "$1"
    fi
    wait "$1" 2>/dev/null
    return 0
}

# untrack_pid PID: forgets PID without stopping it (it was reaped by the script). The
# list stays dense: the clean-up walks it by position.
untrack_pid() {
    local kept=() pid
    for pid in "${HARNESS_PIDS[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    HARNESS_PIDS=("${kept[@]}")
}

# stop_pid PID: stops and reaps PID now (as at exit) and stops tracking it; quiet when it has ended.
stop_pid() {
    [ -n "${1:-}" ] || return 0
    harness_stop "$1"
    untrack_pid "$1"
}

# at_exit COMMAND: runs COMMAND (a string, eval'ed) at exit before tracked processes are stopped; last added first.
at_exit() { HARNESS_AT_EXIT+=("$1"); }

# free_tcp_port: prints a TCP port free on 127.0.0.1 now.
free_tcp_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# tcp_listening PORT: something listens on 127.0.0.1:PORT, from the kernel's table
# (a probe connection would make a serial device server take its device for a moment).
tcp_listening() { awk -v want="$(printf '0100007F:%04X' "$1")" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; }

# make_work_dir VAR NAME: sets VAR to a new temporary folder zantrox-NAME.XXXXXX, removed at exit unless HARNESS_KEEP_WORK=1 then.
make_work_dir() {
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-$2.XXXXXX") || return 1
    HARNESS_DIRS+=("$dir")
    printf -v "$1" '%s' "$dir"
}

# remove_at_exit DIR: DIR is removed at exit unless HARNESS_KEEP_WORK=1 at that time.
remove_at_exit() { HARNESS_DIRS+=("$1"); }

# harness_cleanup: the EXIT trap; at_exit commands, then tracked processes, then folders.
harness_cleanup() {
    local status=$? i pids
    # A second Ctrl+C does not cut the clean-up short.
    trap '' INT TERM
    for ((i = ${#HARNESS_AT_EXIT[@]} - 1; i >= 0; i--)); do
        eval "${HARNESS_AT_EXIT[$i]}"
    done
    # By value, not by index: whatever was stopped or forgotten before, every PID
    # still listed is stopped.
    pids=("${HARNESS_PIDS[@]}")
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        [ -n "${pids[$i]}" ] && harness_stop "${pids[$i]}"
    done
    HARNESS_PIDS=()
    if [ "$HARNESS_KEEP_WORK" != 1 ]; then
        for i in "${HARNESS_DIRS[@]}"; do rm -rf "$i"; done
    fi
    return "$status"
}
trap harness_cleanup EXIT
trap 'exit 130' INT TERM

# start_xvfb LOG [WxHxD]: starts Xvfb on a free display (default 1280x1024x24), exports DISPLAY, sets XVFB_PID; 1 on failure.
start_xvfb() {
    local log=$1 screen=${2:-1280x1024x24} fdfile
    fdfile=$(mktemp "${TMPDIR:-/tmp}/zantrox-display.XXXXXX") || return 1
    # -noreset: the server would otherwise reset whenever its last client leaves,
    # dropping whoever connects meanwhile. -displayfd: the server picks a free
    # display and writes its number.
    exec 3>"$fdfile"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset >"$log" 2>&1 &
    XVFB_PID=$!
    exec 3>&-
    track_pid "$XVFB_PID"
    if ! wait_for 10 test -s "$fdfile"; then
        rm -f "$fdfile"
        stop_pid "$XVFB_PID"
        XVFB_PID=
        return 1
    fi
    DISPLAY=":$(head -n 1 "$fdfile")"
    export DISPLAY
    rm -f "$fdfile"
    wait_for 10 test -S "/tmp/.X11-unix/X${DISPLAY#:}" || true
}

# start_sim SIM PREFIX ARGS...: runs the simulator SIM with ARGS (output to PREFIX.out/.err), waits for its ready line; sets SIM_PID, SIM_PTY; 1 (SIM_STATUS = its exit status) when it ended instead.
start_sim() {
    local sim=$1 prefix=$2
    shift 2
    SIM_PTY=
    SIM_STATUS=
    "$sim" "$@" >"$prefix.out" 2>"$prefix.err" &
    SIM_PID=$!
    track_pid "$SIM_PID"
    harness_sim_up_or_gone() { grep -q '^zantrox-sim: ready ' "$prefix.out" 2>/dev/null || process_gone "$SIM_PID"; }
    wait_for 10 harness_sim_up_or_gone
    if grep -q '^zantrox-sim: ready ' "$prefix.out" 2>/dev/null; then
        SIM_PTY=$(awk '/^zantrox-sim: ready / { print $3; exit }' "$prefix.out")
        return 0
    fi
    if process_gone "$SIM_PID"; then
        wait "$SIM_PID"
        SIM_STATUS=$?
        untrack_pid "$SIM_PID"
    else
        stop_pid "$SIM_PID"
        SIM_STATUS=124
    fi
    SIM_PID=
    return 1
}

# find_window TITLE_REGEX [SECONDS]: prints the id of the first window whose name matches (xdotool), within SECONDS (10).
find_window() { timeout "${2:-10}" xdotool search --sync --name "$1" 2>/dev/null | head -n 1; }

# start_console_window PROGRAM LOG TITLE_REGEX: starts PROGRAM (output to LOG, tracked), waits up to 10 s for its window and focuses it; sets CONSOLE_PID and WINDOW; 1 when no window appeared or it took no focus.
start_console_window() {
    "$1" >"$2" 2>&1 &
    CONSOLE_PID=$!
    track_pid "$CONSOLE_PID"
    WINDOW=$(find_window "$3" 10)
    [ -n "$WINDOW" ] && xdotool windowfocus --sync "$WINDOW"
}

# window_png WINDOW FILE: saves the window's own picture (xwd) as a PNG; 1 on failure.
window_png() { xwd -silent -id "$1" 2>/dev/null | convert xwd:- "$2" 2>/dev/null; }

# region_has_ink FILE WxH+X+Y: succeeds when that region of the picture is not all white.
region_has_ink() {
    local mean
    mean=$(convert "$1" -crop "$2" +repage -colorspace Gray -format '%[fx:mean]' info: 2>/dev/null) || return 1
    awk -v m="$mean" 'BEGIN { exit !(m < 0.999) }'
}

# missing_tools TOOL...: prints the tools not on PATH (nothing when all are there).
missing_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || printf '%s ' "$tool"
    done
}

# Wine's server and the suites. By default Wine's server shuts down by itself once
# the last Windows program of a prefix has ended and its persistence time has run out
# (here about half a second after `wine` returned), closing its socket at that
# moment: a program starting just then has its connection cut ("wine client error:0:
# recvmsg: Connection reset by peer") and never runs. So once a prefix is made, one server is
# kept for it (wineserver -p: it never ends by itself) until wine_stop, and every
# program of a suite talks to that one.

# wine_prefix DIR LOG: makes a fresh Wine prefix in DIR (exports WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES), frames drawn by Wine with Marlett, and starts its server for good (wine_stop ends it); 1 on failure.
wine_prefix() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    unset WINEARCH
    # wineboot's own server ends by itself once the set-up is written: nothing else
    # connects meanwhile, and waiting for it is waiting for the set-up to finish.
    wineboot -i >"$2" 2>&1 || { echo "harness: wineboot -i ended with $?" >>"$2"; return 1; }
    wineserver -w
    # There is no window manager on the display: Wine draws the window frame itself
    # (Decorated) and does not wait for a manager to withdraw a closing window, which
    # would add a 2 s time-out of Wine's own to every shutdown (Managed).
    # The caption buttons are drawn with Wine's own Marlett font (Debian: fonts-wine),
    # which Debian's Wine does not take from its data folder: it goes into the
    # prefix's Fonts folder, which Wine reads at every start.
    local value font
    for font in /usr/share/wine/fonts/marlett.ttf /opt/wine*/share/wine/fonts/marlett.ttf; do
        if [ -f "$font" ]; then
            cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/" && break
        fi
    done
    wine_server_start >>"$2" 2>&1 || return 1
    for value in Decorated Managed; do
        "${WINE:-wine}" reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /d N /f >>"$2" 2>&1 ||
            { echo "harness: reg add $value ended with $?" >>"$2"; return 1; }
    done
}

# wine_server_start: starts the prefix's server, kept until wine_stop; at exit it is ended (once, whoever asked); 1 when it did not start.
wine_server_start() {
    # `wineserver -p` refuses, silently and with 2, while a server of the prefix still
    # runs: the set-up's own one on its way out, or one a last program of it started
    # again. Ours starts once that one has ended (a bounded wait, said when it runs out).
    local tries=0
    until wineserver -p; do
        tries=$((tries + 1))
        if [ "$tries" -ge 20 ]; then
            echo "harness: wineserver -p: another server of the prefix keeps running"
            return 1
        fi
        wineserver -w
    done
    if [ -z "${HARNESS_WINE_STOP_AT_EXIT:-}" ]; then
        HARNESS_WINE_STOP_AT_EXIT=1
        at_exit wine_stop
    fi
}

# wine_stop: ends the prefix's Wine processes and its server, and waits for them; quiet when there is no prefix.
wine_stop() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    return 0
}

# wine_com_port K DEVICE LOG: maps COMK of the prefix to DEVICE; wine_restart makes it take effect.
wine_com_port() { "${WINE:-wine}" reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /d "$2" /f >>"$3" 2>&1; }

# wine_restart: ends the prefix's Wine processes and starts its server afresh, so the next start reads the registry (comN links); 1 when it did not start.
wine_restart() {
    wine_stop
    wine_server_start
}

# wine_com_links K=DEVICE...: waits (30 s at most) until the prefix's dosdevices links comK point at DEVICE. Wine's mount
# manager makes them from the registry shortly after its first program starts, so a port opened before that would be
# the machine's own /dev/ttyS(K-1). Starts a program that does nothing to have it done; 1 (and says which) when not.
wine_com_links() {
    local pair k dev
    "${WINE:-wine}" cmd /c exit 0 >/dev/null 2>&1
    harness_links_made() {
        for pair in "$@"; do
            k=${pair%%=*} dev=${pair#*=}
            [ "$(readlink "$WINEPREFIX/dosdevices/com$k" 2>/dev/null)" = "$dev" ] || return 1
        done
    }
    wait_for 30 harness_links_made "$@" && return 0
    for pair in "$@"; do
        k=${pair%%=*} dev=${pair#*=}
        echo "COM$k is $(readlink "$WINEPREFIX/dosdevices/com$k" 2>/dev/null || echo 'no link'), not $dev"
    done
    return 1
}

# WINE_HARNESS_FAULT: what a suite says when Wine itself failed it, not the program under test.
WINE_HARNESS_FAULT="Wine's server went away: harness fault, not a test result"

# wine_client_failed FILE: succeeds when FILE (a Windows program's standard error) shows that Wine's client lost or could not reach its server.
wine_client_failed() { grep -qE '^wine client error|^wine: could not (load|exec|start)|^wineserver: ' "$1" 2>/dev/null; }
