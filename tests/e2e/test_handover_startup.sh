#!/usr/bin/env bash
# Startup notification through the hand-over (X11, no session bus): a second
# launch started with DESKTOP_STARTUP_ID gives its id to the running copy,
# which shows its window with that id (_NET_STARTUP_ID) and ends the launch's
# startup sequence (the "remove" message of the freedesktop protocol, on the
# root window), the id quoted and escaped. A launch whose hand-over fails (the
# running copy stopped) says so in one line, exits 1 within 3 s and ends its
# own startup sequence.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

/usr/bin/python3 -c 'import Xlib' 2>/dev/null || fail "python3-xlib is not installed (scripts/install-deps)"

start_xvfb
start_wm
start_pulse
make_bundle real
write_prefs_freq 4000
start_startup_watch

# The message that ends the sequence of an id, as the protocol writes it.
remove_message() { python3 -c 'import sys; print("remove: ID=\"%s\"" % sys.argv[1].replace("\\", "\\\\").replace("\"", "\\\""))' "$1"; }
removed() { cut -d' ' -f2- "$T/startup.out" | grep -qxF "$(remove_message "$1")"; }
startup_id_of() { xprop -id "$1" _NET_STARTUP_ID | sed -n 's/^_NET_STARTUP_ID(UTF8_STRING) = "\(.*\)"$/\1/p'; }
# A second launch with the startup id given; sets second_status and took.
launch_with_id() {
    local t0 t1
    t0="$(now)"
    second_status=0
    env DESKTOP_STARTUP_ID="$1" "$PROG" >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
    t1="$(now)"
    took="$(python3 -c "print('%.2f' % ($t1 - $t0))")"
    log "second launch (id $1) ended with status $second_status after $took s"
}

start_program
FIRST_PID="$prog_PID"
wait_main_window
nap 1

log "--- case: the window closed, a launch with a startup id"
close_window
ID1="kestrune-e2e-1-$$_TIME$(/usr/bin/python3 "$WATCH" time)"
launch_with_id "$ID1"
check "the second launch exits 0" test "$second_status" -eq 0
check "within 2 s" python3 -c "import sys; sys.exit(0 if $took < 2.0 else 1)"
check "saying nothing" test ! -s "$T/second.err"
wait_main_window 10 "$FIRST_PID"
check "the running copy ends the launch's startup sequence" wait_for 5 removed "$ID1"
check "the window shown carries the launch's id" test "$(startup_id_of "$WID")" = "$ID1"
check "the window is the active one" wait_for 5 bash -c "[ \"\$(xdotool getactivewindow)\" = '$WID' ]"

log "--- case: the window open, an id that needs quoting"
ID2="kestrune \"e2e\" \\ 2-$$_TIME$(/usr/bin/python3 "$WATCH" time)"
launch_with_id "$ID2"
check "the second launch exits 0" test "$second_status" -eq 0
check "the sequence of the id with quotes ends" wait_for 5 removed "$ID2"
check "the window carries that id" test "$(startup_id_of "$WID")" = "$(printf '%s' "$ID2" | sed 's/["\\]/\\&/g')"

log "--- case: the running copy stopped"
kill -STOP "$FIRST_PID"
ID3="kestrune-e2e-3-$$_TIME$(/usr/bin/python3 "$WATCH" time)"
launch_with_id "$ID3"
kill -CONT "$FIRST_PID"
check "the launch exits 1" test "$second_status" -eq 1
check "within 3 s" python3 -c "import sys; sys.exit(0 if $took < 3.0 else 1)"
check "saying so in one line" test "$(wc -l < "$T/second.err")" -eq 1
check "the line says that the copy does not answer" grep -q '^Kestrune: another copy is running but does not answer$' "$T/second.err"
check "the launch ends its own startup sequence" wait_for 5 removed "$ID3"

log "--- case: going again, the copy answers"
ID4="kestrune-e2e-4-$$"
launch_with_id "$ID4"
check "the second launch exits 0" test "$second_status" -eq 0
check "its sequence ends" wait_for 5 removed "$ID4"
check "the first copy still runs" prog_alive
kill -TERM "$FIRST_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
log "passed"
