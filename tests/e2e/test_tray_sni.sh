#!/usr/bin/env bash
# The StatusNotifier tray, under openbox with a private session bus: a
# watcher that starts after the program gets the item at once, with the menu
# About Kestrune, a separator, Quit; About and Activate bring the closed
# window back; a watcher started again (several times) gets the item again;
# Quit from the menu exits 0. With an XEmbed tray (trayer) as well, exactly
# one icon shows in every order of starts: the item while a watcher runs,
# else the icon docked in trayer. The program keeps the one bus connection
# it started with.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 180

start_xvfb
start_wm
start_pulse
start_session_bus
make_bundle real
write_prefs_freq 4000

# Seconds from the watcher NAME's start to its registering an item ("" when
# it has not).
registered_after() { # registered_after NAME
    awk '$2 == "watcher" {w = $1} $2 == "registered" && w != "" && r == "" {r = $1} END {if (r != "") printf "%.3f\n", r - w}' \
        "$T/$1.log" 2>/dev/null
}
has_registered() { [ -n "$(registered_after "$1")" ]; }
# Starts the watcher NAME and checks that it gets the item within 2 s; sets
# SN_ITEM.
watcher_gets_item() { # watcher_gets_item NAME
    start_sn_watcher "$1"
    wait_for 10 has_registered "$1" || fail "the watcher $1 got no item"
    local after; after="$(registered_after "$1")"
    check "the watcher $1 got the item ${after}s after it started (within 2 s)" \
        awk -v a="$after" 'BEGIN { exit !(a < 2.0) }'
    sn_item || fail "the watcher $1 lists no item"
}
item_count() { sntool items 2>/dev/null | grep -c . || true; }
# The labels of the item's menu on one line, mnemonic marks left out.
menu_labels() { sntool menu "$SN_ITEM" | tr -d _ | paste -sd '|'; }
# How many connections the process PID holds on the session bus.
bus_connections() { # bus_connections PID
    "$SYS_PYTHON" - "$1" <<'PY'
import sys, dbus
bus = dbus.SessionBus()
daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
n = 0
for name in daemon.ListNames(dbus_interface="org.freedesktop.DBus"):
    if name.startswith(":"):
        try:
            pid = daemon.GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus")
        except dbus.DBusException:
            continue
        n += int(pid) == int(sys.argv[1])
print(n)
PY
}

log "--- case: a watcher that starts after the program; About, restarts, Activate, Quit"
start_program
wait_main_window
nap 1
watcher_gets_item snw1
check "one item" test "$(item_count)" -eq 1
check "the menu holds About Kestrune, a separator, Quit" test "$(menu_labels)" = "About Kestrune|-|Quit"
check "the item's category" test "$(sntool prop "$SN_ITEM" Category)" = ApplicationStatus
check "the item is no menu of its own (a left click activates)" test "$(sntool prop "$SN_ITEM" ItemIsMenu)" = 0
check "the item shows the program's icon" \
    bash -c 'test "$(timeout 10 "$1" "$2" prop "$3" IconPixmap | grep -o "dbus.Int32(128)" | wc -l)" -eq 2' \
    _ "$SYS_PYTHON" "$SNTOOL" "$SN_ITEM"
close_window
sntool click "$SN_ITEM" "About Kestrune" || fail "clicking About failed"
wait_main_window 10
log "ok: About from the item's menu brought the window back"
for n in 2 3 4; do
    stop_sn_watcher "snw$((n - 1))"
    watcher_gets_item "snw$n"
    check "one item" test "$(item_count)" -eq 1
    check "the same menu" test "$(menu_labels)" = "About Kestrune|-|Quit"
done
close_window
sntool activate "$SN_ITEM" || fail "Activate failed"
wait_main_window 10
log "ok: Activate brought the window back"
check "the program still has one bus connection" test "$(bus_connections "$prog_PID")" -eq 1
nap 1
sntool click "$SN_ITEM" Quit || fail "clicking Quit failed"
wait_exit 10
check "Quit from the item's menu exits 0" test "$PROG_STATUS" -eq 0
stop_sn_watcher snw4

log "--- case: trayer and a watcher, both there before the program"
start_tray
start_sn_watcher snw5
start_program
wait_main_window
wait_for 10 sn_item || fail "no item"
nap 2
check "one item" test "$(item_count)" -eq 1
tray_icon && fail "an icon docked in trayer as well as the item"
log "ok: only the item shows"
stop_sn_watcher snw5
wait_for 10 tray_icon || fail "with the watcher gone the icon did not dock in trayer"
log "ok: with the watcher gone the icon docked in trayer"
watcher_gets_item snw6
wait_for 10 eval '! tray_icon' || fail "the icon stayed in trayer next to the item"
nap 2
check "one item" test "$(item_count)" -eq 1
tray_icon && fail "the icon came back to trayer next to the item"
log "ok: with the watcher back only the item shows"
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0" test "$PROG_STATUS" -eq 0
stop_sn_watcher snw6

log "--- case: trayer before the program, the watcher after it"
start_program
wait_main_window
wait_for 15 tray_icon || fail "no icon in trayer"
nap 1
watcher_gets_item snw7
wait_for 10 eval '! tray_icon' || fail "the icon stayed in trayer next to the item"
nap 2
check "one item (none of Qt's own)" test "$(item_count)" -eq 1
stop_sn_watcher snw7
wait_for 10 tray_icon || fail "with the watcher gone the icon did not dock in trayer"
watcher_gets_item snw8
nap 2
check "one item" test "$(item_count)" -eq 1
tray_icon && fail "an icon docked in trayer as well as the item"
check "the program still has one bus connection" test "$(bus_connections "$prog_PID")" -eq 1
sntool click "$SN_ITEM" Quit || fail "clicking Quit failed"
wait_exit 10
check "Quit from the item's menu exits 0" test "$PROG_STATUS" -eq 0
check "the preferences file still holds 4000" test "$(prefs_freq)" = 4000
log "passed"
