#!/bin/bash
# The windows as a blind user meets them: Debian's screen reader (orca) on a
# real X server (Xvfb) with a window manager (openbox) and the accessibility
# bus, its speech written to a log. Against the simulated device: a whole
# update chosen through the File dialog, one the device cancels, one started
# on a file; the File dialog ten times over, the window active with Download
# focused after each; and the station window over three bays, one unit
# failing. Keys go in as a person types them (xdotool); every wait is on the
# speech log, bounded.
#   tests/a11y/screenreader.sh BUILD_DIR
set -u
build=$(cd "${1:-build}" && pwd)
for tool in orca Xvfb dbus-run-session xdotool openbox; do
    if ! command -v "$tool" > /dev/null; then
        echo "screen reader check: skipped, $tool is not installed (make a11y-check installs it)"
        exit 0
    fi
done
if [ -z "${PELKO_A11Y_INSIDE:-}" ]; then
    export PELKO_A11Y_INSIDE=1
    exec dbus-run-session -- "$0" "$@"
fi

work=$(mktemp -d)
[ -z "${PELKO_A11Y_KEEP:-}" ] || echo "work in $work"
speech=$work/orca.log
pids=()
finish() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; done
    wait 2> /dev/null
    [ -n "${PELKO_A11Y_KEEP:-}" ] || rm -rf "$work"
}
trap finish EXIT

# Waits up to SECONDS for the speech log to say TEXT (a grep -E pattern)
# since the last mark.
from=1
mark() { from=$(($(wc -l < "$speech") + 1)); }
said() {
    local text=$1 seconds=${2:-20} tries=0
    until tail -n +"$from" "$speech" 2> /dev/null | grep -qE "SPEECH OUTPUT: .*$text"; do
        tries=$((tries + 1))
        [ $tries -le $((seconds * 20)) ] || return 1
        sleep 0.05
    done
}
# Waits up to SECONDS for orca to have moved its focus to WHAT (a grep -E
# pattern such as "push button \| Download") since the last mark.
focused() {
    local what=$1 seconds=${2:-10} tries=0
    until tail -n +"$from" "$speech" 2> /dev/null | grep -qE "Changing locusOfFocus from .* to \[$what\]"; do
        tries=$((tries + 1))
        [ $tries -le $((seconds * 20)) ] || return 1
        sleep 0.05
    done
}
failures=0
fail() {
    echo "  $1"
    failures=$((failures + 1))
}
expect() {
    if said "$1" "${2:-20}"; then
        echo "  spoken: $1"
    else
        echo "  NOT SPOKEN: $1"
        failures=$((failures + 1))
    fi
}

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdotool getmouselocation > /dev/null 2>&1 && break; sleep 0.05; done
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
unset QT_QPA_PLATFORM
# A window manager, as on a desktop: it decides which window is active.
openbox > "$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q "window id" && break; sleep 0.05; done
gsettings set org.gnome.desktop.a11y.applications screen-reader-enabled true 2> /dev/null
/usr/libexec/at-spi-bus-launcher --launch-immediately > /dev/null 2>&1 &
pids+=($!)
# Orca writes its log line by line only to a terminal: it gets one, whose
# every line script(1) passes on to the log at once.
# On a loaded machine orca's own watchdog may end it while it starts
# ("TIMEOUT: something has hung"): it gets a second start.
for try in 1 2; do
    script -qfec "orca --replace --debug-file=/dev/stdout" "$speech" < /dev/null > /dev/null 2>&1 &
    pids+=($!)
    said "Screen reader on" 30 && break
    [ $try -eq 1 ] || { echo "screen reader check: orca did not start"; exit 1; }
    kill "${pids[-1]}" 2> /dev/null
    from=1 # script(1) starts the log anew
done

# update NAME SIM_OPTIONS...: a device, and the window on its port (with
# $window_options too).
window_options=()
update() {
    local name=$1
    shift
    : > "$work/sim.out"
    "$build/tools/mwire-sim/mwire-sim" --once --baud 57600 --link "$work/port" "$@" > "$work/sim.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    [ -s "$work/$name.plk" ] || head -c 4096 /dev/urandom > "$work/$name.plk"
    "$build/pelkoupdate" --port "$work/port" "${window_options[@]}" > "$work/$name.out" 2>&1 &
    pids+=($!)
}

echo "== a whole update, the file chosen in the File dialog ($SECONDS s)"
mark
update whole
expect "File push button" 20
mark
xdotool key space
said "Open firmware" 20
xdotool type --delay 10 "$work/whole.plk"
xdotool key Return
expect "whole.plk - pelkoUpdate"
expect "click Download"
xdotool key Return # Download has the focus, whether the reader said so on its
                   # own or with the window coming back from the File dialog
expect "[0-9]+ percent"
expect "Firmware is updated" 30
xdotool key Return # End has the focus after the outcome
for _ in $(seq 100); do pgrep -f "$work/port" > /dev/null || break; sleep 0.05; done

echo "== an update the device cancels ($SECONDS s)"
mark
update cancelled --cancel-at 1024
said "File push button" 20
mark
xdotool key space
said "Open firmware" 20
xdotool type --delay 10 "$work/cancelled.plk"
xdotool key Return
expect "cancelled.plk - pelkoUpdate"
xdotool key Return
expect "Download progress [0-9]+ percent"
expect "Device canncelled, please retry" 30

xdotool key Return # End
for _ in $(seq 100); do pgrep -f "$work/port" > /dev/null || break; sleep 0.05; done

echo "== started on a file, as a script or a launcher does ($SECONDS s)"
mark
head -c 4096 /dev/urandom > "$work/given.plk"
window_options=(--file "$work/given.plk")
update given
expect "given.plk - pelkoUpdate"
expect "click Download"
expect "Download push button|pelkoUpdate dialog Firm .*click Download"
xdotool key Return
expect "Firmware is updated" 30

for _ in $(seq 100); do pgrep -f "$work/port" > /dev/null || break; sleep 0.05; done

# The window manager may hand the focus back while the File dialog is still
# closing; once in a few runs that left the window inactive and nothing
# focused. Ten runs, each to the version prompt.
echo "== the File dialog, ten times: the window active and Download focused after it ($SECONDS s)"
window_options=()
well=0
for run in $(seq 10); do
    mark
    update "run$run"
    updater=${pids[-1]} device=${pids[-2]}
    focused "push button \| File" 20
    mark
    xdotool key space
    said "Open firmware" 20
    xdotool type --delay 5 "$work/run$run.plk"
    mark
    xdotool key Return
    if said "click Download" 20 && focused "push button \| Download" 5 \
        && [ "$(xdotool getactivewindow getwindowname 2> /dev/null)" = "run$run.plk - pelkoUpdate" ]; then
        well=$((well + 1))
    else
        echo "  run $run: active window '$(xdotool getactivewindow getwindowname 2> /dev/null)'"
    fi
    # Closed as a person closes it (Escape), so the reader is never left
    # asking a window that has vanished.
    xdotool key Escape
    for _ in $(seq 100); do kill -0 "$updater" 2> /dev/null || break; sleep 0.05; done
    kill "$updater" "$device" 2> /dev/null
    wait "$updater" "$device" 2> /dev/null
done
if [ $well -eq 10 ]; then echo "  10 of 10 runs: active, Download focused"; else fail "ONLY $well OF 10 RUNS: active, Download focused"; fi

# The station window over three bays, the second's unit cancelled: each
# outcome said wherever the focus is, a tile spoken with its bay, state and
# counts, the end's tally said, and no progress of a bay without the focus.
echo "== the station window: three bays, one unit failing ($SECONDS s)"
mark
station_from=$from
head -c 8192 /dev/urandom > "$work/station.plk"
bays=()
for bay in 1 2 3; do
    : > "$work/bay$bay.out"
    fails=()
    [ $bay -ne 2 ] || fails=(--fail-unit 1)
    "$build/tools/mwire-sim/mwire-sim" --units 1 --baud 57600 --link "$work/bay$bay" "${fails[@]}" > "$work/bay$bay.out" 2>&1 &
    pids+=($!)
    bays+=(--port "$work/bay$bay")
done
for bay in 1 2 3; do
    for _ in $(seq 100); do [ -s "$work/bay$bay.out" ] && break; sleep 0.05; done
done
"$build/pelkoupdate" --station --file "$work/station.plk" --count 3 "${bays[@]}" > "$work/station.out" 2>&1 &
station=$!
pids+=($station)
expect "Station - pelkoUpdate" 20
expect "Bay 1, $work/bay1, (Waiting for a unit|Updating)" 10
expect "notification Bay 2: unit [0-9]+ failed: Device canncelled, please retry" 40
expect "notification Bay 1: unit [0-9]+ passed" 40
expect "notification Bay 3: unit [0-9]+ passed" 40
expect "notification Line ended: 2 passed, 1 failed" 20
# Whose progress each "N percent" was: the bar orca generated it for last.
unfocused=$(tail -n +"$station_from" "$speech" \
    | awk '/generation for \[progress bar \| Bay [0-9]+ progress\]/ {
               match($0, /Bay [0-9]+ progress/); bar = substr($0, RSTART + 4, RLENGTH - 13) }
           /SPEECH OUTPUT: .[0-9]+ percent/ && bar != 1 { print "bay " bar ", " substr($0, index($0, "SPEECH")) }')
if [ -n "$unfocused" ]; then
    fail "A BAY WITHOUT THE FOCUS SPOKE ITS PROGRESS: $(echo "$unfocused" | head -1)"
else
    echo "  progress spoken from bay 1 only, the bay with the focus"
fi
mark
for _ in 1 2 3 4 5 6; do
    xdotool key Tab
    said "Bay 2, $work/bay2, Failed, unit [0-9]+: Device canncelled, please retry; 0 passed, 1 failed" 2 && break
done
expect "Bay 2, $work/bay2, Failed, unit [0-9]+: Device canncelled, please retry; 0 passed, 1 failed" 1
xdotool key Escape
for _ in $(seq 100); do kill -0 $station 2> /dev/null || break; sleep 0.05; done
wait $station
code=$?
[ $code -eq 1 ] && echo "  closed by Escape, exit 1 (a unit failed)" || fail "THE STATION ENDED WITH $code, NOT 1"

# Stop by Enter with no unit in hand: the line ends, the end stays said;
# Space on Close takes it away.
echo "== the station window: Enter on Stop, Space on Close ($SECONDS s)"
mark
"$build/pelkoupdate" --station --file "$work/station.plk" --port "$work/nothing-here" > "$work/stop.out" 2>&1 &
station=$!
pids+=($station)
expect "Station - pelkoUpdate" 20
mark
for _ in 1 2 3 4; do
    xdotool key Tab
    said "Stop push button" 2 && break
done
xdotool key Return
expect "notification Line ended: 0 passed, 0 failed" 10
xdotool key space
for _ in $(seq 100); do kill -0 $station 2> /dev/null || break; sleep 0.05; done
kill -0 $station 2> /dev/null && fail "SPACE ON CLOSE DID NOT CLOSE THE STATION WINDOW" || echo "  closed by Space on Close"

echo "$((failures == 0 ? 1 : 0)) passed, $((failures == 0 ? 0 : 1)) failed"
[ $failures -eq 0 ] || { echo "what the screen reader said:"; grep -o "SPEECH OUTPUT: .*" "$speech" | cut -c1-120; }
exit $((failures > 0))
