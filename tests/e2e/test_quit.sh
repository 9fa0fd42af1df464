#!/usr/bin/env bash
# On each sound server: Ctrl+Q sent to the window quits with status 0; so does
# SIGTERM. Either way nothing of the program stays on the server: no stream,
# no cached sample, no client.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server "$@"
e2e_init "$1" 90

start_xvfb
start_sound_server
make_bundle real
write_prefs_freq 4000

# Before quitting: the program is on the server (so that the checks after it
# can fail).
check_on_server() {
    wait_for 10 test "$(kestrune_on_server clients)" -ge 1 \
        || fail "the program never connected to the sound server"
    log "on the server: $(kestrune_on_server clients) client(s), $(kestrune_on_server sink-inputs) stream(s), $(kestrune_on_server samples) sample(s)"
}
check_nothing_left() { # check_nothing_left HOW
    local c s x
    c="$(kestrune_on_server clients)"; s="$(kestrune_on_server sink-inputs)"; x="$(kestrune_on_server samples)"
    log "$1: left on the server: ${c:-?} client(s), ${s:-?} stream(s), ${x:-?} sample(s)"
    [ "$c" = 0 ] && [ "$s" = 0 ] && [ "$x" = 0 ] || fail "$1 left something on the sound server"
}

log "--- case: Ctrl+Q"
start_program
wait_window
wait_for 10 title_is "Kestrune 1.0" || fail "title never became \"Kestrune 1.0\""
nap 1
prog_alive || fail "the program ended before Ctrl+Q"
check_on_server
xdotool windowfocus --sync "$WID"
nap 0.3
xdotool key --clearmodifiers ctrl+q
wait_exit 10
check "Ctrl+Q exits with status 0" test "$PROG_STATUS" -eq 0
check_nothing_left "Ctrl+Q"

log "--- case: SIGTERM"
start_program
wait_window
# Past a tick or two, so that a kept stream has been played into again.
nap 5
prog_alive || fail "the program ended before SIGTERM"
check_on_server
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits with status 0" test "$PROG_STATUS" -eq 0
check_nothing_left "SIGTERM"
log "passed"
