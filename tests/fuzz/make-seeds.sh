#!/bin/sh
# Seeds for the fuzzer from a real exchange: what mwire-sim sends during an
# update (with line noise), cut into pieces, each behind a state byte.
#   tests/fuzz/make-seeds.sh BUILD CORPUS_DIR
set -eu
build=$1
corpus=$2
mkdir -p "$corpus"
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
