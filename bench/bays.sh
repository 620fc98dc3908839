#!/bin/sh
# The line of bays against the wire: N units of 16 KiB at once, each device
# paced at 57600 baud, in one updater process; then the same units under
# one updater process per bay, the design not taken. Appends Markdown rows.
#   bench/bays.sh BUILD OUT
set -eu
build=$1
out=$2
sim=$build/tools/mwire-sim/mwire-sim
updater=$build/pelkoupdate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 16384 /dev/urandom > "$work/16k.plk"
row() { printf '| %s | %s |\n' "$1" "$2" >> "$out"; }

# Starts n paced devices; their ports go to $work/ports, one a line.
devices() {
    : > "$work/ports"
    i=1
    while [ $i -le "$1" ]; do
        "$sim" --once --baud 57600 --spin-us 0 --out /dev/null > "$work/sim$i.log" &
        until [ -s "$work/sim$i.log" ]; do sleep 0.01; done
        head -n 1 "$work/sim$i.log" >> "$work/ports"
        i=$((i + 1))
    done
}
# Each device's own time for its unit, one a line.
unit_times() { cat "$work"/sim*.log | sed -n 's/.*image received:.* time \([0-9.]*\) s.*/\1/p'; }
stats() { awk '{ s += $1; if ($1 > m) m = $1 } END { printf "%.3f %.3f", s / NR, m }'; }

alone=""
for n in 1 4 8 16; do
    rm -f "$work"/sim*.log
    devices $n
    ports=$(sed 's/^/--port /' "$work/ports" | tr '\n' ' ')
    /usr/bin/time -f "%U %S %M %e" -o "$work/usage" "$updater" -platform offscreen --station \
        --download --count $n --file "$work/16k.plk" $ports > /dev/null 2>&1 \
        || { echo "bench: the line of $n bays failed" >&2; exit 1; }
    wait
    read -r mean worst <<STATS
$(unit_times | stats)
STATS
    [ -n "$alone" ] || alone=$mean
    read -r user sys rss wall < "$work/usage"
    row "$n bays, 16k units at 57600 baud: unit time mean / worst / alone" \
        "$mean s / $worst s / $alone s ($(awk "BEGIN { printf \"%+.1f %%\", 100 * ($worst - $alone) / $alone }") worst)"
    row "$n bays: CPU per bay / whole line as a share of a core" \
        "$(awk "BEGIN { printf \"%.3f s / %.1f %%\", ($user + $sys) / $n, 100 * ($user + $sys) / $wall }")"
    row "$n bays: memory (max RSS) in all / per bay" \
        "$(awk "BEGIN { printf \"%.1f MiB / %.2f MiB\", $rss / 1024, $rss / 1024 / $n }")"
done

# A bay whose device floods its line as fast as a terminal takes bytes (far
# beyond any serial line) beside a bay at the wire's pace.
rm -f "$work"/sim*.log
"$sim" --flood > "$work/flood.log" &
flooder=$!
until [ -s "$work/flood.log" ]; do sleep 0.01; done
devices 1
"$updater" -platform offscreen --station --download --count 1 --file "$work/16k.plk" \
    --port "$(head -n 1 "$work/flood.log")" --port "$(cat "$work/ports")" > /dev/null 2>&1 \
    || { echo "bench: the line beside a flood failed" >&2; exit 1; }
kill $flooder
wait
flooded=$(sed -n 's/.*flooded \([0-9]*\) bytes.*/\1/p' "$work/flood.log")
beside=$(unit_times)
row "16k unit at 57600 baud beside a bay flooded at the terminal's speed / alone" \
    "$beside s / $alone s ($(awk "BEGIN { printf \"%+.1f %%, %.0f MB flooded\", 100 * ($beside - $alone) / $alone, $flooded / 1e6 }"))"

# The other design: a process per bay, as people do by hand today.
n=16
rm -f "$work"/sim*.log "$work"/usage.*
devices $n
i=0
while read -r port; do
    i=$((i + 1))
    /usr/bin/time -f "%U %S %M %e" -o "$work/usage.$i" "$updater" -platform offscreen --station \
        --download --count 1 --file "$work/16k.plk" --port "$port" > /dev/null 2>&1 &
done < "$work/ports"
wait
read -r mean worst <<STATS
$(unit_times | stats)
STATS
cat "$work"/usage.* | awk -v n=$n -v alone="$alone" -v mean="$mean" -v worst="$worst" '
    { cpu += $1 + $2; rss += $3; if ($4 > wall) wall = $4 }
    END {
        printf "| %d processes, one a bay: unit time mean / worst | %s s / %s s (%+.1f %% worst) |\n", n, mean, worst, 100 * (worst - alone) / alone
        printf "| %d processes: CPU per bay / all as a share of a core | %.3f s / %.1f %% |\n", n, cpu / n, 100 * cpu / wall
        printf "| %d processes: memory (RSS) in all / per bay | %.1f MiB / %.2f MiB |\n", n, rss / 1024, rss / 1024 / n
    }' >> "$out"
