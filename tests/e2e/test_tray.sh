#!/usr/bin/env bash
# With a real tray host (trayer) under openbox: the icon is there; after the
# window is closed, About from the tray brings it back while the plays go on;
# Quit from the tray, Ctrl+Q and SIGTERM each exit 0 with no crash; a tray
# host started after the program, or started again, still gets the icon.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

start_xvfb
start_wm
start_pulse
start_events
# The plays as the program makes them: a kept stream shows the server only its first.
use_paspy
make_bundle real
write_prefs_freq 4000

log "--- case: the icon, About from the tray after the window closed, Quit from the tray"
start_tray
start_program
wait_main_window
wait_for 15 tray_icon || fail "no tray icon"
log "ok: the icon is in the tray"
nap 1
close_window
CLOSED_AT="$(now)"
nap 5
check "the plays go on with the window closed" plays_at_least 1 "$CLOSED_AT"
tray_choose_about 1
wait_main_window 10
log "ok: About from the tray (left click) brought the window back"
nap 1
tray_choose_quit 3
wait_exit 10
check "Quit from the tray (right click) exits 0" test "$PROG_STATUS" -eq 0

log "--- case: Ctrl+Q with the tray icon"
start_program
wait_main_window
wait_for 15 tray_icon || fail "no tray icon"
nap 1
xdotool windowactivate --sync "$WID" 2>/dev/null || xdotool windowfocus --sync "$WID"
nap 0.3
xdotool key --clearmodifiers ctrl+q
wait_exit 10
check "Ctrl+Q exits 0" test "$PROG_STATUS" -eq 0

log "--- case: SIGTERM with the tray icon"
start_program
wait_main_window
wait_for 15 tray_icon || fail "no tray icon"
nap 1
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
stop_tray

log "--- case: a tray host started after the program, then started again"
start_program
wait_main_window
nap 2
tray_icon && fail "an icon with no tray host"
start_tray late
wait_for 15 tray_icon || fail "the late tray host did not get the icon"
log "ok: the late tray host got the icon"
stop_tray late
nap 1
start_tray again
wait_for 15 tray_icon || fail "the restarted tray host did not get the icon"
log "ok: the restarted tray host got the icon"
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "the preferences file still holds 4000" test "$(prefs_freq)" = 4000
log "passed"
