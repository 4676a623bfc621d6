#!/bin/sh
# The station demo: four simulated controllers at once, the third of which refuses a block write; vq2dl --ports
# programs them all, shows the table (on a terminal) or one line per step, the summary and the rerun line.
set -eu
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
case $build in /*) ;; *) build=$top/$build ;; esac
work=$(mktemp -d "${TMPDIR:-/tmp}/vq-station.XXXXXX")
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

: >"$work/sim.out"
"$build/simulator/vqsim" --count 4 --link "$work/slot-" --fault 2:error@writeblock#3=0xE6 --baud 19200 \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
tries=0
while [ "$(grep -c '^/dev/' "$work/sim.out")" -lt 4 ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
if [ "$(grep -c '^/dev/' "$work/sim.out")" -ne 4 ]; then
    echo "demo-station: the simulated controllers did not start:" >&2
    cat "$work/sim.out" >&2
    exit 1
fi

ports="A=$work/slot-0,B=$work/slot-1,C=$work/slot-2,D=$work/slot-3"
echo "Four simulated VQ-II controllers; the one in slot C refuses its third block write."
echo "\$ vq2dl --ports A=...,B=...,C=...,D=... -b -dw 0 samples/velquin2.s19 --results units.jsonl --log-dir logs"
echo
status=0
"$build/downloader/vq2dl" --ports "$ports" -b -dw 0 samples/velquin2.s19 --results "$work/units.jsonl" \
    --log-dir "$work/logs" || status=$?
echo
echo "(vq2dl exit status $status: the highest status of the ports)"
echo "Results file, one line per unit:"
sed 's/^/   /' "$work/units.jsonl"
echo "Logs: $(ls "$work/logs" | tr '\n' ' ')"
# The rerun line points at the simulated controllers in $work: at a terminal they stay until Enter, so that the
# line can be tried from another terminal; elsewhere they go now, and the line with them.
if [ -t 0 ] && [ -t 1 ]; then
    echo
    echo "The simulated controllers stay until you press Enter: paste the rerun line above into another"
    echo "terminal to try it (slot C fails again)."
    read -r _ || true
else
    echo "(The simulated controllers in $work end with this demo: the rerun line above no longer finds them.)"
fi
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
# The demo succeeds when the station did what it should: three ports programmed, slot C failed with status 4.
if [ "$status" -ne 4 ] || [ "$(grep -c '"ok":true' "$work/units.jsonl")" -ne 3 ]; then
    echo "demo-station: the station did not end as expected" >&2
    exit 1
fi
