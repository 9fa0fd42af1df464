#!/usr/bin/env bash
# The program under what its surroundings give it:
#   too_tight     limits on open files (ulimit -n 8 to 20, and just under the
#                 floor) and on memory (ulimit -v, ulimit -d) too tight for a
#                 run: it says why in one line on standard error and ends at
#                 once with status 3; never a core dump, never a hang;
#   raised        a soft limit of 14 open files under a hard one of 4096: the
#                 soft limit is raised, and the program runs and plays;
#   floor         exactly the fewest open files it asks for (64, soft and
#                 hard): a whole run fits, it plays and saves its choice;
#   stuck_start   a session bus that takes the connection and never answers,
#                 so that the start-up waits on it: SIGTERM still ends the
#                 program, with status 0, within a few seconds.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 300

start_xvfb
make_bundle real

# Runs the program under `ulimit LIMIT`; passes when it ends within 10 s with
# status 3 and says one line that begins with SAID.
BAD=()
too_tight() { # too_tight "LIMIT" SAID
    local limit="$1" said="$2" end status lines
    rm -f "$XDG_RUNTIME_DIR"/*.socket
    start_program_under sh -c "ulimit $limit && exec \"\$@\"" sh
    end=$(( $(date +%s) + 10 ))
    while prog_alive && [ "$(date +%s)" -lt "$end" ]; do sleep 0.1; done
    if prog_alive; then
        stop_pid "$prog_PID" KILL
        BAD+=("ulimit $limit: still running after 10 s")
        log "ulimit $limit: still running after 10 s (stderr: $(head -c 300 "$T/prog.err" | tr '\n' '|'))"
        return
    fi
    status=0
    wait "$prog_PID" || status=$?
    lines="$(wc -l < "$T/prog.err")"
    log "ulimit $limit: status $status, standard error: $(head -c 300 "$T/prog.err" | tr '\n' '|')"
    if ! no_crash "$status"; then
        BAD+=("ulimit $limit: died of signal $(( status - 128 ))")
    elif [ "$status" -ne 3 ]; then
        BAD+=("ulimit $limit: status $status, not 3")
    elif [ "$lines" -ne 1 ] || ! head -n1 "$T/prog.err" | grep -q "^Kestrune: $said"; then
        BAD+=("ulimit $limit: said $lines line(s), not one that begins with \"Kestrune: $said\"")
    fi
}

log "--- case: too_tight"
for n in 8 9 10 11 12 13 14 15 16 17 18 19 20 63; do
    too_tight "-n $n" "too few file descriptors: the limit is $n, at least 64 are needed"
done
# An address space that has no room for a thread's stack, one that has no
# room for the sound server's shared memory, a data limit that takes the
# threads' stacks but not a heap.
too_tight "-v 100000" "not enough memory to start"
too_tight "-v 600000" "not enough memory to start"
too_tight "-d 36000" "not enough memory to start"
for b in "${BAD[@]}"; do log "FAIL: $b"; done
[ "${#BAD[@]}" -eq 0 ] || fail "${#BAD[@]} tight limit(s) did not end in one line and status 3"
log "ok: every tight limit ends at once in one line and status 3"

start_sound_server pulse
use_paspy
make_bundle tone

log "--- case: raised"
write_prefs_freq 4000
start_program_under prlimit --nofile=14:4096
wait_main_window
check "the soft limit was raised to the hard one" \
    test "$(awk '/^Max open files/ {print $4}' "/proc/$prog_PID/limits")" = 4096
check "it plays" wait_for 15 prog_plays_at_least 2 "$PROG_START"
check "it runs" prog_alive
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0

log "--- case: floor"
write_prefs_freq 4000
start_program_under prlimit --nofile=64
wait_main_window
check "it plays" wait_for 15 prog_plays_at_least 1 "$PROG_START"
choose_interval 1
check "the choice of 9 s reaches the file" wait_for 10 test "$(prefs_freq)" = 9000
check "it runs" prog_alive
check "it said nothing" test ! -s "$T/prog.err"
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0

log "--- case: stuck_start"
start_bg silentbus python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(8)
held = []
while True:
    held.append(s.accept()[0])
' "$T/silent-bus"
wait_for 10 test -S "$T/silent-bus" || fail "the silent bus did not start"
rm -f "$XDG_RUNTIME_DIR"/*.socket
bus="$DBUS_SESSION_BUS_ADDRESS"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$T/silent-bus"
start_program
export DBUS_SESSION_BUS_ADDRESS="$bus"
nap 1.5
# Were the start-up not to wait on the bus, the case would show nothing.
if find_main_window; then
    log "SKIP: stuck_start: the start-up did not wait on the silent bus"
    stop_program
    log "passed"
    exit 0
fi
T0="$(now)"
kill -TERM "$prog_PID"
wait_exit 15
T1="$(now)"
log "ended $(python3 -c "print(round($T1 - $T0, 2))") s after SIGTERM"
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "within 10 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 10.0 else 1)"
log "passed"
