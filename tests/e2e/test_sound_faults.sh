#!/usr/bin/env bash
# The program never wedges the sound server, on each server (both at once):
#  - a hung server (SIGSTOP for 40 s while the program plays every 4 s, then
#    SIGCONT): within one period at most one of the program's streams is on
#    the server, another client (paplay) plays, the program's plays resume on
#    schedule with no burst and reach the sink, and the outage is said once on
#    standard error;
#  - a suspended sink (pactl suspend-sink) leaves at most one of the
#    program's streams waiting, and once it is resumed the plays reach it.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server --parallel "$@"
e2e_init "$1" 300

start_xvfb
start_sound_server
use_paspy
make_bundle tone
TONE="$(dirname "$PROG")/../Resources/silent.wav"
write_prefs_freq 4000

secs() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) - float(sys.argv[2])))" "$1" "$2"; }
plus() { python3 -c "import sys; print('%.6f' % (float(sys.argv[1]) + float(sys.argv[2])))" "$1" "$2"; }
sound_lines() { grep -ciE 'sound|audio' "$T/prog.err" || true; }

# Polls the program's streams on the server every 0.5 s for SECONDS; prints
# the most seen at once (fails when the server does not answer).
most_streams() { # most_streams SECONDS
    local end most=0 n
    end="$(plus "$(now)" "$1")"
    while python3 -c "import sys,time; sys.exit(0 if time.time() < float(sys.argv[1]) else 1)" "$end"; do
        n="$(kestrune_on_server sink-inputs)"
        [ -n "$n" ] || { echo "none: the server did not answer"; return; }
        [ "$n" -gt "$most" ] && most="$n"
        sleep 0.5
    done
    echo "$most"
}

# Plays as the program made them from SINCE: at least MIN, the first within
# FIRST_WITHIN s of SINCE, then each a period (4 s, give or take 1 s) after
# the one before, none writing more than one sound.
check_plays_resume() { # check_plays_resume WHAT SINCE MIN FIRST_WITHIN
    local what="$1" since="$2" min="$3" within="$4"
    local plays; plays="$(prog_plays "$since")"
    log "$what: plays since then (s after, bytes): $(printf '%s\n' "$plays" | awk -v s="$since" 'NF {printf "%.2f/%d ", $1 - s, $2}')"
    printf '%s\n' "$plays" | python3 -c '
import sys
since, least, within, sound = float(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
plays = [(float(a), int(b)) for a, b in (l.split() for l in sys.stdin if l.strip())]
if len(plays) < least:
    sys.exit("%d plays, expected at least %d" % (len(plays), least))
if plays[0][0] - since > within:
    sys.exit("the first play came %.2f s after, later than %.1f s" % (plays[0][0] - since, within))
for (a, _), (b, _) in zip(plays, plays[1:]):
    if not 3.0 <= b - a <= 5.0:
        sys.exit("plays %.2f s apart: a burst or a missed tick" % (b - a))
for t, n in plays:
    if n > sound * 3 // 2:
        sys.exit("a play wrote %d bytes, more than one sound (%d)" % (n, sound))
' "$since" "$min" "$within" "$(( $(stat -c %s "$TONE") - 44 ))" || fail "$what: the plays did not resume on schedule"
    log "ok: $what: plays on schedule, one at a time"
}

# E2E_CASES="sink" (say) runs one case alone.
wanted() { [[ " ${E2E_CASES:-hang sink} " == *" $1 "* ]]; }

if wanted hang; then
log "--- case: a hung server"
start_program
wait_window
wait_for 10 prog_plays_at_least 2 || fail "the program did not play twice"
lines_before="$(sound_lines)"
pause_sound_server
stopped="$(now)"
for k in 1 2 3 4; do
    sleep_until "$stopped" $(( k * 10 ))
    log "hung for $(( k * 10 )) s; since then the program has played $(prog_play_count "$stopped") times, opened $(prog_calls connect_playback "$stopped") streams and $(prog_calls context_connect "$stopped") connections"
    prog_alive || fail "the program ended while the server hung"
done
resume_sound_server
resumed="$(now)"
start_record hang
sleep_until "$resumed" 4
most="$(most_streams 9.5)"
log "the program's streams on the server 4 to 13.5 s after the resume: at most $most"
[ "$most" = 0 ] || [ "$most" = 1 ] || fail "at most one of the program's streams may stay on the server (saw $most)"
check "another client plays on the server" timeout 10 paplay "$TONE"
stop_record hang
check_plays_resume "after the resume" "$resumed" 3 5.0
bursts="$(burst_count hang)"
log "tone bursts at the monitor after the resume: $bursts"
[ "$bursts" -ge 2 ] || fail "the program's plays did not reach the sink after the resume"
lines=$(( $(sound_lines) - lines_before ))
log "standard error: $(tail -n 5 "$T/prog.err" | tr '\n' '|')"
[ "$lines" -eq 1 ] || fail "expected the outage said once on standard error, saw $lines lines"
stop_program
fi

if wanted sink; then
log "--- case: a suspended sink"
start_program
wait_window
wait_for 10 prog_plays_at_least 1 || fail "the program did not play"
timeout 10 pactl suspend-sink "$SINK" 1 || fail "could not suspend the sink"
state="$(sink_state)"
log "sink suspended: $state"
# PipeWire wakes a suspended sink again for a stream that plays on it: there
# the case checks only that nothing piles up.
[ "$state" = SUSPENDED ] || [ "$SOUND_SERVER" = pipewire ] || fail "the sink did not stay suspended"
most="$(most_streams 16)"
log "the program's streams on the server over four periods of a suspended sink: at most $most; sink $(sink_state)"
[ "$most" = 0 ] || [ "$most" = 1 ] || fail "at most one of the program's streams may wait on a suspended sink (saw $most)"
prog_alive || fail "the program ended while the sink was suspended"
timeout 10 pactl suspend-sink "$SINK" 0 || fail "could not resume the sink"
woken="$(now)"
start_record wake
sleep_until "$woken" 13
stop_record wake
bursts="$(burst_count wake)"
log "tone bursts at the monitor after the sink was resumed: $bursts, at $(burst_onsets wake | head -n 20 | tr '\n' ' ')s"
[ "$bursts" -ge 2 ] || fail "the program's plays did not reach the sink once it was resumed"
check "at most one of the program's streams on the server" test "$(kestrune_on_server sink-inputs)" -le 1
stop_program
fi
log "passed"
