#!/usr/bin/env bash
# The X server killed under a running program: one line, a non-zero exit, no
# crash, the preferences file intact. Then the table of displays Qt could not
# open: one line each, exit 2, no abort.
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
log "passed"
