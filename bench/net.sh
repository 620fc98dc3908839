#!/bin/sh
# make bench, network ports: a 16 KiB unit from mwire-sim --baud 57600
# through Debian's ser2net on the loopback, by rfc2217:// and tcp://, against
# the same unit on the device's terminal directly; then by rfc2217:// through
# a proxy that holds every byte 1 ms and 5 ms each way, against the round
# trips the device's requests make. Appends Markdown rows to OUT.
#   bench/net.sh BUILD OUT
set -eu
build=$1
out=$2
sim=$build/tools/mwire-sim/mwire-sim
updater=$build/pelkoupdate
proxy=$build/bench/delayproxy
work=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
head -c 16384 /dev/urandom > "$work/16k.plk"
base=$((40000 + $$ % 20000))

listening() { grep -q ":$(printf %04X "$1") 00000000:0000 0A" /proc/net/tcp; }

# The device, at 57600 baud unless told otherwise ("" for unpaced).
start_sim() {
    rm -f "$work/sim.log"
    "$sim" --once --out /dev/null --timing ${1---baud 57600} > "$work/sim.log" &
    simpid=$!
    pids="$pids $simpid"
    until [ -s "$work/sim.log" ]; do sleep 0.01; done
    terminal=$(head -n 1 "$work/sim.log")
}

# In front of the device: rfc2217 on $base (the connector opening at 9600,
# as the client sets it), raw on $base + 1; both pass bytes on at once.
start_ser2net() {
    cat > "$work/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$base
  connector: serialdev,$terminal,9600n81,local
  options:
    chardelay: false
connection: &raw
  accepter: tcp,127.0.0.1,$((base + 1))
  connector: serialdev,$terminal,57600n81,local
  options:
    chardelay: false
EOF
    ser2net -n -u -c "$work/ser2net.yaml" > /dev/null 2>&1 &
    s2n=$!
    pids="$pids $s2n"
    until listening $base && listening $((base + 1)); do sleep 0.01; done
}

# One update on PORT (by HOST, the updater by default); took is the
# device's time for it, turn the median time from the last byte of its
# request written to the first byte of the answer read. (The device must be
# waited for by this shell, not in a command substitution.)
unit() {
    host=${2:-"$updater -platform offscreen --port PORT --file $work/16k.plk --download"}
    $(echo "$host" | sed "s|PORT|$1|") > "$work/updater.log" 2>&1 ||
        { echo "bench: the update on $1 failed:" >&2; tail -n 5 "$work/updater.log" >&2; exit 1; }
    wait $simpid
    took=$(sed -n 's/.*, time \([0-9.]*\) s.*/\1/p' "$work/sim.log" | head -n 1)
    turn=$(sed -n 's/.*turnaround median \([0-9.]*\) us.*/\1/p' "$work/sim.log" | head -n 1)
}
through_ser2net() {
    start_sim ${3+"$3"}
    start_ser2net
    unit "$1" "${2:-}"
    kill $s2n
    wait $s2n 2>/dev/null || true
}
# By rfc2217:// through the proxy holding each byte $1 microseconds.
delayed() {
    start_sim
    start_ser2net
    rm -f "$work/proxy.log"
    "$proxy" $base "$1" > "$work/proxy.log" 2> "$work/proxy.err" &
    proxied=$!
    pids="$pids $proxied"
    until [ -s "$work/proxy.log" ]; do sleep 0.01; done
    unit "rfc2217://127.0.0.1:$(head -n 1 "$work/proxy.log")"
    kill $proxied $s2n
    wait $proxied $s2n 2>/dev/null || true
    late=$(sed -n 's/^late \([0-9.]*\) us.*/\1/p' "$work/proxy.err")
    late_median=$(sed -n 's/.*median \([0-9.]*\) us.*/\1/p' "$work/proxy.err")
}
share() { awk "BEGIN { printf \"%+.1f %%\", 100 * ($1 - $2) / $2 }"; }
row() { printf '| %s | %s |\n' "$1" "$2" >> "$out"; }

start_sim
unit "$terminal"
direct=$took direct_turn=$turn
through_ser2net "rfc2217://127.0.0.1:$base"
rfc2217=$took rfc2217_turn=$turn
through_ser2net "tcp://127.0.0.1:$((base + 1))"
raw=$took raw_turn=$turn
row "16k at 57600 baud: on the terminal / through ser2net by rfc2217:// / by tcp://" \
    "$direct s / $rfc2217 s ($(share "$rfc2217" "$direct")) / $raw s ($(share "$raw" "$direct"))"
row "the same: the host's turnaround as the device sees it, median" \
    "$direct_turn us / $rfc2217_turn us / $raw_turn us"
# From the start request to the end of image: a request of the device's
# and its answer for each of the 4096 words and the end, each crossing the
# proxy twice. The proxy's own hop (the proxy holding nothing) and its
# waking late past its delay are its own, not the updater's.
exchanges=4097
delayed 0
hop=$took hop_turn=$turn
row "rfc2217:// through the bench's proxy holding nothing: time / turnaround median" "$hop s / $hop_turn us"
for ms in 1 5; do
    delayed $((ms * 1000))
    added=$(awk "BEGIN { printf \"%.2f\", $took - $hop }")
    trips=$(awk "BEGIN { printf \"%.2f\", $exchanges * 2 * ($ms + $late / 1000) / 1000 }")
    turn_added=$(awk "BEGIN { printf \"%.0f\", $turn - $hop_turn }")
    turn_trip=$(awk "BEGIN { printf \"%.0f\", 2 * (1000 * $ms + $late_median) }")
    row "rfc2217:// with ${ms} ms added each way: time added / $exchanges round trips of $((2 * ms)) ms and the proxy's lateness ($late us a pass)" \
        "$added s / $trips s"
    row "the same: turnaround median added / one round trip and the proxy's median lateness ($late_median us a pass)" \
        "$turn_added us / $turn_trip us ($(awk "BEGIN { printf \"%+.0f\", $turn_added - $turn_trip }") us beyond)"
done

# The client measured against Debian's libgensio, ser2net's own library:
# the same exchange unpaced, 64 KiB, through ser2net, the median turnaround
# of each run and the middle of five runs. The updater with its own client,
# by rfc2217 and by tcp; gensio's client in a minimal blocking host
# (bench/gensiofloor, the floor's loop) by rfc2217; the floor by raw tcp,
# the least any host could do.
gensio=$build/bench/gensiofloor
if [ -x "$gensio" ]; then
    head -c 65536 /dev/urandom > "$work/64k.plk"
    middle() { tr ' ' '\n' | sort -n | sed -n 3p; }
    for client in updater updater_raw gensio floor; do
        turns=""
        for run in 1 2 3 4 5; do
            case $client in
            updater) through_ser2net "rfc2217://127.0.0.1:$base" \
                         "$updater -platform offscreen --port PORT --file $work/64k.plk --download" "" ;;
            updater_raw) through_ser2net "tcp://127.0.0.1:$((base + 1))" \
                             "$updater -platform offscreen --port PORT --file $work/64k.plk --download" "" ;;
            gensio) through_ser2net "$base" "$gensio PORT 65536" "" ;;
            floor) through_ser2net "tcp://127.0.0.1:$((base + 1))" "$build/bench/floor PORT 65536" "" ;;
            esac
            turns="$turns $turn"
        done
        eval "${client}_turn=$(echo $turns | middle)"
    done
    row "64k unpaced through ser2net, turnaround median (middle of 5 runs): the updater by rfc2217 / by tcp / a minimal host on libgensio by rfc2217 / the floor by tcp" \
        "$updater_turn us / $updater_raw_turn us / $gensio_turn us / $floor_turn us"
fi
