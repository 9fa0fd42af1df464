#!/usr/bin/env bash
# Without a sound: silent.wav missing from the bundle (on each sound server),
# and no sound server at all. The program keeps running and its window opens;
# nothing is played.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

start_xvfb

make_bundle nowav
for server in $(sound_servers); do
    log "--- case: silent.wav missing, $server"
    start_sound_server "$server"
    start_events
    clear_prefs
    rm -f "$T/events.log"
    start_program
    wait_window
    check "window title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"
    nap 9
    prog_alive || fail "the program ended without silent.wav"
    check "nothing was played" test "$(play_count)" -eq 0
    check "no client of the program on the server" test "$(kestrune_on_server clients)" = 0
    # The popup's Open ends at the play, before the store is first used.
    check "the preferences store was never opened" test ! -e "$PREFS_FILE"
    stop_program
    stop_pid "$events_PID"
    kill_sound_server
done

log "--- case: no sound server"
make_bundle real
write_prefs_freq 4000
start_program
wait_window
check "window title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"
# The open play and two ticks each find no server.
nap 9
prog_alive || fail "the program ended without a sound server"
check "freq is written back as 4000" test "$(prefs_freq)" = 4000
n="$(grep -ciE 'sound|audio' "$T/prog.err" || true)"
log "standard error: $(cat "$T/prog.err")"
[ "$n" -eq 1 ] || fail "expected the missing sound server reported once on standard error, saw $n lines"
stop_program
log "passed"
