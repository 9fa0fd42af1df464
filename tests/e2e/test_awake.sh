#!/usr/bin/env bash
# The output stays awake between plays, on each sound server (both at once),
# at the default 29 s and at 9 s, against the stock 5 s idle suspend:
#  - with nothing recording the sink (a recorder would keep it awake), the
#    default output is suspended less than 1% of the time after the first play;
#  - then, with a recorder on the sink's monitor, every play is heard: tone
#    bursts equal plays.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_server --parallel "$@"
e2e_init "$1" 480

start_xvfb
start_sound_server
use_paspy
make_bundle tone

secs() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) - float(sys.argv[2])))" "$1" "$2"; }
plus() { python3 -c "import sys; print('%.6f' % (float(sys.argv[1]) + float(sys.argv[2])))" "$1" "$2"; }

# awake_case PERIOD_S QUIET_PERIODS HEARD_PLAYS
awake_case() {
    local p="$1" quiet="$2" heard="$3" name="every$1"
    log "--- ${p} s: ${quiet} periods with no recorder, then ${heard} plays recorded"
    : > "$T/paspy.log"
    write_prefs_freq "$(( p * 1000 ))"
    start_sink_poll "$name"
    start_program
    wait_window
    wait_for 10 prog_plays_at_least 1 || fail "${p} s: no play when the window opened"
    local first; first="$(prog_plays | head -n1 | cut -d' ' -f1)"
    # The sink takes a moment to come out of its suspend at the first play.
    local from; from="$(plus "$first" 1)"
    local until; until="$(plus "$first" $(( quiet * p + 1 )))"
    local k
    for (( k = 1; k <= quiet; k++ )); do
        sleep_until "$first" $(( k * p + 1 ))
        log "${p} s: period $k, sink $(sink_state), suspended so far: $(suspended_fraction "$name" "$from" | cut -d' ' -f1)"
    done
    local frac n; read -r frac n <<< "$(suspended_fraction "$name" "$from" "$until")"
    local nplays; nplays="$(prog_play_count)"
    log "${p} s: $nplays plays; suspended in $frac of $n polls from 1 s after the first play"
    [ "$nplays" -eq $(( quiet + 1 )) ] || fail "${p} s: expected $(( quiet + 1 )) plays in $(( quiet * p )) s, saw $nplays"
    [ "$n" -ge $(( quiet * p )) ] || fail "${p} s: only $n polls of the sink"
    python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 0.01 else 1)" "$frac" \
        || fail "${p} s: the output was suspended $frac of the time (at most 0.01)"
    stop_sink_poll "$name"

    start_record "$name"
    local rec_from; rec_from="$(now)"
    local last; last="$(prog_plays | tail -n1 | cut -d' ' -f1)"
    sleep_until "$last" $(( heard * p + 2 ))
    stop_record "$name"
    local played; played="$(prog_play_count "$rec_from")"
    local bursts; bursts="$(burst_count "$name")"
    log "${p} s: recorded $(secs "$(now)" "$rec_from") s: $played plays at $(prog_plays "$rec_from" | awk -v s="$rec_from" '{printf "%.2f ", $1 - s}')s, $bursts tone bursts at the monitor at $(burst_onsets "$name" | tr '\n' ' ')s"
    [ "$played" -eq "$heard" ] || fail "${p} s: expected $heard plays while recording, saw $played"
    [ "$bursts" -eq "$played" ] || fail "${p} s: $played plays but $bursts tone bursts at the sink's monitor"
    stop_program
}

# E2E_AWAKE="9 1 3" (say) runs one case alone: PERIOD QUIET_PERIODS HEARD_PLAYS.
if [ -n "${E2E_AWAKE:-}" ]; then
    # shellcheck disable=SC2086
    awake_case $E2E_AWAKE
else
    awake_case 29 3 2
    awake_case 9 5 3
fi
log "passed"
