#!/usr/bin/env bash
# The window's picture at one and at two device pixels per point: at 1 it is
# the 128-pixel picture, at 2 the 256-pixel one (not the 128 one scaled up),
# each pixel for pixel over the window's background.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 120

start_xvfb
start_pulse
make_bundle real
write_prefs_freq 4000
RES="$BUNDLE_SRC/Contents/Resources"

# The canvas sits at (176, 14) in points below the menu bar and is 128
# points square. picture_diff SHOT SCALE SOURCE: the canvas's part of SHOT
# against SOURCE (scaled pixel by pixel) drawn over the window's background;
# prints the number of differing pixels. MENU is the menu bar's height in
# points, found at scale 1 as the offset that matches best.
MENU=0
picture_diff() {
    local shot="$1" scale="$2" source="$3" side=$((128 * $2))
    local bg; bg="$(convert "$shot" -format '%[pixel:p{2,2}]' info:)"
    convert "$shot" -crop "${side}x${side}+$((176 * scale))+$(((14 + MENU) * scale))" +repage "$T/canvas.png"
    convert "$source" -filter point -resize "${side}x${side}" -background "$bg" -flatten "$T/expected.png"
    { compare -metric AE -fuzz 3% "$T/canvas.png" "$T/expected.png" null: 2>&1 || true; } | awk '{print int($1)}'
}
find_menu_height() { # find_menu_height SHOT
    local best=-1 least=999999 m d
    for m in $(seq 0 40); do
        MENU=$m
        d="$(picture_diff "$1" 1 "$RES/audio_128x128.png")"
        if [ "$d" -lt "$least" ]; then least=$d; best=$m; fi
    done
    MENU=$best
}

for scale in 1 2; do
    log "--- case: QT_SCALE_FACTOR=$scale"
    QT_SCALE_FACTOR=$scale start_program
    wait_window
    wait_for 10 title_is "Kestrune 1.0" || fail "title never became \"Kestrune 1.0\""
    nap 1
    read -r w h < <(window_size)
    log "window ${w}x${h}"
    screenshot "$T/shot$scale.png"
    if [ -n "${E2E_SHOTS:-}" ]; then cp "$T/shot$scale.png" "$E2E_SHOTS/"; fi
    if [ "$scale" = 1 ]; then
        find_menu_height "$T/shot1.png"
        log "the canvas starts $MENU points below the window's top"
        d="$(picture_diff "$T/shot1.png" 1 "$RES/audio_128x128.png")"
        log "pixels off the 128-pixel picture: $d"
        check "at 1 the canvas shows the 128-pixel picture" test "$d" -le 40
        W1="$w"
    else
        check "the window is twice as wide at 2" test "$w" -eq $((2 * W1))
        hi="$(picture_diff "$T/shot2.png" 2 "$RES/audio_128x128@2x.png")"
        lo="$(picture_diff "$T/shot2.png" 2 "$RES/audio_128x128.png")"
        log "pixels off the 256-pixel picture: $hi; off the 128 one doubled: $lo"
        check "at 2 the canvas shows the 256-pixel picture" test "$hi" -le 160
        check "not the 128-pixel one scaled up" test "$lo" -ge $((4 * hi + 400))
    fi
    stop_program
done
log "passed"
