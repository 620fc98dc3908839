#!/bin/sh
# A whole update without hardware, at the real line speed: a sample image, a
# simulated device on a virtual port, and the updater offering that port.
# With a display the user drives the window; without one (or with
# --headless) the update runs by itself and prints what the window shows.
#   tools/demo.sh BUILD_DIR [--headless]
set -eu
build=${1:-build}
headless=${2:-}
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || headless=--headless
demo=demo
mkdir -p "$demo"
image=$demo/sample.pelk
if [ ! -s "$image" ]; then
    printf 'PELK-DEMO-HEADER' > "$image"          # the 16-byte header
    head -c 65536 /dev/urandom >> "$image"        # a 64 KiB image
fi
rm -f "$demo/received.bin" "$demo/sim.log"

once=
[ -z "$headless" ] || once=--once
"$build/tools/mwire-sim/mwire-sim" --baud 57600 --firmware 1.2 --hardware 3.4 $once \
    --link "$demo/port" --out "$demo/received.bin" > "$demo/sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT INT TERM
tries=0
until [ -s "$demo/sim.log" ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || { echo "demo: the simulated device did not start" >&2; exit 1; }
    sleep 0.05
done
port=$(head -n 1 "$demo/sim.log")
echo "Simulated device on $port (57600 baud)."

status=0
if [ -n "$headless" ]; then
    echo "No display: updating it with $image by itself (about a minute)."
    "$build/pelkoupdate" -platform offscreen --port "$port" --file "$image" --download || status=$?
else
    echo "In the window: press File, choose $image, wait for the version, press Download."
    "$build/pelkoupdate" --port "$port" || status=$?
fi

[ -n "$headless" ] || kill $sim 2>/dev/null || true
wait $sim 2>/dev/null || true
tail -n +2 "$demo/sim.log"
if [ -s "$demo/received.bin" ] && tail -c +17 "$image" | cmp -s - "$demo/received.bin"; then
    echo "demo: the device received the exact image."
else
    echo "demo: the device did not receive the whole image."
    [ -z "$headless" ] || status=1
fi
exit $status
