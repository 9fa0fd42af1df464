#!/usr/bin/env bash
# First launch, no preferences: the window maps at 480 wide, fixed size, at
# least 420 high (the menu bar sits inside the window above the 480x420
# content), titled "Kestrune 1.0"; the sound plays when the window opens and
# then every 29 seconds; the new file holds freq 29000.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 180

start_xvfb
start_pulse
start_events
use_paspy
make_bundle real
clear_prefs
start_program
wait_window
check "window title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"

read -r w h < <(window_size)
log "window size ${w}x${h}"
[ "$w" = 480 ] || fail "window is $w wide, not 480"
[ "$h" -ge 420 ] || fail "window is $h high, less than 420"
read -r minw minh maxw maxh < <(window_size_hints)
log "size hints: min ${minw}x${minh}, max ${maxw}x${maxh}"
[ "$minw" = "$w" ] && [ "$maxw" = "$w" ] && [ "$minh" = "$h" ] && [ "$maxh" = "$h" ] \
    || fail "the window is not fixed at its size (hints min ${minw}x${minh} max ${maxw}x${maxh}, size ${w}x${h})"

wait_for 10 plays_at_least 1 || fail "no play when the window opened"
first="$(plays | head -n1)"
check "the preferences file holds freq 29000" test "$(prefs_freq)" = 29000
# Plays at 0, 29 and 58 s. The timer starts after the first launch's three
# saves of the new file (each synced to disk), so the ticks keep time among
# themselves within 50 ms and the first comes 29 s after the open play, a
# little later by the time those saves took.
sleep_until "$first" 59.5
mapfile -t t < <(plays)
[ "${#t[@]}" -eq 3 ] || fail "expected 3 plays in 59 s, saw ${#t[@]}"
python3 - "${t[@]}" <<'PY' || fail "the plays do not keep the 29-second schedule"
import sys
t = [float(x) for x in sys.argv[1:]]
first_gap = (t[1] - t[0] - 29.0) * 1000
tick_gap = (t[2] - t[1] - 29.0) * 1000
print("open play to first tick: 29 s %+.1f ms; first to second tick: 29 s %+.1f ms" % (first_gap, tick_gap), file=sys.stderr)
sys.exit(0 if -50 <= first_gap <= 250 and abs(tick_gap) <= 50 else 1)
PY
log "ok: plays at open and every 29 s"
prog_alive || fail "the program ended"
if grep -i exception "$T/prog.err" >&2; then fail "the program reported an exception"; fi
stop_program
log "passed"
