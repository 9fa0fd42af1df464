#!/usr/bin/env bash
# With a private D-Bus session bus: the running copy owns its name on the bus
# and answers Activate there; a second launch that cannot see the first one's
# socket (another runtime folder) hands over through the bus.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

start_xvfb
start_wm
start_pulse
make_bundle real
write_prefs_freq 4000
start_bg bus dbus-daemon --session --nofork --nopidfile --address="unix:path=$T/bus"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$T/bus"
bus_up() { dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.ListNames >/dev/null; }
wait_for 10 bus_up || fail "the session bus did not start"
log "session bus up"

BUS_NAME="example.kestrune.Kestrune.x11_${DISPLAY#:}"
name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$BUS_NAME" | grep -q 'boolean true'
}

log "--- case: the name on the bus, Activate"
start_program
FIRST_PID="$prog_PID"
wait_main_window
wait_for 10 name_owned || fail "$BUS_NAME has no owner"
log "ok: the running copy owns $BUS_NAME"
close_window
dbus-send --session --print-reply --dest="$BUS_NAME" /example/kestrune/Kestrune \
    org.freedesktop.Application.Activate >/dev/null || fail "Activate failed"
wait_main_window 10 "$FIRST_PID"
log "ok: Activate on the bus brought the window back"

log "--- case: a second launch that only the bus can reach"
close_window
mkdir -m 700 "$T/run2"
T0="$(now)"
second_status=0
env XDG_RUNTIME_DIR="$T/run2" "$PROG" >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
T1="$(now)"
check "the second launch exits 0" test "$second_status" -eq 0
check "within 2 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 2.0 else 1)"
check "saying nothing" test ! -s "$T/second.err"
wait_main_window 10 "$FIRST_PID"
log "ok: the running copy shows its window again"
check "the first copy still runs" prog_alive
kill -TERM "$FIRST_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0

name_owned && fail "$BUS_NAME still has an owner"
log "passed"
