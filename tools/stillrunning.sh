#!/bin/sh
# While ctest runs long test programs side by side, a minute can pass with
# no program ending: after QUIET seconds with nothing new in LOG, say which
# programs are still running, so a person (or CI's stall timer) sees it is
# alive. Ends with the shell PID that started it.
#   tools/stillrunning.sh PID LOG [QUIET]
pid=$1
log=$2
quiet=${3:-20}
size=-1
still=0
while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    now=$(wc -c < "$log" 2>/dev/null || echo 0)
    if [ "$now" != "$size" ]; then
        size=$now
        still=0
        continue
    fi
    still=$((still + 1))
    [ "$still" -ge "$quiet" ] || continue
    still=0
    awk '/^ *Start +[0-9]+: / { running[$NF] = 1 }
         / Test +#[0-9]+: / { for (i = 1; i < NF; ++i) if ($i ~ /^#[0-9]+:$/) delete running[$(i + 1)] }
         END { line = ""; for (name in running) line = line " " name
               if (line != "") print "      still running:" line }' "$log"
done
