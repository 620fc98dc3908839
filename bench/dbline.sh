#!/bin/sh
# What keeping records costs a line: 16 bays of 16 KiB units, each device
# paced at 57600 baud, with no database, with an SQLite file, and with a
# PostgreSQL server of the bench's own (initdb into a temporary directory;
# as root it runs as the tests' system user). Appends Markdown rows.
#   bench/dbline.sh BUILD OUT
set -eu
build=$1
out=$2
sim=$build/tools/mwire-sim/mwire-sim
updater=$build/pelkoupdate
n=16
work=$(mktemp -d)
chmod 755 "$work"
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_server() { if [ "$(id -u)" = 0 ]; then runuser -u pelkotest -- "$@"; else "$@"; fi; }
cleanup() {
    [ -z "$pgbin" ] || as_server "$pgbin/pg_ctl" -D "$work/pg" -m immediate -w stop > /dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c 16384 /dev/urandom > "$work/16k.plk"
row() { printf '| %s | %s |\n' "$1" "$2" >> "$out"; }

# The line of n paced devices once, with --db $1; prints the mean and the
# worst unit time, as the devices saw them.
line() {
    rm -f "$work"/sim*.log
    ports=""
    i=1
    while [ $i -le $n ]; do
        "$sim" --once --baud 57600 --spin-us 0 --out /dev/null > "$work/sim$i.log" &
        until [ -s "$work/sim$i.log" ]; do sleep 0.01; done
        ports="$ports --port $(head -n 1 "$work/sim$i.log")"
        i=$((i + 1))
    done
    XDG_STATE_HOME=$work/state "$updater" -platform offscreen --station --download --count $n \
        --file "$work/16k.plk" --db "$1" $ports > /dev/null 2>&1 \
        || { echo "bench: the line with --db $1 failed" >&2; exit 1; }
    wait
    cat "$work"/sim*.log | sed -n 's/.*image received:.* time \([0-9.]*\) s.*/\1/p' \
        | awk '{ s += $1; if ($1 > m) m = $1 } END { printf "%.3f %.3f", s / NR, m }'
}

# Rounds in turn, so a busy moment of the machine falls on every kind alike;
# each kind's median round counts.
pg=""
if [ -n "$pgbin" ] && { [ "$(id -u)" != 0 ] || id -u pelkotest > /dev/null 2>&1; }; then
    [ "$(id -u)" != 0 ] || chown pelkotest "$work"
    as_server "$pgbin/initdb" -D "$work/pg" -U pelko -A trust -E UTF8 --locale=C -N > /dev/null
    as_server "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w \
        -o "-k $work -c listen_addresses='' -p 5432" start > /dev/null
    pg="postgresql://pelko@$(printf '%s' "$work" | sed 's|/|%2F|g'):5432/postgres"
fi
for round in 1 2 3; do
    line none >> "$work/none"; echo >> "$work/none"
    line "$work/records.sqlite" >> "$work/sqlite"; echo >> "$work/sqlite"
    [ -z "$pg" ] || { line "$pg" >> "$work/pg"; echo >> "$work/pg"; }
done
median() { sort -n -k1 "$1" | sed -n 2p; }
read -r none_mean none_worst <<EOF2
$(median "$work/none")
EOF2
compare() {
    read -r mean worst <<EOF3
$(median "$1")
EOF3
    awk "BEGIN { printf \"%s s / %s s (%+.2f %% mean, %+.2f %% worst)\", $mean, $worst, 100 * ($mean - $none_mean) / $none_mean, 100 * ($worst - $none_worst) / $none_worst }"
}
row "$n bays, 16k units at 57600 baud, no database: unit time mean / worst (median of 3 lines)" "$none_mean s / $none_worst s"
row "$n bays, records in an SQLite file: the same, against none" "$(compare "$work/sqlite")"
if [ -n "$pg" ]; then
    row "$n bays, records in PostgreSQL through the spool: the same, against none" "$(compare "$work/pg")"
else
    row "$n bays, records in PostgreSQL" "not measured: no PostgreSQL server (make test-deps installs it)"
fi
