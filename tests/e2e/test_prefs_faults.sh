#!/usr/bin/env bash
# The preferences file under faults, with the real program and a choice in
# the interval popup:
#   empty_file   a 0-byte file: the program starts, writes a whole file at
#                once, keeps the next choice and plays it after a restart;
#   size_limit   a file-size limit (prlimit) below the new file: the save
#                fails, the file stays byte for byte, no temporary file is
#                left, and the program runs on at the chosen interval;
#   full_disk    the preferences folder on a full tmpfs (root only, in a
#                mount namespace of the program's own): the same, and once
#                there is room the next choice reaches the file;
#   locked_dir   as the user nobody, a folder that takes no new file holding
#                a writable file: the choice is written into the file itself.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1" 300

start_xvfb
start_pulse
start_events
make_bundle tone
PREFS_DIR="$(dirname "$PREFS_FILE")"

# The folder's entries, one line.
entries() { ls -A "$1" | tr '\n' ' '; }
# The file's freq is VALUE (the whole file parses).
freq_is() { [ "$(python3 "$PULSETOOL" freq "$1")" = "$2" ]; }
# After a choice of 9 s at SINCE (the timer restarts with the new period)
# the next play comes about 9 s later, not within the former 4 s: the choice
# reached the program, and the program plays on.
plays_every_9s_since() { # plays_every_9s_since SINCE
    wait_for 15 plays_at_least 1 "$1" || return 1
    local gap; gap="$(python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) - float(sys.argv[2])))" "$(plays "$1" | head -n1)" "$1")"
    log "first play $gap s after the choice"
    python3 -c "import sys; sys.exit(0 if 6.5 <= float(sys.argv[1]) <= 12 else 1)" "$gap"
}

log "--- case empty_file"
clear_prefs
write_prefs_raw ''
start_program
wait_window
check "a whole file with freq 29000 is written at once" wait_for 10 freq_is "$PREFS_FILE" 29000
choose_interval 0
check "the choice of 4 s reaches the file" wait_for 10 freq_is "$PREFS_FILE" 4000
stop_program
since="$(now)"
start_program
wait_window
check "after a restart the plays come every 4 s" wait_for 15 plays_at_least 3 "$since"
check "the file still holds 4000" freq_is "$PREFS_FILE" 4000
stop_program

log "--- case size_limit"
clear_prefs
write_prefs_freq 4000
cp "$PREFS_FILE" "$T/prefs-before"
size="$(stat -c %s "$PREFS_FILE")"
# 9000 is as long as 4000: the new file is cut short one byte before its end.
start_program_under prlimit --fsize=$(( size - 1 ))
wait_window
wait_for 10 plays_at_least 1 "$PROG_START" || fail "size_limit: no play when the window opened"
choose_interval 1
nap 0.3
since="$(now)"
nap 2
check "the program survives the failed save" prog_alive
check "the file is byte for byte as it was" cmp -s "$T/prefs-before" "$PREFS_FILE"
check "no temporary file is left" test "$(entries "$PREFS_DIR")" = "Kestrune_prefs.xml "
check "the program plays on at the chosen 9 s" plays_every_9s_since "$since"
stop_program

log "--- case full_disk"
probe="$T/mount-probe"
mkdir -p "$probe"
if [ "$(id -u)" -ne 0 ]; then
    log "skip full_disk: mounting a tmpfs needs root"
elif ! why="$(unshare --mount --propagation private mount -t tmpfs kestrune-probe "$probe" 2>&1)"; then
    log "skip full_disk: no tmpfs can be mounted here: $why"
else
    clear_prefs
    mkdir -p "$PREFS_DIR"
    write_prefs_freq 4000
    cp "$PREFS_FILE" "$T/prefs-before"
    # Inside its own mount namespace the program sees a 64 KiB tmpfs on the
    # preferences folder, holding the file and a filler that uses up the rest.
    start_program_under unshare --mount --propagation private sh -c '
        mount -t tmpfs -o size=64k kestrune-full "$1" || exit 1
        cp "$2" "$1/Kestrune_prefs.xml"
        dd if=/dev/zero of="$1/filler" bs=4k 2>/dev/null || true
        shift 2; exec "$@"' sh "$PREFS_DIR" "$T/prefs-before"
    wait_window
    # Runs a command in the program's mount namespace, where the tmpfs is.
    in_ns() { nsenter --mount --target "$prog_PID" "$@"; }
    ns_entries() { in_ns ls -A "$PREFS_DIR" | tr '\n' ' '; }
    ns_freq_is() { [ "$(in_ns python3 "$PULSETOOL" freq "$PREFS_FILE")" = "$1" ]; }
    log "the program's folder: $(in_ns df -k "$PREFS_DIR" | tail -n1)"
    check "the tmpfs is full" test "$(in_ns df -k --output=avail "$PREFS_DIR" | tail -n1 | tr -d ' ')" -eq 0
    wait_for 10 plays_at_least 1 "$PROG_START" || fail "full_disk: no play when the window opened"
    choose_interval 1
    nap 0.3
    since="$(now)"
    nap 2
    check "the program survives the failed save" prog_alive
    check "the file is byte for byte as it was" in_ns cmp -s "$T/prefs-before" "$PREFS_FILE"
    check "no temporary file is left" test "$(ns_entries)" = "Kestrune_prefs.xml filler "
    check "the program plays on at the chosen 9 s" plays_every_9s_since "$since"
    in_ns rm "$PREFS_DIR/filler"
    choose_interval 2
    check "with room again the choice of 14 s reaches the file" wait_for 10 ns_freq_is 14000
    check "nothing else is in the folder" test "$(ns_entries)" = "Kestrune_prefs.xml "
    stop_program
fi

log "--- case locked_dir"
if [ "$(id -u)" -eq 0 ]; then
    # The program runs as nobody, with a home, runtime folder and
    # preferences of nobody's own; it reaches this server's socket.
    chmod 711 "$T" "$T/run" "$T/run/pulse"
    nb="$T/nobody"
    mkdir -p "$nb/home" "$nb/run" "$nb/config/KestrunePrefs"
    chmod 700 "$nb/run"
    nb_file="$nb/config/KestrunePrefs/Kestrune_prefs.xml"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<Kestrune><freq>4000</freq></Kestrune>\n' > "$nb_file"
    chown -R nobody:nogroup "$nb"
    chmod 555 "$nb/config/KestrunePrefs"
    chmod 644 "$nb_file"
    inode="$(stat -c %i "$nb_file")"
    start_program_under setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env HOME="$nb/home" XDG_RUNTIME_DIR="$nb/run" XDG_CONFIG_HOME="$nb/config" PULSE_COOKIE="$nb/cookie"
    wait_window
    check "the program runs as nobody" test "$(stat -c %U "/proc/$prog_PID")" = nobody
    check "nobody cannot make a file in the folder" \
        setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "! touch '$nb/config/KestrunePrefs/x' 2>/dev/null"
    choose_interval 2
    check "the choice of 14 s reaches the file" wait_for 10 freq_is "$nb_file" 14000
    check "the file was written in place" test "$(stat -c %i "$nb_file")" = "$inode"
    check "nothing else is in the folder" test "$(entries "$nb/config/KestrunePrefs")" = "Kestrune_prefs.xml "
    stop_program
else
    log "skip locked_dir as another user: the suite does not run as root; running as $(id -un)"
    clear_prefs
    write_prefs_freq 4000
    chmod 555 "$PREFS_DIR"
    start_program
    wait_window
    choose_interval 2
    check "the choice of 14 s reaches the file" wait_for 10 freq_is "$PREFS_FILE" 14000
    check "nothing else is in the folder" test "$(entries "$PREFS_DIR")" = "Kestrune_prefs.xml "
    chmod 755 "$PREFS_DIR"
    stop_program
fi
log "passed"
