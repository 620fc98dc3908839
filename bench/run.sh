#!/bin/sh
# make bench: how close the updater comes to what the line allows. Prints a
# Markdown table and writes it to OUT (default BUILD/bench-results.md).
#   bench/run.sh BUILD [OUT]
set -eu
build=$1
out=${2:-$build/bench-results.md}
sim=$build/tools/mwire-sim/mwire-sim
updater=$build/pelkoupdate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 65536 /dev/urandom > "$work/64k.plk"
head -c 262144 /dev/urandom > "$work/256k.plk"
head -c 1048576 /dev/urandom > "$work/1m.plk"

# Starts the device with its options, runs the host command on its port
# ("PORT" in the command is replaced), prints the device's summary lines.
device() {
    sim_options=$1
    shift
    rm -f "$work/sim.log"
    "$sim" --once --out /dev/null $sim_options > "$work/sim.log" &
    pid=$!
    tries=0
    until [ -s "$work/sim.log" ]; do
        tries=$((tries + 1)); [ $tries -le 200 ] || { echo "bench: no device" >&2; exit 1; }
        sleep 0.01
    done
    port=$(head -n 1 "$work/sim.log")
    cmd=$(echo "$*" | sed "s|PORT|$port|g")
    sh -c "$cmd" > /dev/null 2>&1 || { echo "bench: '$cmd' failed" >&2; exit 1; }
    wait $pid
    tail -n +2 "$work/sim.log"
}
field() { sed -n "s/.*$1 \([0-9.]*\).*/\1/p" | head -n 1; }
updater_on() { echo "$updater -platform offscreen --port PORT --file $1 --download"; }

row() { printf '| %s | %s |\n' "$1" "$2" >> "$out"; }
: > "$out"
{
echo "| measure | result |"
echo "|---|---|"
for size in 64k 1m; do
    bytes=$(stat -c %s "$work/$size.plk")
    host=$(device --timing "$(updater_on "$work/$size.plk")")
    floor=$(device --timing "$build/bench/floor PORT $bytes")
    h_med=$(echo "$host" | field median); h_p99=$(echo "$host" | field p99)
    h_rate=$(echo "$host" | sed -n 's/.*, \([0-9]*\) exchanges\/s.*/\1/p')
    f_med=$(echo "$floor" | field median)
    f_rate=$(echo "$floor" | sed -n 's/.*, \([0-9]*\) exchanges\/s.*/\1/p')
    row "$size: updater turnaround median / p99" "$h_med us / $h_p99 us"
    row "$size: updater exchanges per second" "$h_rate"
    row "$size: floor turnaround median, exchanges per second" "$f_med us, $f_rate"
    row "$size: updater rate as a share of the floor's" "$(awk "BEGIN { printf \"%.0f %%\", 100 * $h_rate / $f_rate }")"
done

lib=$build/bench/libmalloccount.so
if [ -f "$lib" ]; then
    for size in 64k 256k; do
        device "" "LD_PRELOAD=$lib MALLOCCOUNT_OUT=$work/alloc-$size $(updater_on "$work/$size.plk")" > /dev/null
    done
    read -r _ own1 _ kit1 _ _ < "$work/alloc-64k"
    read -r _ own2 _ kit2 _ _ < "$work/alloc-256k"
    words=$(( (262144 - 65536) / 4 ))
    row "heap allocations per exchange, program's own code" "$(awk "BEGIN { printf \"%.3f\", ($own2 - $own1) / $words }")"
    row "heap allocations per exchange, toolkit (Qt)" "$(awk "BEGIN { printf \"%.3f\", ($kit2 - $kit1) / $words }")"
fi

line=$(device "--baud 57600" "$(updater_on "$work/64k.plk")")
took=$(echo "$line" | field time)
wire=$(echo "$line" | sed -n 's/.*wire time at 57600 baud \([0-9.]*\) s.*/\1/p')
row "64k at 57600 baud: update time / wire-time limit" "$took s / $wire s ($(awk "BEGIN { printf \"%+.1f %%\", 100 * ($took - $wire) / $wire }"))"

# The station: 16 KiB units one after another, against one plain scripted
# update of the same image on the same (unpaced) line. What it adds beyond
# the time each unit is away must stay under its leave time.
head -c 16384 /dev/urandom > "$work/16k.plk"
now() { date +%s.%N; }
start=$(now)
device "" "$(updater_on "$work/16k.plk")" > /dev/null
plain=$(awk "BEGIN { print $(now) - $start }")
units=5 leave=0.5 away_ms=700
rm -f "$work/sim.log"
"$sim" --units $units --away-ms $away_ms > "$work/sim.log" &
pid=$!
until [ -s "$work/sim.log" ]; do sleep 0.01; done
port=$(head -n 1 "$work/sim.log")
start=$(now)
"$updater" -platform offscreen --port "$port" --file "$work/16k.plk" --download --station \
    --count $units --leave-seconds $leave > /dev/null 2>&1 || { echo "bench: station failed" >&2; exit 1; }
total=$(awk "BEGIN { print $(now) - $start }")
wait $pid
per=$(awk "BEGIN { printf \"%.3f\", $total / $units }")
added=$(awk "BEGIN { printf \"%.3f\", $per - $plain - $away_ms / 1000 }")
row "station, 16k units: time per unit / one plain update" "$per s / $(awk "BEGIN { printf \"%.3f\", $plain }") s"
row "station: added per unit beyond the unit's ${away_ms} ms away / leave time" \
    "$added s / $leave s ($(awk "BEGIN { print ($added < $leave) ? \"under\" : \"OVER\" }"))"

# Waiting for a port that is not there: the share of a core the updater
# spends looking for it, four times a second, over 10 s; for a path (a
# link that comes and goes) and for an adapter named by what it is.
for port_name in "$work/absent-link" "usb:dead:beef"; do
    "$updater" -platform offscreen --port "$port_name" --file "$work/16k.plk" --download \
        --timeout 12 > /dev/null 2>&1 &
    waiter=$!
    sleep 1 # past the start, into the wait
    ticks=$(awk '{ print $14 + $15 }' "/proc/$waiter/stat")
    sleep 10
    ticks=$(($(awk '{ print $14 + $15 }' "/proc/$waiter/stat") - ticks))
    wait $waiter || true
    hz=$(getconf CLK_TCK)
    share=$(awk "BEGIN { printf \"%.2f\", 100 * $ticks / $hz / 10 }")
    case $port_name in usb:*) what="usb:VID:PID" ;; *) what="a path" ;; esac
    row "waiting for $what to appear: share of a core" "$share % ($(awk "BEGIN { print ($share < 0.5) ? \"under\" : \"OVER\" }") 0.5 %)"
done
} >> "$out"
"$(dirname "$0")/bays.sh" "$build" "$out"
# Keeping each unit's record: what it costs the line's event loop, and a
# whole line of 16 bays with and without a database.
(cd "$build" && ./bench/recordcost) >> "$out"
"$(dirname "$0")/dbline.sh" "$build" "$out"
# Network ports through ser2net, and through a delaying proxy.
"$(dirname "$0")/net.sh" "$build" "$out"
cat "$out"
echo "(written to $out)"
