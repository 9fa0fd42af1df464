#!/usr/bin/env bash
# With a private D-Bus session bus: the running copy owns its name on the bus
# and answers Activate there; a second launch that cannot see the first one's
# socket (another runtime folder) hands over through the bus, passing its
# startup id and activation token as Activate's platform data, and the copy
# ends that launch's startup sequence. An owner of the name that answers with
# an error makes a second launch exit 1 with one line.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 90

/usr/bin/python3 -c 'import Xlib, dbus, gi' 2>/dev/null || fail "python3-xlib, python3-dbus or python3-gi is not installed (scripts/install-deps)"

start_xvfb
start_wm
start_pulse
start_startup_watch
make_bundle real
write_prefs_freq 4000
start_session_bus

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
start_bg monitor dbus-monitor --session "type='method_call',interface='org.freedesktop.Application'"
wait_for 10 grep -q NameAcquired "$T/monitor.out" || fail "dbus-monitor did not start"
ID="kestrune-bus-$$_TIME$(/usr/bin/python3 "$WATCH" time)"
TOKEN="kestrune-token-$$"
T0="$(now)"
second_status=0
env XDG_RUNTIME_DIR="$T/run2" DESKTOP_STARTUP_ID="$ID" XDG_ACTIVATION_TOKEN="$TOKEN" "$PROG" \
    >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
T1="$(now)"
check "the second launch exits 0" test "$second_status" -eq 0
check "within 2 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 2.0 else 1)"
check "saying nothing" test ! -s "$T/second.err"
wait_main_window 10 "$FIRST_PID"
log "ok: the running copy shows its window again"
stop_pid "$monitor_PID"
# dbus-monitor shows a{sv} entries as: dict entry( string "KEY" variant string "VALUE" )
check "Activate carries the startup id" \
    bash -c "grep -qF 'string \"desktop-startup-id\" variant string \"$ID\"' <<< \"\$(tr -s ' \n' ' ' < '$T/monitor.out')\""
check "Activate carries the activation token" \
    bash -c "grep -qF 'string \"activation-token\" variant string \"$TOKEN\"' <<< \"\$(tr -s ' \n' ' ' < '$T/monitor.out')\""
check "the running copy ends the launch's startup sequence" \
    wait_for 5 grep -qF "remove: ID=\"$ID\"" "$T/startup.out"
check "the window shown carries the launch's id" \
    bash -c "xprop -id '$WID' _NET_STARTUP_ID | grep -qF '\"$ID\"'"
check "the first copy still runs" prog_alive
kill -TERM "$FIRST_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0

name_owned && fail "$BUS_NAME still has an owner"

log "--- case: an owner of the name that answers with an error"
cat > "$T/fakebus.py" <<'PY'
import sys
import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

class Fake(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Application", in_signature="a{sv}", out_signature="")
    def Activate(self, platform_data):
        raise dbus.exceptions.DBusException("nothing here", name="org.example.Error.Failed")

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName(sys.argv[1], bus)
Fake(bus, "/example/kestrune/Kestrune")
print("ready", flush=True)
GLib.MainLoop().run()
PY
start_bg fakebus /usr/bin/python3 -u "$T/fakebus.py" "$BUS_NAME"
wait_for 10 name_owned || fail "the stand-in did not take $BUS_NAME"
T0="$(now)"
second_status=0
"$PROG" >"$T/second.out" 2>"$T/second.err" </dev/null || second_status=$?
T1="$(now)"
check "the launch exits 1" test "$second_status" -eq 1
check "within 3 s" python3 -c "import sys; sys.exit(0 if $T1 - $T0 < 3.0 else 1)"
check "saying so in one line" test "$(wc -l < "$T/second.err")" -eq 1
check "that the copy answered wrongly" grep -q '^Kestrune: another copy is running but answered wrongly' "$T/second.err"
stop_pid "$fakebus_PID"
log "passed"
