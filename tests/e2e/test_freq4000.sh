#!/usr/bin/env bash
# A stored freq of 4000, on each sound server: the sound plays when the window
# opens and then every 4 seconds, each play within 50 ms of its schedule as the
# program makes it, the tone reaches the sink each time, and the file is
# written back as 4000.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server "$@"
e2e_init "$1" 120

start_xvfb
start_sound_server
use_paspy
make_bundle tone
write_prefs_raw '<?xml version="1.0" encoding="UTF-8"?>
<Kestrune><freq>4000</freq></Kestrune>
'
touch -d '2001-01-01 00:00:00' "$PREFS_FILE"
start_record
nap 0.5
start_program
wait_window
check "window title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"

# Open play at about 0 s, then 4, 8, 12, 16 s: wait until just past 17 s.
wait_for 10 prog_plays_at_least 1 || fail "no play when the window opened"
first="$(prog_plays | head -n1 | cut -d' ' -f1)"
sleep_until "$first" 17.5
check_schedule 4000 50 5
# The last tone needs a moment to come round through the sink to the monitor.
nap 1
stop_record
bursts="$(burst_count)"
log "tone bursts at the monitor: $bursts"
[ "$bursts" -eq 5 ] || fail "expected 5 tone bursts at the sink's monitor, heard $bursts"

check "freq is written back as 4000" test "$(prefs_freq)" = 4000
[ "$(stat -c %Y "$PREFS_FILE")" -gt "$(date -d '2001-01-02' +%s)" ] || fail "the preferences file was not written"
stop_program
log "passed"
