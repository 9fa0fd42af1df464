#!/usr/bin/env bash
# The output stays awake while the user changes the interval in the popup, on
# each sound server (both at once), against the stock 5 s idle suspend:
#  late   at 59 s, 29 s is chosen 50 s after a play: the next play comes 29 s
#         after the choice, and the output is never suspended in between;
#  churn  at 29 s, the popup is changed every 3 s for a minute and a half,
#         cycling through its rows: the program goes on playing, never longer
#         than two of the longest intervals between two plays, and the output
#         is never suspended; then, with a recorder on the sink's monitor and
#         the changes going on, every play is heard.
# The sink's state is polled with nothing recording it (a recorder would keep
# it awake); the plays are the program's own, read through the paspy shim.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server --parallel "$@"
e2e_init "$1" 330

start_xvfb
start_sound_server
use_paspy
make_bundle tone

# The longest time a changed timer may leave between two plays: two of the
# longest interval, and a little for a loaded machine.
MAX_GAP=120

secs() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) - float(sys.argv[2])))" "$1" "$2"; }
plus() { python3 -c "import sys; print('%.6f' % (float(sys.argv[1]) + float(sys.argv[2])))" "$1" "$2"; }
within() { python3 -c "import sys; v, lo, hi = map(float, sys.argv[1:]); sys.exit(0 if lo <= v <= hi else 1)" "$@"; }
freq_is() { [ "$(prefs_freq)" = "$1" ]; }

# The plays since SINCE as offsets from it, one line.
offsets() { prog_plays "$1" | awk -v s="$1" '{printf "%.1f ", $1 - s}'; }
# "WORST_GAP" between the plays from SINCE to UNTIL, counting UNTIL itself as
# the end of the last gap.
worst_gap() { # worst_gap SINCE UNTIL
    prog_plays "$1" | cut -d' ' -f1 | python3 -c '
import sys
until = float(sys.argv[1])
ts = [float(l) for l in sys.stdin if l.strip() and float(l) <= until] + [until]
print("%.2f" % max(b - a for a, b in zip(ts, ts[1:])) if len(ts) > 1 else "inf")' "$2"
}

# Fails unless no poll of NAME from SINCE to UNTIL found the sink suspended,
# and the sink was polled all that while.
never_suspended() { # never_suspended WHAT NAME SINCE UNTIL
    local frac n; read -r frac n <<< "$(suspended_fraction "$2" "$3" "$4")"
    local span; span="$(secs "$4" "$3")"
    log "$1: suspended in $frac of $n polls over $span s"
    python3 -c "import sys; sys.exit(0 if int(sys.argv[1]) >= float(sys.argv[2]) else 1)" "$n" "$span" \
        || fail "$1: only $n polls of the sink in $span s"
    python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) == 0 else 1)" "$frac" \
        || fail "$1: the output was suspended ($frac of the polls: $(awk -v a="$3" -v b="$4" '$1 >= a && $1 <= b && $2 == "SUSPENDED" {printf "%.1f ", $1 - a}' "$T/sinkpoll_$2.out")s)"
}

# Chooses the rows given, one every 3 s from T0 + 3 s on.
change_every_3s() { # change_every_3s T0 ROW...
    local t0="$1" k=0 row; shift
    for row in "$@"; do
        k=$(( k + 1 ))
        sleep_until "$t0" $(( 3 * k ))
        choose_interval "$row"
    done
}

WORST=0
note_gap() { WORST="$(python3 -c "import sys; print(max(float(sys.argv[1]), float(sys.argv[2])))" "$WORST" "$1")"; }

case_late() {
    log "--- late: 59 s, then 29 s chosen 50 s after a play"
    : > "$T/paspy.log"
    write_prefs_freq 59000
    start_sink_poll late
    start_program
    wait_window
    wait_for 10 prog_plays_at_least 1 || fail "late: no play when the window opened"
    local first; first="$(prog_plays | head -n1 | cut -d' ' -f1)"
    sleep_until "$first" 50
    choose_interval 5
    local chose; chose="$(now)"
    check "late: the choice of 29 s reaches the file" wait_for 10 freq_is 29000
    wait_for 45 prog_plays_at_least 1 "$(plus "$first" 0.5)" || fail "late: no play within 45 s of the choice"
    local next; next="$(prog_plays "$(plus "$first" 0.5)" | head -n1 | cut -d' ' -f1)"
    stop_sink_poll late
    local gap; gap="$(secs "$next" "$first")"
    note_gap "$gap"
    log "late: plays at $(offsets "$first")s after the first; the next one $(secs "$next" "$chose") s after the choice"
    # The sink comes out of its suspend a moment after the first play.
    never_suspended late late "$(plus "$first" 1)" "$next"
    within "$(secs "$next" "$chose")" 27.5 31.5 || fail "late: the next play did not come 29 s after the choice"
    within "$gap" 0 "$MAX_GAP" || fail "late: $gap s between two plays"
    stop_program
}

case_churn() {
    log "--- churn: 29 s, then a change every 3 s"
    : > "$T/paspy.log"
    write_prefs_freq 29000
    start_sink_poll churn
    start_program
    wait_window
    wait_for 10 prog_plays_at_least 1 || fail "churn: no play when the window opened"
    local first; first="$(prog_plays | head -n1 | cut -d' ' -f1)"
    local from; from="$(plus "$first" 1)"
    # 30 changes in 90 s: the rows in turn, from 9 s on, over and over.
    local rows=() i
    for (( i = 0; i < 30; i++ )); do rows+=( $(( (i + 1) % 7 )) ); done
    change_every_3s "$first" "${rows[@]}"
    sleep_until "$first" 94
    local until; until="$(now)"
    stop_sink_poll churn
    local n; n="$(prog_play_count "$from")"
    local gap; gap="$(worst_gap "$first" "$until")"
    note_gap "$gap"
    log "churn: $n plays in 93 s, at $(offsets "$first")s; at worst $gap s without one"
    never_suspended churn churn "$from" "$until"
    [ "$n" -ge 2 ] || fail "churn: $n plays in 93 s of changes"
    within "$gap" 0 "$MAX_GAP" || fail "churn: $gap s without a play"

    # Heard: the changes go on with a recorder on the monitor, then 4 s holds.
    start_record churn
    local rec_from; rec_from="$(now)"
    change_every_3s "$rec_from" 0 1 2 3 4 5 6 0
    local chose; chose="$(now)"
    wait_for 10 prog_plays_at_least 2 "$chose" || fail "churn: no plays every 4 s after the last choice"
    local last; last="$(prog_plays | tail -n1 | cut -d' ' -f1)"
    sleep_until "$last" 1.5
    stop_record churn
    local played bursts; played="$(prog_play_count "$rec_from")"; bursts="$(burst_count churn)"
    note_gap "$(worst_gap "$first" "$last")"
    log "churn: recorded $(secs "$(now)" "$rec_from") s: $played plays at $(offsets "$rec_from")s, $bursts tone bursts at $(burst_onsets churn | tr '\n' ' ')s"
    [ "$bursts" -eq "$played" ] || fail "churn: $played plays but $bursts tone bursts at the sink's monitor"
    stop_program
}

# E2E_CHANGES=late (or churn) runs one case alone.
case "${E2E_CHANGES:-all}" in
    late) case_late ;;
    churn) case_churn ;;
    all) case_late; case_churn ;;
    *) fail "unknown case $E2E_CHANGES" ;;
esac
log "worst play-to-play gap measured: $WORST s"
log "passed"
