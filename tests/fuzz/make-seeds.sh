#!/bin/sh
# Seeds for the fuzzer from a real exchange: what mwire-sim sends during an
# update (with line noise), cut into pieces, each behind a state byte.
# With TELNET_CORPUS_DIR, also seeds for the telnet client: what ser2net says
# on a connection, its answers to the settings, data with doubled IAC.
#   tests/fuzz/make-seeds.sh BUILD CORPUS_DIR [TELNET_CORPUS_DIR]
set -eu
build=$1
corpus=$2
telnet=${3:-}
mkdir -p "$corpus"
if [ -n "$telnet" ]; then
    mkdir -p "$telnet"
    # a read size byte, then the server's bytes
    printf '\001\377\373\003\377\375\003\377\373\001\377\376\001\377\375\000\377\373\000\377\375\054' > "$telnet/greeting"
    printf '\007\377\372\054\145\000\000\341\000\377\360\377\372\054\146\010\377\360\377\372\054\151\001\377\360' > "$telnet/answers"
    printf '\077\176\136\120\202\377\377\000\000\000\172\377\372\054\153\000\377\360' > "$telnet/data"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 3000 /dev/urandom > "$work/fw.plk"
"$build/tools/mwire-sim/mwire-sim" --once --noise --capture "$work/capture" > "$work/sim.log" &
tries=0
until [ -s "$work/sim.log" ]; do
    tries=$((tries + 1)); [ $tries -le 200 ] || exit 1
    sleep 0.01
done
QT_QPA_PLATFORM=offscreen "$build/pelkoupdate" --port "$(head -n 1 "$work/sim.log")" \
    --file "$work/fw.plk" --download > /dev/null 2>&1
wait
for state in 0 1 2 3 4 5; do
    for length in 12 40 200 1000 4000; do
        { printf "\\$(printf '%03o' $state)"; head -c $length "$work/capture"; } > "$corpus/seed-$state-$length"
    done
done
echo "fuzz: $(ls "$corpus" | wc -l) seeds in $corpus"
