#!/usr/bin/env bash
# The sound server starts a few seconds after the program, and is later killed
# and started again: each time, plays resume within one period (4 s) and the
# tone reaches the sink.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

# The program reaches the sound server on a socket of its own, which the
# server opens only once the event logger and the recorder (on the usual
# socket) are listening: however slowly they start on a loaded machine, they
# miss no play, and the time the server "comes up" is the time it opens the
# program's socket.
PROG_SOCKET="$T/prog/native"
mkdir -p "$T/prog"
open_to_program() {
    PULSE_UP_AT="$(now)"
    pactl load-module module-native-protocol-unix auth-anonymous=1 socket="$PROG_SOCKET" >/dev/null \
        || fail "the server did not open the program's socket"
    log "the server is open to the program"
}

start_xvfb
make_bundle tone
write_prefs_freq 4000
PULSE_SERVER="unix:$PROG_SOCKET" start_program
wait_window
nap 3

# resumes NAME: the server has just come up; a play must follow within one
# period (plus slack for connecting), and the tone must reach the sink.
resumes() {
    local name="$1"
    start_events
    start_record "$name"
    open_to_program
    local up="$PULSE_UP_AT"
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
start_pulse
resumes late_start

log "--- the server is killed and started again"
stop_pid "$events_PID"
kill_pulse
nap 3
prog_alive || fail "the program ended when the server went away"
start_pulse
resumes restart

stop_program
log "passed"
