#!/bin/sh
# make soak: updates back to back against a noisy device that answers in
# pieces, through a driver that wakes the updater with nothing to read and
# refuses writes now and then. Prints how many failed; the target is 0.
#   bench/soak.sh RUNS BUILD...
set -eu
runs=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 16384 /dev/urandom > "$work/fw.plk"

soak() {
    build=$1
    failed=0
    started=$(date +%s)
    i=0
    while [ $i -lt "$runs" ]; do
        i=$((i + 1))
        rm -f "$work/sim.log" "$work/received.bin"
        "$build/tools/mwire-sim/mwire-sim" --once --noise --split-us 20 \
            --out "$work/received.bin" > "$work/sim.log" &
        sim=$!
        tries=0
        until [ -s "$work/sim.log" ]; do
            tries=$((tries + 1)); [ $tries -le 200 ] || break
            sleep 0.01
        done
        port=$(head -n 1 "$work/sim.log")
        status=0
        LD_PRELOAD="$build/tests/liblineshim.so" LINESHIM_PORT="$port" \
            LINESHIM_READ_EVERY=7 LINESHIM_WRITE_EVERY=5 \
            ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0" \
            "$build/pelkoupdate" -platform offscreen --port "$port" --file "$work/fw.plk" \
            --download --timeout 5 > "$work/updater.log" 2>&1 || status=$?
        wait $sim 2>/dev/null || true
        if [ $status -ne 0 ] || ! cmp -s "$work/fw.plk" "$work/received.bin"; then
            failed=$((failed + 1))
            echo "soak: $build run $i failed (exit $status):"
            tail -n 3 "$work/updater.log"
        fi
    done
    echo "soak: $build: $runs updates of 16 KiB, $failed failed, $(($(date +%s) - started)) s"
    [ $failed -eq 0 ]
}

result=0
for build in "$@"; do
    soak "$build" || result=1
done
exit $result
