#!/usr/bin/env bash
# On each sound server: the server starts a few seconds after the program, and
# is later killed and started again: each time, plays resume within one period
# (4 s) and the tone reaches the sink.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server "$@"
e2e_init "$1" 120

start_xvfb
# The plays are the program's own (the shim), so that an event logger that
# starts late on a loaded machine misses none; that they reached the server
# shows at the sink's monitor.
use_paspy
make_bundle tone
write_prefs_freq 4000
start_program
wait_window
nap 3

# resumes NAME: the server has just come up; a play must follow within one
# period (plus slack for connecting), and the tone must reach the sink.
resumes() {
    local name="$1"
    start_events
    start_record "$name"
    local up="$SOUND_UP_AT"
    wait_for 6 plays_at_least 1 "$up" || fail "$name: no play within one period of the server coming up"
    local first; first="$(plays "$up" | head -n1)"
    log "$name: first play $(python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) - float(sys.argv[2])))" "$first" "$up") s after the server came up"
    python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) - float(sys.argv[2]) <= 4.5 else 1)" "$first" "$up" \
        || fail "$name: the first play came later than one period after the server"
    sleep_until "$first" 8.5
    stop_record "$name"
    local b; b="$(burst_count "$name")"
    log "$name: $(play_count "$up") plays, $b tone bursts at the monitor"
    [ "$b" -ge 2 ] || fail "$name: the tone did not reach the sink ($b bursts)"
    prog_alive || fail "$name: the program ended"
}

log "--- the server starts after the program"
start_sound_server
resumes late_start

log "--- the server is killed and started again"
stop_pid "$events_PID"
kill_sound_server
nap 3
prog_alive || fail "the program ended when the server went away"
start_sound_server
resumes restart

stop_program
log "passed"
