#!/usr/bin/env bash
# How the desktop knows the program's window. On X11: its icon
# (_NET_WM_ICON) is the program's own picture at 128 and at 256 pixels, and
# the class of its WM_CLASS is the desktop entry's StartupWMClass. On Wayland
# (a headless weston, no X server): its app id is the desktop entry's id and
# its title "Kestrune 1.0"; SIGTERM ends it with status 0.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

ENTRY="$(ls "$E2E_DIR"/../../data/*.desktop)"
ID="$(basename "$ENTRY" .desktop)"
WMCLASS="$(sed -n 's/^StartupWMClass=//p' "$ENTRY")"
[ -n "$WMCLASS" ] || fail "the desktop entry has no StartupWMClass"

start_pulse
make_bundle real
write_prefs_freq 4000
RES="$BUNDLE_SRC/Contents/Resources"

log "--- case: X11"
start_xvfb
start_program
wait_main_window
check "the title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"
wm_class="$(xprop -id "$WID" WM_CLASS)"
log "$wm_class"
check "the class of WM_CLASS is the entry's StartupWMClass ($WMCLASS)" \
    grep -Eq "^WM_CLASS\(STRING\) = \"[^\"]*\", \"$WMCLASS\"$" <<<"$wm_class"

# The icon's pictures and the bundle's, each over the same grey: the number
# of pixels that differ. icon_diff ICON_FILE SIDE PNG [RESIZE]
icon_diff() {
    convert -size "$2x$2" -depth 8 "rgba:$1" -background '#808080' -flatten "$T/icon.png"
    convert "$3" -filter point -resize "$2x$2" -background '#808080' -flatten "$T/expected.png"
    { compare -metric AE -fuzz 3% "$T/icon.png" "$T/expected.png" null: 2>&1 || true; } | awk '{print int($1)}'
}
mkdir -p "$T/icons"
python3 "$XTOOL" icons "$WID" "$T/icons" >"$T/icons.txt"
log "_NET_WM_ICON holds: $(awk '{printf "%sx%s ", $1, $2}' "$T/icons.txt")"
for side in 128 256; do
    check "_NET_WM_ICON has a $side-pixel picture" test -f "$T/icons/icon-${side}x$side.rgba"
done
d128="$(icon_diff "$T/icons/icon-128x128.rgba" 128 "$RES/audio_128x128.png")"
d256="$(icon_diff "$T/icons/icon-256x256.rgba" 256 "$RES/audio_128x128@2x.png")"
up="$(icon_diff "$T/icons/icon-256x256.rgba" 256 "$RES/audio_128x128.png")"
log "pixels off: 128 against audio_128x128.png $d128, 256 against the @2x one $d256, against the 128 one doubled $up"
check "the 128-pixel icon is audio_128x128.png" test "$d128" -le 40
check "the 256-pixel icon is audio_128x128@2x.png" test "$d256" -le 160
check "not the 128-pixel picture scaled up" test "$up" -ge $((4 * d256 + 400))
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0 on X11" test "$PROG_STATUS" -eq 0

log "--- case: Wayland"
start_weston
unset DISPLAY
export QT_QPA_PLATFORM=wayland
# The client library logs every request the program makes to the compositor.
WAYLAND_DEBUG=1 start_program
toplevel_sent() { grep -Eq "xdg_toplevel@[0-9]+\.$1\(\"$2\"\)" "$T/prog.err"; }
check "the app id is the desktop entry's id ($ID)" wait_for 20 toplevel_sent set_app_id "${ID//./\\.}"
check "the title becomes \"Kestrune 1.0\"" wait_for 20 toplevel_sent set_title "Kestrune 1\.0"
last_app_id="$(grep -Eo 'xdg_toplevel@[0-9]+\.set_app_id\("[^"]*"\)' "$T/prog.err" | tail -n1)"
last_title="$(grep -Eo 'xdg_toplevel@[0-9]+\.set_title\("[^"]*"\)' "$T/prog.err" | tail -n1)"
log "last requests: $last_app_id, $last_title"
check "no other app id after it" grep -q "set_app_id(\"$ID\")" <<<"$last_app_id"
check "the title stays \"Kestrune 1.0\"" grep -q 'set_title("Kestrune 1.0")' <<<"$last_title"
nap 1
check "the program still runs" prog_alive
kill -TERM "$prog_PID"
wait_exit 10
check "SIGTERM exits 0 on Wayland" test "$PROG_STATUS" -eq 0
log "passed"
