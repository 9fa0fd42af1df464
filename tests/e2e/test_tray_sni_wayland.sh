#!/usr/bin/env bash
# The StatusNotifier tray on Wayland (a headless weston, a private session
# bus, a StatusNotifier watcher): the item is registered; after the window is
# closed, Activate on the item makes the main window again (one new
# xdg_toplevel, titled "Kestrune 1.0") and opens no menu, neither as a
# window nor as a popup; ContextMenu (from hosts that draw no menu) opens
# nothing either; About and Quit from the item's menu work.
# The program's side of the protocol comes from its WAYLAND_DEBUG log; the
# window is closed through a proxy (tests/e2e/wlproxy.py) that sends the
# compositor's close event.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

start_pulse
start_session_bus
start_weston
WESTON_SOCKET="$WAYLAND_DISPLAY"
start_bg wlproxy "$SYS_PYTHON" -u "$E2E_DIR/wlproxy.py" "$WESTON_SOCKET" "$WESTON_SOCKET-proxy"
wait_for 10 grep -q listening "$T/wlproxy.out" || fail "the Wayland proxy did not start"
export WAYLAND_DISPLAY="$WESTON_SOCKET-proxy"
export QT_QPA_PLATFORM=wayland
unset DISPLAY
make_bundle real
write_prefs_freq 4000
start_sn_watcher

WLOG="$T/prog.err"
# Counts of the program's requests in its Wayland log after line FROM.
requests_after() { # requests_after FROM PATTERN
    tail -n +"$(( $1 + 1 ))" "$WLOG" | grep -cE -- "-> $2" || true
}
toplevels_after() { requests_after "$1" 'xdg_surface@[0-9]+\.get_toplevel\('; }
popups_after() { requests_after "$1" 'xdg_surface@[0-9]+\.get_popup\('; }
titled_after() { requests_after "$1" 'xdg_toplevel@[0-9]+\.set_title\("Kestrune 1\.0"\)'; }
lines() { wc -l < "$WLOG"; }
closed_after() { [ "$(requests_after "$1" 'xdg_toplevel@[0-9]+\.destroy\(')" -ge 1 ]; }
main_window_after() { [ "$(toplevels_after "$1")" -ge 1 ] && [ "$(titled_after "$1")" -ge 1 ]; }
# Closes the program's windows as the compositor's close button does, and
# waits until the program has destroyed its toplevel.
close_windows() {
    local from; from="$(lines)"
    kill -USR1 "$wlproxy_PID"
    wait_for 10 closed_after "$from" || fail "the window did not close"
    log "window closed"
}

start_program_under env WAYLAND_DEBUG=1
wait_for 20 main_window_after 0 || fail "no main window (xdg_toplevel titled Kestrune 1.0)"
log "main window up"
wait_for 10 sn_item || fail "no item registered"
log "ok: the item is registered ($SN_ITEM)"
check "its menu holds About Kestrune, a separator, Quit" \
    test "$(sntool menu "$SN_ITEM" | tr -d _ | paste -sd '|')" = "About Kestrune|-|Quit"

log "--- case: Activate after the window closed"
close_windows
FROM="$(lines)"
sntool activate "$SN_ITEM" || fail "Activate failed"
wait_for 10 main_window_after "$FROM" || fail "Activate made no main window"
nap 2
check "Activate made one toplevel" test "$(toplevels_after "$FROM")" -eq 1
check "titled Kestrune 1.0" test "$(titled_after "$FROM")" -eq 1
check "and no popup (no menu)" test "$(popups_after "$FROM")" -eq 0

log "--- case: ContextMenu opens nothing on Wayland"
FROM="$(lines)"
svc="${SN_ITEM% *}"
dbus-send --session --print-reply --dest="$svc" /StatusNotifierItem org.kde.StatusNotifierItem.ContextMenu \
    int32:100 int32:100 >/dev/null || fail "ContextMenu failed"
nap 2
check "no toplevel" test "$(toplevels_after "$FROM")" -eq 0
check "no popup" test "$(popups_after "$FROM")" -eq 0

log "--- case: About and Quit from the item's menu"
close_windows
FROM="$(lines)"
sntool click "$SN_ITEM" "About Kestrune" || fail "clicking About failed"
wait_for 10 main_window_after "$FROM" || fail "About made no main window"
nap 1
check "About made one toplevel and no popup" \
    test "$(toplevels_after "$FROM") $(popups_after "$FROM")" = "1 0"
sntool click "$SN_ITEM" Quit || fail "clicking Quit failed"
wait_exit 10
check "Quit from the item's menu exits 0" test "$PROG_STATUS" -eq 0
log "passed"
