#!/usr/bin/env bash
# `cmake --install` into a fresh prefix: the bundle, the command on PATH, the
# desktop entry, the metainfo and the icons land where the desktop looks for
# them and validate; the desktop entry's command starts the installed program,
# which finds its own resources (its window opens and its sound plays) and
# keeps its preferences in the user's folder.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

ID=example.kestrune.Kestrune
P="$T/prefix with space"
log "--- case: install into $P"
cmake --install "$BUILD_DIR" --prefix "$P" >"$T/install.out" 2>&1 || { cat "$T/install.out" >&2; fail "cmake --install failed"; }
# Every file (links too) under the prefix, one a line, sorted.
expected="$(cat "$E2E_DIR/../../data/installed-files.txt")"
got="$(cd "$P" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)"
[ "$got" = "$expected" ] || fail "installed files differ: $(diff <(echo "$expected") <(echo "$got") | tr '\n' ' ')"
log "ok: the installed files are exactly the expected ones"
check "bin/kestrune is a relative link to the bundle's program" \
    test "$(readlink "$P/bin/kestrune")" = ../lib/kestrune/Kestrune.app/Contents/MacOS/Kestrune
check "the 128 icon is 128 pixels" test "$(identify -format %wx%h "$P/share/icons/hicolor/128x128/apps/$ID.png")" = 128x128
check "the 256 icon is 256 pixels" test "$(identify -format %wx%h "$P/share/icons/hicolor/256x256/apps/$ID.png")" = 256x256

log "--- case: validation"
check "desktop-file-validate passes" desktop-file-validate "$P/share/applications/$ID.desktop"
check "appstreamcli validate passes" appstreamcli validate --no-net "$P/share/metainfo/$ID.metainfo.xml"

log "--- case: start from the desktop entry"
start_xvfb
start_pulse
start_events
clear_prefs
# The entry's command, as a desktop runs it: by name, on PATH.
cmd="$(sed -n 's/^Exec=//p' "$P/share/applications/$ID.desktop")"
check "the entry runs kestrune" test "$cmd" = kestrune
PROG="$(PATH="$P/bin:$PATH" command -v "$cmd")"
start_program
wait_window
check "window title is \"Kestrune 1.0\"" wait_for 10 title_is "Kestrune 1.0"
# Started by the entry's command, the window's WM_CLASS class is the entry's
# StartupWMClass, by which a dock ties the window to the entry.
wmclass="$(sed -n 's/^StartupWMClass=//p' "$P/share/applications/$ID.desktop")"
wm_class="$(xprop -id "$WID" WM_CLASS)"
log "$wm_class"
check "the class of WM_CLASS is the entry's StartupWMClass ($wmclass)" \
    grep -Eq "^WM_CLASS\(STRING\) = \"[^\"]*\", \"$wmclass\"$" <<<"$wm_class"
check "the installed program plays its sound" wait_for 15 plays_at_least 1
check "and writes its first preferences, freq 29000" test "$(prefs_freq)" = 29000
stop_program
log "passed"
