#!/usr/bin/env bash
# Started with standard error closed (2>&-), the program still answers: with
# the sound server killed and started again meanwhile, SIGTERM ends it with
# status 0 within 2 s. Started with standard error a pipe whose reader has
# gone (a launcher, a shell pipe that ended), it lives through the lines it
# cannot write: with no sound server at first (a line to say so), then one,
# it plays, and SIGTERM ends it with status 0 and removes its socket.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 150

start_xvfb
start_pulse
make_bundle real
write_prefs_freq 4000

log "--- case: standard error closed, the sound server restarted"
PROG_START="$(now)"
setsid "$PROG" >"$T/prog.out" 2>&- </dev/null &
prog_PID=$!
E2E_PIDS+=("$prog_PID")
log "program started with standard error closed (pid $prog_PID)"
wait_main_window
check "descriptor 2 is /dev/null" test "$(readlink "/proc/$prog_PID/fd/2")" = /dev/null
nap 1
kill_pulse
nap 2
check "the program runs on without its sound server" prog_alive
start_pulse
nap 6
check "the program still runs" prog_alive
check "its window still answers" xdotool getwindowname "$WID"
T0="$(now)"
kill -TERM "$prog_PID"
wait_exit 5
T1="$(now)"
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "within 2 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 2.0 else 1)"

log "--- case: standard error a pipe with no reader, no sound server at first"
kill_pulse
use_paspy
make_bundle tone
write_prefs_freq 4000
# A FIFO opened for reading and writing, then for writing alone; once the
# first is closed, descriptor 8 is a pipe's end that nobody reads.
mkfifo "$T/err.fifo"
exec 7<>"$T/err.fifo"
exec 8>"$T/err.fifo"
exec 7<&-
paspy_prefix
PROG_START="$(now)"
setsid "${PASPY_PREFIX[@]}" "$PROG" >"$T/prog.out" 2>&8 </dev/null &
prog_PID=$!
E2E_PIDS+=("$prog_PID")
exec 8>&-
log "program started with standard error a pipe with no reader (pid $prog_PID)"
wait_main_window
check "descriptor 2 is the FIFO" test -p "/proc/$prog_PID/fd/2"
# The first play finds no server and says so (into the broken pipe); so
# does each retry.
nap 3
check "the program runs on after saying there is no sound server" prog_alive
start_pulse
check "it plays once the server is there" wait_for 20 prog_plays_at_least 1 "$SOUND_UP_AT"
check "the program still runs" prog_alive
socket="$(ls "$XDG_RUNTIME_DIR"/*.socket 2>/dev/null | head -n1)"
kill -TERM "$prog_PID"
wait_exit 5
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
check "the running copy's socket is gone" test -n "$socket" -a ! -e "$socket"
log "passed"
