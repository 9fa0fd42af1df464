#!/usr/bin/env bash
# Started with standard error closed (2>&-), the program still answers: with
# the sound server killed and started again meanwhile, SIGTERM ends it with
# status 0 within 2 s.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

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
log "passed"
