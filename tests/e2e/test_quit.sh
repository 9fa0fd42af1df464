#!/usr/bin/env bash
# Ctrl+Q sent to the window quits with status 0; so does SIGTERM.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

start_xvfb
start_pulse
make_bundle real
write_prefs_freq 4000

log "--- case: Ctrl+Q"
start_program
wait_window
wait_for 10 title_is "Kestrune 1.0" || fail "title never became \"Kestrune 1.0\""
nap 1
prog_alive || fail "the program ended before Ctrl+Q"
xdotool windowfocus --sync "$WID"
nap 0.3
xdotool key --clearmodifiers ctrl+q
wait_exit 10
check "Ctrl+Q exits with status 0" test "$PROG_STATUS" -eq 0

log "--- case: SIGTERM"
start_program
wait_window
nap 1
prog_alive || fail "the program ended before SIGTERM"
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits with status 0" test "$PROG_STATUS" -eq 0
log "passed"
