#!/usr/bin/env bash
# In a desktop (openbox, a session bus with a StatusNotifier watcher, trayer)
# at the default 29 s on PulseAudio: between plays the program sleeps. Its
# wake-ups (voluntary context switches, all threads) in the stretches that
# hold no play, from 7 s after a play to 2 s before the next, over at least a
# minute of such stretches, are at most one a minute. A play's own wake-ups lie
# outside them: the play, the output's keep-awake (about 2 s after a play at
# this interval) and the check that the play ran out (5 s and the sound's
# length after it). Wake-ups are counts, not times, so a loaded machine adds
# none; the margins are for timers that fire late.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 300

AFTER=7 BEFORE=2 WINDOWS=4 PERIOD=29

start_xvfb
start_wm
start_session_bus
start_sn_watcher
start_tray
start_pulse
use_paspy
make_bundle tone
write_prefs_freq $(( PERIOD * 1000 ))

start_program
wait_main_window
wait_for 15 sn_item || fail "the tray icon did not register with the StatusNotifier watcher"
log "tray icon registered: $SN_ITEM"
# Nothing below touches the bus or the display until the count is done.
start_bg wakes python3 -u "$E2E_DIR/wakes.py" sample "$prog_PID" "$T/wakes.log" 0.25

# The open play, then a tick every 29 s; the stretches between the first tick
# and the ones after it are counted.
need=$(( WINDOWS + 2 ))
log "waiting for $need plays (about $(( (need - 1) * PERIOD )) s)"
wait_for $(( (need - 1) * PERIOD + 60 )) prog_plays_at_least "$need" || fail "fewer than $need plays"
prog_alive || fail "the program ended"
since="$(prog_plays | sed -n 2p | cut -d' ' -f1)"
quiet="$(python3 "$E2E_DIR/wakes.py" quiet "$T/wakes.log" "$T/paspy.log" "$AFTER" "$BEFORE" "$since")"
printf '%s\n' "$quiet" | sed 's/^/  /' >&2
read -r _ wakes secs windows per_min <<< "$(printf '%s\n' "$quiet" | tail -n1)"
log "$wakes wake-ups in $windows stretches of $secs s with no play ($per_min a minute)"
[ "$windows" -ge "$WINDOWS" ] || fail "only $windows stretches with no play"
awk -v s="$secs" 'BEGIN { exit !(s >= 60) }' || fail "only $secs s with no play counted"
allowed="$(awk -v s="$secs" 'BEGIN { print int(s / 60) }')"
[ "$wakes" -le "$allowed" ] \
    || fail "$wakes wake-ups between plays in $secs s: at most $allowed (one a minute)"
log "ok: $wakes wake-ups between plays in $secs s (at most $allowed)"
stop_program
log "passed"
