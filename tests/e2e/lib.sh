# Shared by the end-to-end drivers and the benchmark. Source it, then call
# e2e_init BUILD_DIR [BUDGET_SECONDS].
#
# Every driver runs the program as a user would, on a private X server
# (Xvfb, no TCP), with a private sound server (PulseAudio, or PipeWire with
# WirePlumber and pipewire-pulse) whose default sink is a null sink called
# "kb", in a temporary HOME / XDG_RUNTIME_DIR / XDG_CONFIG_HOME.
# Nothing system-wide is touched. Every process started here is killed by the
# exit trap, and every wait is bounded.

E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PULSETOOL="$E2E_DIR/pulsetool.py"
REC_RATE=8000

E2E_PIDS=()
E2E_FAILED=0

log() { printf '[%s] %s\n' "$(date +%H:%M:%S.%3N)" "$*" >&2; }

# Sleeps in a way a signal cuts short: bash runs its traps only once a
# foreground command ends, but at once during `wait`. A long sleep says every
# 20 s how long it still has to go, so that a driver is never long silent.
NAP_PID=""
nap() {
    local left="$1" step
    while :; do
        step="$(awk -v l="$left" 'BEGIN { print (l > 20) ? 20 : l }')"
        sleep "$step" &
        NAP_PID=$!
        wait "$NAP_PID" || true
        NAP_PID=""
        left="$(awk -v l="$left" -v s="$step" 'BEGIN { print l - s }')"
        awk -v l="$left" 'BEGIN { exit !(l > 0.05) }' || break
        log "waiting, $left s to go"
    done
}

# Wall-clock time in seconds with fractions (the same clock as the event log).
now() { date +%s.%N; }

fail() {
    E2E_FAILED=1
    log "FAIL: $*"
    exit 1
}

check() { # check "message" command...
    local msg="$1"; shift
    if "$@"; then log "ok: $msg"; else fail "$msg"; fi
}

e2e_init() {
    BUILD_DIR="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
    local budget="${2:-300}"
    BUNDLE_SRC="$BUILD_DIR/Kestrune.app"
    [ -x "$BUNDLE_SRC/Contents/MacOS/Kestrune" ] || fail "no program at $BUNDLE_SRC"
    T="$(mktemp -d /tmp/kestrune-e2e.XXXXXX)"
    mkdir -p "$T/home" "$T/config"
    mkdir -m 700 "$T/run"
    trap e2e_cleanup EXIT
    trap 'log "interrupted"; exit 1' INT TERM HUP

    export HOME="$T/home"
    export XDG_CONFIG_HOME="$T/config"
    export XDG_RUNTIME_DIR="$T/run"
    sound_env
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$T/no-session-bus"
    export QT_QPA_PLATFORM=xcb
    unset WAYLAND_DISPLAY SESSION_MANAGER
    PREFS_FILE="$XDG_CONFIG_HOME/KestrunePrefs/Kestrune_prefs.xml"

    # A watchdog ends the driver (through its exit trap) when the budget runs
    # out, so that a hang never outlives the driver's own cleanup.
    setsid bash -c 'sleep "$1"; echo "watchdog: budget of $1 s exceeded" >&2; kill -TERM "$2"' \
        watchdog "$budget" "$$" </dev/null &
    E2E_WATCHDOG=$!
    log "work dir $T, budget ${budget}s"
}

# Kills a process started by start_bg (its whole session), bounded.
stop_pid() { # stop_pid PID [SIGNAL]
    local pid="$1" sig="${2:-TERM}" i
    kill -"$sig" -- "-$pid" 2>/dev/null || kill -"$sig" "$pid" 2>/dev/null || return 0
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

e2e_cleanup() {
    local rc=$? i
    trap - EXIT INT TERM HUP
    [ -n "$NAP_PID" ] && kill "$NAP_PID" 2>/dev/null
    [ -n "${E2E_WATCHDOG:-}" ] && stop_pid "$E2E_WATCHDOG"
    for (( i=${#E2E_PIDS[@]}-1; i>=0; i-- )); do
        stop_pid "${E2E_PIDS[$i]}"
    done
    if [ "$rc" -ne 0 ] || [ "$E2E_FAILED" -ne 0 ]; then
        log "logs of the failed run:"
        local f
        for f in "$T"/*.err "$T"/prog.out "$T"/events*.log; do
            [ -s "$f" ] || continue
            echo "----- ${f#"$T"/} (last 40 lines)" >&2
            tail -n 40 "$f" >&2
        done
        [ "$rc" -eq 0 ] && rc=1
    fi
    if [ -n "${E2E_KEEP:-}" ]; then log "kept $T"; else rm -rf "$T"; fi
    exit "$rc"
}

# Starts NAME in the background in a session of its own, output in
# $T/NAME.out and $T/NAME.err; its pid lands in the variable NAME_PID.
start_bg() { # start_bg NAME cmd...
    local name="$1"; shift
    setsid "$@" >"$T/$name.out" 2>"$T/$name.err" </dev/null &
    local pid=$!
    E2E_PIDS+=("$pid")
    printf -v "${name}_PID" '%s' "$pid"
}

# Waits until a command succeeds, polling every 0.1 s for at most SECONDS.
wait_for() { # wait_for SECONDS cmd...
    local limit="$1"; shift
    local end; end=$(( $(date +%s%N) + ${limit%.*} * 1000000000 ))
    while ! "$@" 2>/dev/null; do
        [ "$(date +%s%N)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

start_xvfb() {
    rm -f "$T/display"
    setsid Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 \
        3>"$T/display" >"$T/xvfb.out" 2>"$T/xvfb.err" </dev/null &
    XVFB_PID=$!
    E2E_PIDS+=("$XVFB_PID")
    wait_for 15 test -s "$T/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$T/display")"
    wait_for 10 xdpyinfo -display "$DISPLAY" >/dev/null || fail "Xvfb $DISPLAY does not answer"
    log "Xvfb on $DISPLAY"
}

# ---------------------------------------------------------------------------
# Sound servers. Either server runs headless and private: its own HOME,
# XDG_CONFIG_HOME and XDG_RUNTIME_DIR under $T/srv, a null sink called $SINK
# as the default output, and the idle suspend of its stock configuration
# (PulseAudio's module-suspend-on-idle at 5 s, WirePlumber's own default).
# Clients reach it through PULSE_SERVER (pipewire-pulse for PipeWire).

SINK=kb
SOUND_SERVER="${SOUND_SERVER:-pulse}"
SOUND_PIDS=()

# Called by e2e_init: where the server lives and how clients find it.
sound_env() {
    SRV="$T/srv"
    mkdir -p "$SRV/home" "$SRV/config"
    mkdir -m 700 "$SRV/run"
    export PULSE_SERVER="unix:$SRV/run/pulse/native"
    export PULSE_COOKIE="$T/pulse-cookie"
    printf 'autospawn = no\n' > "$T/client.conf"
    export PULSE_CLIENTCONFIG="$T/client.conf"
}

# Runs the calling driver once per sound server, each run a fresh process with
# a work folder of its own and its lines prefixed with the server's name: one
# after the other, or all at once with --parallel. Call it before e2e_init,
# with the driver's arguments; in each run it returns with SOUND_SERVER set.
# E2E_SERVERS="pulse" (say) narrows the set.
per_server() { # per_server [--parallel] "$@"
    local parallel=0
    if [ "${1:-}" = --parallel ]; then parallel=1; shift; fi
    if [ -n "${E2E_SERVER:-}" ]; then
        SOUND_SERVER="$E2E_SERVER"
        return 0
    fi
    local servers s rc=0 pid
    read -r -a servers <<< "$(sound_servers)"
    local pids=()
    trap 'for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null; done' INT TERM HUP
    for s in "${servers[@]}"; do
        log "=== $(basename "$0") on $s"
        # Each run in a process group of its own, so that an interrupt reaches
        # its whole pipeline.
        setsid bash -c 'E2E_SERVER="$1" bash "$2" "${@:3}" 2>&1 | sed -u "s/^/[$1] /" >&2; exit "${PIPESTATUS[0]}"' \
            run "$s" "$0" "$@" </dev/null &
        pids+=("$!")
        if [ "$parallel" -eq 0 ]; then
            wait "$!" || { rc=1; log "=== $s: FAILED"; }
            pids=()
        fi
    done
    for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
    [ "$rc" -eq 0 ] && log "=== passed on: ${servers[*]}" || log "=== FAILED on at least one server"
    exit "$rc"
}

# The servers a driver covers (E2E_SERVERS="pulse" narrows them).
sound_servers() { echo "${E2E_SERVERS:-pulse pipewire}"; }

pulse_up() { timeout 5 pactl info >/dev/null 2>&1; }
sink_exists() { timeout 5 pactl list sinks short 2>/dev/null | awk -v s="$SINK" '$2 == s {f=1} END {exit !f}'; }
default_sink_is_ours() { [ "$(timeout 5 pactl get-default-sink 2>/dev/null)" = "$SINK" ]; }

# Starts the sound server (SOUND_SERVER unless named), or starts it again
# after kill_sound_server; sets SOUND_UP_AT (and PULSE_UP_AT) and SOUND_PIDS.
start_sound_server() { # start_sound_server [pulse|pipewire]
    SOUND_SERVER="${1:-$SOUND_SERVER}"
    case "$SOUND_SERVER" in
        pulse) start_pulseaudio_server ;;
        pipewire) start_pipewire_server ;;
        *) fail "unknown sound server $SOUND_SERVER" ;;
    esac
    SOUND_UP_AT="$(now)"
    PULSE_UP_AT="$SOUND_UP_AT"
    log "$SOUND_SERVER up (pids ${SOUND_PIDS[*]})"
}
# What the drivers written for PulseAudio alone call.
start_pulse() { start_sound_server pulse; }
kill_pulse() { kill_sound_server; }

start_pulseaudio_server() {
    command -v pulseaudio >/dev/null || fail "pulseaudio is not installed (scripts/install-deps)"
    cat > "$SRV/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=$SINK
set-default-sink $SINK
PA
    start_bg sound env HOME="$SRV/home" XDG_CONFIG_HOME="$SRV/config" XDG_RUNTIME_DIR="$SRV/run" \
        pulseaudio -n -F "$SRV/server.pa" --load="module-suspend-on-idle timeout=5" \
        --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=no --log-target=stderr
    SOUND_PIDS=("$sound_PID")
    wait_for 15 pulse_up || fail "PulseAudio did not start"
}

start_pipewire_server() {
    local bin
    for bin in pipewire wireplumber pipewire-pulse dbus-run-session; do
        command -v "$bin" >/dev/null || fail "$bin is not installed (scripts/install-deps)"
    done
    local cfg="$SRV/config"
    mkdir -p "$cfg/pipewire/pipewire.conf.d" "$cfg/wireplumber/main.lua.d" "$cfg/wireplumber/bluetooth.lua.d"
    # A null sink that WirePlumber suspends when idle, as it does a sound card.
    cat > "$cfg/pipewire/pipewire.conf.d/50-null-sink.conf" <<PW
context.objects = [
    {   factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "$SINK"
            node.description = "Null sink"
            media.class      = "Audio/Sink"
            audio.position   = [ FL FR ]
            monitor.channel-volumes = true
            object.linger    = true
        }
    }
]
PW
    # The machine's own devices stay out of the private server.
    printf 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n' \
        > "$cfg/wireplumber/main.lua.d/60-no-devices.lua"
    printf 'bluez_monitor.enabled = false\n' > "$cfg/wireplumber/bluetooth.lua.d/60-no-devices.lua"
    # The three processes on a D-Bus session bus of their own; their pids
    # go to $SRV/pids once PipeWire's socket is up.
    cat > "$SRV/pipewire-up.sh" <<'UP'
rm -f "$XDG_RUNTIME_DIR/pids.tmp"
pipewire & echo $! >> "$XDG_RUNTIME_DIR/pids.tmp"
for i in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber & echo $! >> "$XDG_RUNTIME_DIR/pids.tmp"
pipewire-pulse & echo $! >> "$XDG_RUNTIME_DIR/pids.tmp"
mv "$XDG_RUNTIME_DIR/pids.tmp" "$XDG_RUNTIME_DIR/pids"
wait
UP
    rm -f "$SRV/run/pids"
    start_bg sound env HOME="$SRV/home" XDG_CONFIG_HOME="$SRV/config" XDG_RUNTIME_DIR="$SRV/run" \
        dbus-run-session -- bash "$SRV/pipewire-up.sh"
    wait_for 15 test -s "$SRV/run/pids" || fail "PipeWire did not start"
    mapfile -t SOUND_PIDS < "$SRV/run/pids"
    wait_for 15 pulse_up || fail "pipewire-pulse did not start"
    wait_for 15 sink_exists || fail "PipeWire has no sink $SINK"
    # WirePlumber keeps the default output; it may come up after the sink.
    wait_for 15 bash -c 'pactl set-default-sink "$1" && [ "$(pactl get-default-sink)" = "$1" ]' _ "$SINK" \
        || fail "could not make $SINK PipeWire's default output"
}

# Kills the sound server (SIGKILL: as a crash would), all its processes.
kill_sound_server() {
    stop_pid "$sound_PID" KILL
    log "$SOUND_SERVER killed"
}
# Stops (SIGSTOP) and resumes (SIGCONT) every process of the server: a hang.
pause_sound_server() { kill -STOP "${SOUND_PIDS[@]}"; log "$SOUND_SERVER stopped (SIGSTOP)"; }
resume_sound_server() { kill -CONT "${SOUND_PIDS[@]}"; log "$SOUND_SERVER resumed (SIGCONT)"; }

# The state of the null sink: SUSPENDED, IDLE or RUNNING (empty without an
# answer within 5 s).
sink_state() { timeout 5 pactl list sinks short 2>/dev/null | awk -v s="$SINK" '$2 == s {print $NF}'; }

# Polls the sink's state every 0.5 s into $T/sinkpoll_NAME.out ("TIME STATE").
# A poll never keeps the sink awake; a recorder of its monitor does.
start_sink_poll() { # start_sink_poll NAME
    start_bg "sinkpoll_$1" bash -c 'while :; do
        st="$(timeout 2 pactl list sinks short 2>/dev/null | awk -v s="$1" '"'"'$2 == s {print $NF}'"'"')"
        printf "%s %s\n" "$(date +%s.%N)" "${st:-NONE}"
        sleep 0.5
    done' poll "$SINK"
}
stop_sink_poll() { local var="sinkpoll_${1}_PID"; stop_pid "${!var}"; }
# Prints "FRACTION SAMPLES" of the polls from SINCE to UNTIL (wall clock) that
# found the sink suspended.
suspended_fraction() { # suspended_fraction NAME SINCE [UNTIL]
    python3 "$PULSETOOL" suspended "$T/sinkpoll_$1.out" "$2" "${3:-}"
}

# How many of the program's streams, clients or cached samples (KIND:
# sink-inputs, clients, samples) the server holds; empty without an answer.
kestrune_on_server() { # kestrune_on_server KIND
    local json
    json="$(timeout 5 pactl --format=json list "$1" 2>/dev/null)" || return 0
    printf '%s' "$json" | python3 "$PULSETOOL" count-ours "$1"
}

# Logs the sound server's events with their arrival time to $T/events.log.
# pactl subscribe ends with the server; call again after a restart.
start_events() {
    start_bg events python3 -u "$PULSETOOL" stamp "$T/events.log"
    wait_for 10 grep -q started "$T/events.log" || fail "event logger did not start"
    sleep 0.3
}

# Times (seconds) of the plays since SINCE (default: all): as the program
# made them with PASPY set (use_paspy), else the new playback streams at the
# sound server (a program that keeps one stream for many plays shows only its
# first there).
plays() {
    if [ -n "$PASPY" ]; then prog_plays "${1:-0}" | cut -d' ' -f1
    else python3 "$PULSETOOL" plays "$T/events.log" "${1:-0}"; fi
}
play_count() { plays "${1:-0}" | wc -l; }
plays_at_least() { [ "$(play_count "${2:-0}")" -ge "$1" ]; } # plays_at_least N [SINCE]

# The program's own calls into the sound server's client library, with their
# times, land in $T/paspy.log when PASPY is set (tests/e2e/paspy.cpp, built as
# BUILD_DIR/e2e/libkestrune_paspy.so). A play is a write that starts the sound
# (pulsetool.py spyplays): use a tone bundle.
PASPY=""
use_paspy() {
    PASPY="${PASPY_LIB:-$BUILD_DIR/e2e/libkestrune_paspy.so}"
    [ -f "$PASPY" ] || fail "no $PASPY (built with the tests)"
    # The shim writes to a FIFO, whose reader appends to the log: no file-size
    # limit set on the program (prlimit) applies to a FIFO, and a program run
    # as another user can write to it. The reader holds the FIFO open for
    # writing too, so that it never sees an end between programs.
    : > "$T/paspy.log"
    mkfifo -m 666 "$T/paspy.fifo"
    chmod 666 "$T/paspy.fifo"
    start_bg paspylog sh -c 'exec 3<>"$1"; exec cat <&3 >> "$2"' sh "$T/paspy.fifo" "$T/paspy.log"
    PASPY_OUT="$T/paspy.fifo"
}
PASPY_OUT=""
# What goes before the command that starts the program: the shim, when
# PASPY is set.
paspy_prefix() {
    PASPY_PREFIX=()
    [ -z "$PASPY" ] || PASPY_PREFIX=(env LD_PRELOAD="$PASPY" KESTRUNE_PASPY_LOG="${PASPY_OUT:-$T/paspy.log}")
}
# Lets another user (say nobody) reach the sound server's socket.
open_sound_server_to_others() { chmod 711 "$T" "$SRV" "$SRV/run" "$SRV/run/pulse"; }
# Times of the program's plays since SINCE as the program made them, each with
# the bytes it wrote.
prog_plays() { python3 "$PULSETOOL" spyplays "$T/paspy.log" "${1:-0}"; }
prog_play_count() { prog_plays "${1:-0}" | wc -l; }
# How often the program made CALL (paspy's names: connect_playback,
# context_connect, ...) since SINCE.
prog_calls() { awk -v c="$1" -v s="${2:-0}" '$2 == c && $1 >= s {n++} END {print n + 0}' "$T/paspy.log" 2>/dev/null || echo 0; }
prog_plays_at_least() { [ "$(prog_play_count "${2:-0}")" -ge "$1" ]; } # N [SINCE]

# Records the null sink's monitor, mono s16le at REC_RATE, to $T/rec_NAME.out
# (parec writes the raw samples to its standard output).
start_record() { # start_record [NAME]
    local name="${1:-rec}"
    start_bg "rec_$name" parec --device="$SINK.monitor" --format=s16le \
        --rate="$REC_RATE" --channels=1 --latency-msec=20 --raw
    # An idle null sink renders in blocks of up to 2 s, and the monitor's
    # first block is lost: wait until samples flow.
    wait_for 10 file_bigger "$T/rec_$name.out" 1000 || fail "recorder got no samples"
}
file_bigger() { [ "$(stat -c %s "$1")" -gt "$2" ]; }
stop_record() { # stop_record [NAME]
    local var="rec_${1:-rec}_PID"
    stop_pid "${!var}" INT
}
# Number of tone bursts in a recording.
burst_count() { python3 "$PULSETOOL" bursts "$T/rec_${1:-rec}.out" "$REC_RATE" count; }
burst_onsets() { python3 "$PULSETOOL" bursts "$T/rec_${1:-rec}.out" "$REC_RATE" | tail -n +2; }
# ------------------------------------------------------------------ sound end

# A copy of the bundle: BUNDLE_MODE tone (silent.wav swapped for a 1 kHz tone
# of MS ms, default 50, in the same format), nowav (silent.wav removed), real
# (the built bundle itself). Sets PROG.
make_bundle() { # make_bundle MODE [MS]
    local mode="$1" ms="${2:-50}"
    if [ "$mode" = real ]; then
        PROG="$BUNDLE_SRC/Contents/MacOS/Kestrune"
        return
    fi
    local dest="$T/bundle-$mode/Kestrune.app"
    rm -rf "$T/bundle-$mode"
    mkdir -p "$T/bundle-$mode"
    cp -a "$BUNDLE_SRC" "$dest"
    local wav="$dest/Contents/Resources/silent.wav"
    case "$mode" in
        tone) python3 "$PULSETOOL" tone "$BUNDLE_SRC/Contents/Resources/silent.wav" "$wav" "$ms" ;;
        nowav) rm -f "$wav" ;;
        *) fail "unknown bundle mode $mode" ;;
    esac
    PROG="$dest/Contents/MacOS/Kestrune"
}

# Writes the preferences file with the given content (raw bytes via printf %s).
write_prefs_raw() { mkdir -p "$(dirname "$PREFS_FILE")"; printf '%s' "$1" > "$PREFS_FILE"; }
write_prefs_freq() {
    write_prefs_raw "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<Kestrune><freq>$1</freq></Kestrune>
"
}
clear_prefs() { rm -rf "$XDG_CONFIG_HOME/KestrunePrefs"; }
prefs_freq() { python3 "$PULSETOOL" freq "$PREFS_FILE"; }

# Starts the program ($PROG); its pid is in prog_PID, start time in PROG_START.
start_program() {
    PROG_START="$(now)"
    paspy_prefix
    start_bg prog "${PASPY_PREFIX[@]}" "$PROG"
    log "program started (pid $prog_PID)"
}
prog_alive() { kill -0 "$prog_PID" 2>/dev/null; }

# Waits (bounded) for the program's window to be mapped; sets WID.
find_window() {
    WID="$(xdotool search --onlyvisible --pid "$prog_PID" --name '^Kestrune' 2>/dev/null | head -n1)"
    [ -n "$WID" ]
}
wait_window() { # wait_window [SECONDS]
    wait_for "${1:-20}" find_window || fail "no window mapped within ${1:-20}s"
    WINDOW_AT="$(now)"
    log "window $WID mapped"
}
window_title() { xdotool getwindowname "$WID"; }
title_is() { [ "$(window_title)" = "$1" ]; }
window_size() { # prints "W H"
    xwininfo -id "$WID" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w, h}'
}
# Prints "minW minH maxW maxH" from WM_NORMAL_HINTS (empty fields if absent).
window_size_hints() {
    xprop -id "$WID" WM_NORMAL_HINTS | awk '
        /minimum size:/ {mw=$(NF-2); mh=$NF}
        /maximum size:/ {xw=$(NF-2); xh=$NF}
        END {print mw, mh, xw, xh}'
}
screenshot() { # screenshot FILE
    import -window "$WID" "$1" 2>/dev/null
}
# Number of pixels that differ between two images.
# (compare exits 1 when the images differ, 2 on an error.)
image_diff() { { compare -metric AE "$1" "$2" null: 2>&1 || true; } | awk '{print int($1)}'; }

# Waits for the program to exit within SECONDS; sets PROG_STATUS, or fails.
wait_exit() { # wait_exit SECONDS
    local end=$(( $(date +%s) + $1 ))
    while prog_alive; do
        if [ "$(date +%s)" -ge "$end" ]; then fail "program did not exit within $1s"; fi
        sleep 0.1
    done
    PROG_STATUS=0
    wait "$prog_PID" || PROG_STATUS=$?
    log "program exited with status $PROG_STATUS"
}

# Ends the program at the end of a case (it must still be running).
stop_program() {
    prog_alive || fail "program is no longer running"
    stop_pid "$prog_PID"
}

# Sleeps until SECONDS after the time T0 (wall clock, fractions allowed).
sleep_until() { # sleep_until T0 SECONDS
    local d; d="$(python3 -c "import sys,time; print(max(0.0, float(sys.argv[1]) + float(sys.argv[2]) - time.time()))" "$1" "$2")"
    nap "$d"
}

# Asserts that each play lies within TOL ms of a grid of PERIOD ms, and that
# there are COUNT plays: the plays as the program made them with PASPY set,
# else the new streams at the sound server.
check_schedule() { # check_schedule PERIOD_MS TOL_MS EXPECTED_COUNT
    local offs
    if [ -n "$PASPY" ]; then
        offs="$(prog_plays | python3 "$PULSETOOL" jitter - "$1")"
    else
        offs="$(python3 "$PULSETOOL" jitter "$T/events.log" "$1")"
    fi
    local n; n="$(printf '%s\n' "$offs" | grep -c . || true)"
    log "plays: $n, offsets from schedule (ms): $(echo $offs)"
    [ "$n" -eq "$3" ] || fail "expected $3 plays, saw $n"
    printf '%s\n' "$offs" | awk -v tol="$2" '{ if ($1 > tol || $1 < -tol) bad=1 } END { exit bad }' \
        || fail "a play is more than $2 ms off its schedule"
    log "ok: $3 plays every $1 ms within $2 ms"
}

# ---------------------------------------------------------------------------
# The desktop around the program: a window manager (openbox), a tray host
# (trayer), the program's tray icon and its menu, closing the window.

XTOOL="$E2E_DIR/xtool.py"

wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
start_wm() {
    start_bg wm openbox --sm-disable
    wait_for 15 wm_up || fail "openbox did not start"
    log "openbox up"
}

# trayer's panel window, the tray host (empty when none is mapped).
tray_panel() {
    local w
    for w in $(xdotool search --onlyvisible --class trayer 2>/dev/null); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = panel ] && { echo "$w"; return; }
    done
}
tray_up() { [ -n "$(tray_panel)" ]; }
# Starts trayer as the tray host; its pid lands in NAME_PID (default tray_PID).
start_tray() { # start_tray [NAME]
    start_bg "${1:-tray}" trayer --edge top --align right --widthtype request --height 24 --SetDockType true
    wait_for 15 tray_up || fail "trayer did not start"
    log "trayer up"
}
stop_tray() { # stop_tray [NAME]
    local var="${1:-tray}_PID"
    stop_pid "${!var}"
    log "trayer ended"
}

# Whether the program's tray icon is docked in trayer's panel; sets ICON.
tray_icon() {
    local panel w; panel="$(tray_panel)"
    [ -n "$panel" ] || return 1
    for w in $(xdotool search --pid "$prog_PID" --name '^Kestrune$' 2>/dev/null); do
        if xwininfo -tree -id "$panel" 2>/dev/null | grep -qiw "$(printf '0x%x' "$w")"; then
            ICON="$w"
            return 0
        fi
    done
    return 1
}
# Opens the tray icon's menu with the mouse button given (1 left, 3 right).
open_tray_menu() { # open_tray_menu [BUTTON]
    tray_icon || fail "no tray icon to click"
    local X Y WIDTH HEIGHT SCREEN
    eval "$(xdotool getwindowgeometry --shell "$ICON")"
    xdotool mousemove "$((X + WIDTH / 2))" "$((Y + HEIGHT / 2))" click "${1:-1}"
    nap 1
}
# The tray menu holds About first and Quit last.
tray_choose_about() { open_tray_menu "${1:-1}"; xdotool key Down Return; }
tray_choose_quit() { open_tray_menu "${1:-1}"; xdotool key Up Return; }

# The main window, told from the tray icon (also named Kestrune) by its
# width; sets WID. PID defaults to the program's.
find_main_window() { # find_main_window [PID]
    local w
    for w in $(xdotool search --onlyvisible --pid "${1:-$prog_PID}" --name '^Kestrune' 2>/dev/null); do
        if [ "$(xwininfo -id "$w" 2>/dev/null | awk '/Width:/ {print $2}')" = 480 ]; then
            WID="$w"
            return 0
        fi
    done
    return 1
}
wait_main_window() { # wait_main_window [SECONDS] [PID]
    wait_for "${1:-20}" find_main_window "${2:-}" || fail "no main window mapped within ${1:-20}s"
    log "main window $WID mapped"
}
# Asks the main window to close, as its close button does; waits until it is
# gone.
close_window() {
    python3 "$XTOOL" close "$WID"
    wait_for 10 window_gone || fail "the window did not close"
    log "window closed"
}
window_gone() { ! xwininfo -id "$WID" 2>/dev/null | grep -q 'IsViewable'; }

# Exit statuses of a crash: an abort (134) or a segmentation fault (139), or
# any other death by a signal.
no_crash() { [ "$1" -lt 128 ]; }

# A second X server that admits only clients with its cookie (in
# $T/server.xauth, which XAUTHORITY may name); sets AUTH_DISPLAY.
start_xvfb_auth() {
    local cookie; cookie="$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
    xauth -f "$T/server.xauth" add :0 MIT-MAGIC-COOKIE-1 "$cookie" 2>/dev/null
    rm -f "$T/auth-display"
    setsid Xvfb -displayfd 3 -nolisten tcp -noreset -auth "$T/server.xauth" -screen 0 640x480x24 \
        3>"$T/auth-display" >"$T/xvfb-auth.out" 2>"$T/xvfb-auth.err" </dev/null &
    E2E_PIDS+=("$!")
    wait_for 15 test -s "$T/auth-display" || fail "the second Xvfb did not start"
    AUTH_DISPLAY=":$(head -n1 "$T/auth-display")"
    # xauth looks entries up by display number: the cookie under the real one.
    xauth -f "$T/server.xauth" add "$AUTH_DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie" 2>/dev/null
    wait_for 10 env XAUTHORITY="$T/server.xauth" xdpyinfo -display "$AUTH_DISPLAY" >/dev/null \
        || fail "the second Xvfb does not answer"
    log "Xvfb with a cookie on $AUTH_DISPLAY"
}

# --- The interval popup, and the program under a wrapper command.

# Picks row ROW of the interval popup (0: every 4 s ... 6: every 59 s) as a
# user does: a click opens the list, the keys move to the row and take it.
# The popup lies 334 px below the top of the 480x420 content, under the menu
# bar, and 20 px high.
choose_interval() { # choose_interval ROW
    local row="$1" w h keys=(Home) i
    read -r w h < <(window_size)
    xdotool mousemove --window "$WID" 240 $(( h - 420 + 344 )) click 1
    nap 0.5
    for (( i = 0; i < row; i++ )); do keys+=(Down); done
    xdotool key "${keys[@]}" Return
    log "chose row $row of the interval popup"
}

# Like start_program, with the program run by a wrapper command that execs it
# (setpriv, prlimit, unshare ...), so that prog_PID is the program's own.
start_program_under() { # start_program_under WRAPPER...
    PROG_START="$(now)"
    paspy_prefix
    start_bg prog "${PASPY_PREFIX[@]}" "$@" "$PROG"
    log "program started under $1 (pid $prog_PID)"
}

# ---------------------------------------------------------------------------
# A desktop session bus and a StatusNotifier host (tests/e2e/sntool.py), and a
# headless Wayland compositor.

SNTOOL="$E2E_DIR/sntool.py"
# Debian's python3 has the D-Bus and GLib bindings the tool needs.
SYS_PYTHON=/usr/bin/python3

bus_up() { dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.ListNames >/dev/null; }
# A private session bus at $T/bus, exported to everything started after it.
start_session_bus() {
    start_bg bus dbus-daemon --session --nofork --nopidfile --address="unix:path=$T/bus"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$T/bus"
    wait_for 10 bus_up || fail "the session bus did not start"
    log "session bus up"
}
name_has_owner() { # name_has_owner NAME
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# The StatusNotifier watcher (the host side of a panel such as KDE's, waybar
# or GNOME's AppIndicator extension); its pid lands in NAME_PID (default
# snw_PID), its log of registrations in $T/NAME.log.
start_sn_watcher() { # start_sn_watcher [NAME]
    local name="${1:-snw}"
    start_bg "$name" "$SYS_PYTHON" -u "$SNTOOL" watcher "$T/$name.log"
    wait_for 10 name_has_owner org.kde.StatusNotifierWatcher || fail "the StatusNotifier watcher did not start"
    log "StatusNotifier watcher up"
}
stop_sn_watcher() { # stop_sn_watcher [NAME]
    local var="${1:-snw}_PID"
    stop_pid "${!var}"
    wait_for 10 eval '! name_has_owner org.kde.StatusNotifierWatcher' || fail "the watcher's name stayed"
    log "StatusNotifier watcher ended"
}
# Logs the startup-notification messages on the root window to
# $T/startup.out (tests/e2e/startupwatch.py); WATCH names the tool.
WATCH="$E2E_DIR/startupwatch.py"
start_startup_watch() {
    start_bg startup "$SYS_PYTHON" -u "$WATCH"
    wait_for 10 grep -q '^ready' "$T/startup.out" || fail "the startup-notification watcher did not start"
}

sntool() { timeout 10 "$SYS_PYTHON" "$SNTOOL" "$@"; }
# The first item the watcher has registered ("SERVICE PATH"); sets SN_ITEM.
sn_item() { SN_ITEM="$(sntool items 2>/dev/null | head -n 1)"; [ -n "$SN_ITEM" ]; }

# A headless weston on the Wayland socket $WAYLAND_DISPLAY (in
# $XDG_RUNTIME_DIR), exported to what is started after it.
wayland_up() { [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ]; }
start_weston() {
    export WAYLAND_DISPLAY="kestrune-wl-$$"
    start_bg weston weston --backend=headless-backend.so --use-pixman --socket="$WAYLAND_DISPLAY" --idle-time=0
    wait_for 15 wayland_up || fail "weston did not start"
    log "weston up on $WAYLAND_DISPLAY"
}
