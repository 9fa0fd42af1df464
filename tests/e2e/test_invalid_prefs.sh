#!/usr/bin/env bash
# Stored values that name no interval, and unreadable files: the program runs
# and plays every 29 seconds (no second play within 10 s, and the popup shows
# what it shows for a stored 29000); the value is replaced by 29000, except in
# a malformed file, which is left byte for byte as it was. A 0-byte file counts
# as missing and is written anew with 29000. A fraction is dropped, not
# rounded: 4000.9 selects the 4-second row.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 400

start_xvfb
start_pulse
start_events
make_bundle real

# run_case NAME EXPECT FILE-CONTENT
#   EXPECT: 29000 or 4000 (the interval, and the value written back), or
#   "same" (29 s interval, file left unchanged).
run_case() {
    local name="$1" expect="$2" content="$3"
    log "--- case $name"
    clear_prefs
    write_prefs_raw "$content"
    cp "$PREFS_FILE" "$T/prefs-before"
    local since; since="$(now)"
    start_program
    wait_window
    wait_for 10 title_is "Kestrune 1.0" || fail "$name: title never became \"Kestrune 1.0\""
    wait_for 10 plays_at_least 1 "$since" || fail "$name: no play when the window opened"
    local first; first="$(plays "$since" | head -n1)"
    nap 1
    screenshot "$T/shot-$name.png"
    sleep_until "$first" 10.5
    local n; n="$(play_count "$since")"
    prog_alive || fail "$name: the program ended"
    case "$expect" in
        4000) [ "$n" -eq 3 ] || fail "$name: expected plays at 0, 4 and 8 s, saw $n" ;;
        *)    [ "$n" -eq 1 ] || fail "$name: expected one play in 10 s (29 s interval), saw $n" ;;
    esac
    if [ "$expect" = same ]; then
        cmp -s "$T/prefs-before" "$PREFS_FILE" || fail "$name: the unreadable file was changed"
    else
        [ "$(prefs_freq)" = "$expect" ] || fail "$name: freq is \"$(prefs_freq)\", expected $expect"
    fi
    if [ -e "$T/shot-ref.png" ]; then
        local d; d="$(image_diff "$T/shot-ref.png" "$T/shot-$name.png")"
        log "$name: $d pixels differ from the window of a stored 29000"
        if [ "$expect" = 4000 ]; then
            [ "$d" -gt 50 ] || fail "$name: the window looks as it does at 29 s ($d pixels differ)"
        else
            [ "$d" -le 50 ] || fail "$name: the window differs from the 29 s window in $d pixels"
        fi
    fi
    stop_program
    log "ok: $name"
}

xml() { printf '<?xml version="1.0" encoding="UTF-8"?>\n<Kestrune><freq>%s</freq></Kestrune>\n' "$1"; }

run_case ref          29000 "$(xml 29000)"
run_case text         29000 "$(xml abc)"
run_case negative     29000 "$(xml -4000)"
run_case fraction     29000 "$(xml 3999.9)"
run_case past_int64   29000 "$(xml 9223372036854775808)"
run_case huge         29000 "$(xml 1e300)"
run_case truncated    4000  "$(xml 4000.9)"
run_case unclosed     same  '<?xml version="1.0" encoding="UTF-8"?>
<Kestrune><freq>4000</freq>
'
run_case empty_file   29000 ''
run_case not_xml      same  'freq=4000'
log "passed"
