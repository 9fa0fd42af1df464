#!/usr/bin/env bash
# With no tray and no session bus: the window closed, Kestrune launched again
# hands over to the running copy (exit 0 within 2 s, touching no file of the
# program's), which shows its window again; the sound server sees one client,
# playing at the stored interval. A socket left by a killed copy does not
# block the next launch. A runtime folder that others may write is not used:
# the private one in /tmp is, and the hand-over goes through it.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

start_xvfb
start_wm
start_pulse
start_events
# The plays as the program makes them: a kept stream shows the server only its first.
use_paspy
make_bundle real
write_prefs_freq 4000

kestrune_clients() { pactl list clients | grep -c 'application.process.binary = "Kestrune"' || true; }
client_pids() { pactl list clients | awk -F'"' '/application.process.id/ {print $2}' | sort -u; }

log "--- case: close the window, launch again"
start_program
FIRST_PID="$prog_PID"
wait_main_window
nap 1
close_window
nap 1
T0="$(now)"
second_status=0
strace -f -qq -e trace=%file -o "$T/second.strace" "$PROG" >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
T1="$(now)"
log "second launch ended with status $second_status after $(python3 -c "print('%.2f' % ($T1 - $T0))") s"
check "the second launch exits 0" test "$second_status" -eq 0
check "the second launch ends within 2 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 2.0 else 1)"
check "the second launch says nothing" test ! -s "$T/second.err"
check "the second launch never touches the preferences file" bash -c "! grep -q Kestrune_prefs '$T/second.strace'"
wait_main_window 10 "$FIRST_PID"
log "ok: the running copy shows its window again"
nap 8.5
check "the sound server sees one Kestrune client" test "$(kestrune_clients)" -eq 1
check "that client is the running copy" test "$(client_pids | grep -c "^$FIRST_PID\$")" -eq 1
gaps="$(plays "$T1" | awk 'NR > 1 {printf "%.2f ", $1 - prev} {prev = $1}')"
log "gaps between the plays since the hand-over (s): $gaps"
check "at least two plays since the hand-over" test "$(play_count "$T1")" -ge 2
check "the plays keep the stored 4-second interval" \
    bash -c "for g in $gaps; do awk -v g=\$g 'BEGIN { exit !(g > 3.5 && g < 4.5) }' || exit 1; done"
check "the preferences file still holds 4000" test "$(prefs_freq)" = 4000

log "--- case: a copy killed leaves its socket, and the next launch runs"
kill -KILL "$FIRST_PID"
wait "$FIRST_PID" 2>/dev/null || true
check "the killed copy left its socket" bash -c "ls '$XDG_RUNTIME_DIR'/example.kestrune.Kestrune.*.socket >/dev/null"
start_program
wait_main_window 15
nap 1
check "the new launch runs" prog_alive
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "the socket is gone with the copy" bash -c "! ls '$XDG_RUNTIME_DIR'/example.kestrune.Kestrune.*.socket 2>/dev/null"

log "--- case: a runtime folder that others may write"
# The private folder in /tmp takes its place: named after the display, so
# that no other copy meets this one there.
FALLBACK="/tmp/kestrune-$(id -u)"
KEY="example.kestrune.Kestrune.x11_${DISPLAY#:}"
OPEN_RUN="$T/open-run"
mkdir "$OPEN_RUN"
chmod 0777 "$OPEN_RUN"
cleanup_fallback() { rm -f "$FALLBACK/$KEY.lock" "$FALLBACK/$KEY.socket"; }
cleanup_fallback
WHY="Kestrune: XDG_RUNTIME_DIR ($OPEN_RUN) has mode 0777, not 0700: using $FALLBACK instead"
start_program_under env XDG_RUNTIME_DIR="$OPEN_RUN"
FIRST_PID="$prog_PID"
wait_main_window 15
check "the copy says why, in one line" wait_for 5 bash -c "[ \"\$(grep -cxF '$WHY' '$T/prog.err')\" = 1 ]"
check "its socket is in $FALLBACK" test -S "$FALLBACK/$KEY.socket"
close_window
second_status=0
env XDG_RUNTIME_DIR="$OPEN_RUN" "$PROG" >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
check "a second launch hands over through $FALLBACK (exit 0)" test "$second_status" -eq 0
# (Qt says in a line of its own that the folder's mode is wrong.)
check "saying only why" test "$(grep '^Kestrune: ' "$T/second.err")" = "$WHY"
wait_main_window 10 "$FIRST_PID"
log "ok: the running copy shows its window again"
check "nothing of the program's is made in the open folder" \
    bash -c "! ls -A '$OPEN_RUN' | grep -q kestrune"
kill -TERM "$FIRST_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "the socket in $FALLBACK is gone with the copy" test ! -e "$FALLBACK/$KEY.socket"
cleanup_fallback
log "passed"
