#!/usr/bin/env bash
# The X server killed under a running program: one line, a non-zero exit, no
# crash, the preferences file intact. Then the table of displays Qt could not
# open, X11 and Wayland: one line each that says why, exit 2, no abort.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

start_xvfb
start_wm
start_pulse
make_bundle real
write_prefs_freq 4000

log "--- case: the X server killed under the program"
start_program
wait_main_window
nap 2
DEAD_DISPLAY="$DISPLAY"
stop_pid "$XVFB_PID" KILL
log "Xvfb killed"
wait_exit 10
check "a non-zero exit" test "$PROG_STATUS" -ne 0
check "no crash, no core (status $PROG_STATUS)" no_crash "$PROG_STATUS"
check "one line on standard error" test "$(wc -l <"$T/prog.err")" -eq 1
check "which says the display was lost" grep -q '^Kestrune: the connection to the display was lost$' "$T/prog.err"
check "the preferences file is intact" test "$(prefs_freq)" = 4000

# The killed server left its socket file behind: a dead socket.
DEAD_NUMBER="${DEAD_DISPLAY#:}"
check "the killed server left a dead socket" test -S "/tmp/.X11-unix/X$DEAD_NUMBER"

bad_display() { # bad_display WHAT XAUTHORITY DISPLAY|-
    local what="$1" auth="$2" display="$3" status=0
    if [ "$display" = - ]; then
        timeout 20 env -u DISPLAY XAUTHORITY="$auth" "$PROG" >"$T/bad.out" 2>"$T/bad.err" </dev/null || status=$?
    else
        timeout 20 env DISPLAY="$display" XAUTHORITY="$auth" "$PROG" >"$T/bad.out" 2>"$T/bad.err" </dev/null || status=$?
    fi
    log "$what: status $status, said: $(cat "$T/bad.err")"
    check "$what: exit 2" test "$status" -eq 2
    check "$what: one line" test "$(wc -l <"$T/bad.err")" -eq 1
    check "$what: a desktop session is needed" grep -q '^Kestrune: a desktop session is needed (' "$T/bad.err"
}
# The dead socket first: a new server could take its number.
bad_display "a dead socket ($DEAD_DISPLAY)" /dev/null "$DEAD_DISPLAY"
rm -f "/tmp/.X11-unix/X$DEAD_NUMBER" "/tmp/.X$DEAD_NUMBER-lock"
start_xvfb_auth
: >"$T/empty.xauth"
FREE=""
for n in $(seq 731 799); do
    [ -e "/tmp/.X11-unix/X$n" ] || xdpyinfo -display ":$n" >/dev/null 2>&1 || { FREE=":$n"; break; }
done
[ -n "$FREE" ] || fail "no free display number"

bad_display "DISPLAY unset" "$T/server.xauth" -
bad_display "no server ($FREE)" "$T/server.xauth" "$FREE"
bad_display "refused authorisation ($AUTH_DISPLAY)" "$T/empty.xauth" "$AUTH_DISPLAY"
bad_display "screen 7 ($AUTH_DISPLAY.7)" "$T/server.xauth" "$AUTH_DISPLAY.7"

# With the cookie, that display opens: the check refuses no good display.
export DISPLAY="$AUTH_DISPLAY" XAUTHORITY="$T/server.xauth"
start_program
wait_main_window
kill -TERM "$prog_PID"
wait_exit 10
check "with the cookie the program runs and SIGTERM exits 0" test "$PROG_STATUS" -eq 0

# --- Wayland. A live compositor (weston), and a dead socket: a socket file
# that nothing listens on.
start_weston
WL_LIVE="$WAYLAND_DISPLAY"
unset WAYLAND_DISPLAY
WL_DEAD="$XDG_RUNTIME_DIR/wl-dead"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$WL_DEAD"
check "the dead Wayland socket is a socket" test -S "$WL_DEAD"

# A mount namespace in which Qt's platforms folder holds every plug-in but
# the Wayland ones, as without the qt6-wayland package. "${WITHOUT_WAYLAND[@]}"
# CMD... runs CMD there (exec, so that the pid stays the program's).
PLATFORMS="$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null)/platforms"
NO_WAYLAND="$T/platforms-without-wayland"
mkdir -p "$NO_WAYLAND"
find "$PLATFORMS" -maxdepth 1 -name '*.so' ! -name 'libqwayland*' -exec cp {} "$NO_WAYLAND/" \;
WITHOUT_WAYLAND=(unshare --mount --propagation private
    sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$NO_WAYLAND" "$PLATFORMS")
CAN_HIDE=0
if [ -e "$PLATFORMS/libqwayland-generic.so" ] &&
    "${WITHOUT_WAYLAND[@]}" sh -c '! ls "$1"/libqwayland* 2>/dev/null' sh "$PLATFORMS" >/dev/null 2>&1; then
    CAN_HIDE=1
fi

# bad_session WHAT SAYS [VAR=VALUE...] [-- WRAPPER...]: the program started
# with no DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM or XDG_SESSION_TYPE but
# those given (and under WRAPPER) ends with status 2 and one line that says
# it needs a desktop session and holds SAYS (a fixed string, "|" between
# several that must all be there).
bad_session() {
    local what="$1" says="$2" status=0 vars=() wrap=() part
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
    [ $# -gt 0 ] && { shift; wrap=("$@"); }
    timeout 20 "${wrap[@]}" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE \
        "${vars[@]}" "$PROG" >"$T/bad.out" 2>"$T/bad.err" </dev/null || status=$?
    log "$what: status $status, said: $(cat "$T/bad.err")"
    check "$what: exit 2" test "$status" -eq 2
    check "$what: one line" test "$(wc -l <"$T/bad.err")" -eq 1
    check "$what: a desktop session is needed" grep -q '^Kestrune: a desktop session is needed (' "$T/bad.err"
    IFS='|' read -r -a parts <<<"$says"
    for part in "${parts[@]}"; do
        check "$what: says '$part'" grep -qF -- "$part" "$T/bad.err"
    done
}
WL_SAYS="cannot connect to the Wayland display \"$WL_DEAD\""
bad_session "Wayland: a dead socket (QT_QPA_PLATFORM=wayland)" "$WL_SAYS" \
    QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wl-dead
bad_session "Wayland: a dead socket by its path (QT_QPA_PLATFORM=wayland)" "$WL_SAYS" \
    QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$WL_DEAD"
bad_session "Wayland: a dead socket, no platform named, DISPLAY unset" "$WL_SAYS|DISPLAY is not set" \
    WAYLAND_DISPLAY=wl-dead
bad_session "Wayland and X both dead, no platform named" "$WL_SAYS|cannot connect to the display \"$FREE\"" \
    WAYLAND_DISPLAY=wl-dead DISPLAY="$FREE"
bad_session "Wayland and X both dead (QT_QPA_PLATFORM=\"wayland;xcb\")" \
    "$WL_SAYS|cannot connect to the display \"$FREE\"" \
    "QT_QPA_PLATFORM=wayland;xcb" WAYLAND_DISPLAY=wl-dead DISPLAY="$FREE"
bad_session "a Wayland session with no compositor, no platform named" \
    "cannot connect to the Wayland display \"$XDG_RUNTIME_DIR/wayland-0\"|DISPLAY is not set" \
    XDG_SESSION_TYPE=wayland
bad_session "neither DISPLAY nor WAYLAND_DISPLAY, no platform named" \
    "no display is set: neither DISPLAY nor WAYLAND_DISPLAY"
bad_session "X11 named while only Wayland is there (QT_QPA_PLATFORM=xcb)" "DISPLAY is not set" \
    QT_QPA_PLATFORM=xcb WAYLAND_DISPLAY="$WL_LIVE"

if [ "$CAN_HIDE" -eq 1 ]; then
    PLUGIN_SAYS='the Qt Wayland platform plugin "wayland" is missing: install qt6-wayland'
    bad_session "no Wayland plug-in, weston up (QT_QPA_PLATFORM=wayland)" "$PLUGIN_SAYS" \
        QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$WL_LIVE" -- "${WITHOUT_WAYLAND[@]}"
    bad_session "no Wayland plug-in, weston up, no platform named, DISPLAY unset" "$PLUGIN_SAYS|DISPLAY is not set" \
        WAYLAND_DISPLAY="$WL_LIVE" -- "${WITHOUT_WAYLAND[@]}"
    # The plug-in where Qt also looks, QT_QPA_PLATFORM_PLUGIN_PATH: the check
    # lets the program start, and it runs on Wayland.
    mkdir -p "$T/own-platforms"
    cp "$PLATFORMS/libqwayland-generic.so" "$T/own-platforms/"
    QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$WL_LIVE" QT_QPA_PLATFORM_PLUGIN_PATH="$T/own-platforms" WAYLAND_DEBUG=1 \
        start_program_under "${WITHOUT_WAYLAND[@]}" env -u DISPLAY
    check "with the plug-in in QT_QPA_PLATFORM_PLUGIN_PATH the window opens on Wayland" \
        wait_for 20 grep -q 'xdg_toplevel@[0-9]*\.set_title("Kestrune 1\.0")' "$T/prog.err"
    kill -TERM "$prog_PID"
    wait_exit 10
    check "and SIGTERM exits 0" test "$PROG_STATUS" -eq 0
else
    log "SKIP: the Wayland plug-in cannot be hidden here (needs qt6-wayland's libqwayland-generic.so in $PLATFORMS and a mount namespace: unshare --mount as root); the rows without it are not run"
fi

# A live compositor passes the check.
QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$WL_LIVE" WAYLAND_DEBUG=1 start_program_under env -u DISPLAY
check "with weston up the window opens on Wayland" \
    wait_for 20 grep -q 'xdg_toplevel@[0-9]*\.set_title("Kestrune 1\.0")' "$T/prog.err"
kill -TERM "$prog_PID"
wait_exit 10
check "and SIGTERM exits 0" test "$PROG_STATUS" -eq 0
log "passed"
