#!/bin/sh
# The fixture loop demo: two simulated fixtures whose units a scripted operator swaps through vqsim's control
# FIFO; vq2dl --loop programs each new unit once, shows what the operator must do, and ends after three units a
# slot with the summary.
set -eu
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
case $build in /*) ;; *) build=$top/$build ;; esac
work=$(mktemp -d "${TMPDIR:-/tmp}/vq-loop.XXXXXX")
sim_pid=
loop_pid=
cleanup() {
    if [ -n "$loop_pid" ]; then kill "$loop_pid" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

: >"$work/sim.out"
"$build/simulator/vqsim" --count 2 --link "$work/slot-" --control "$work/control" --baud 57600 \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
tries=0
while [ "$(grep -c '^/dev/' "$work/sim.out")" -lt 2 ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
if [ "$(grep -c '^/dev/' "$work/sim.out")" -ne 2 ]; then
    echo "demo-loop: the simulated fixtures did not start:" >&2
    cat "$work/sim.out" >&2
    exit 1
fi

echo "Two simulated fixtures, A and B; an operator swaps their units three times each."
echo "\$ vq2dl --ports A=...,B=... --loop --loop-count 3 -dw 0 samples/velquin2.s19 --results units.jsonl"
echo
"$build/downloader/vq2dl" --ports "A=$work/slot-0,B=$work/slot-1" --loop --loop-count 3 -dw 0 \
    samples/velquin2.s19 --results "$work/units.jsonl" &
loop_pid=$!

# The operator: a unit's removal is seen in the results file (one line per unit ended); then the fixture is
# left empty for 3 s, long enough for the loop to see the unit gone, and a fresh unit goes in.
seen=0
tries=0
while [ $seen -lt 6 ] && [ $tries -lt 1200 ] && kill -0 "$loop_pid" 2>/dev/null; do
    ended=$(grep -c '"event":"unit"' "$work/units.jsonl" 2>/dev/null || true)
    if [ "${ended:-0}" -gt $seen ]; then
        seen=$((seen + 1))
        line=$(sed -n "${seen}p" "$work/units.jsonl")
        # The third unit of a slot is its last: it stays in.
        case $line in *'"cycle":3'*) continue ;; esac
        index=0
        case $line in *'"port":"B"'*) index=1 ;; esac
        echo "detach $index" >"$work/control"
        sleep 3
        echo "attach $index" >"$work/control"
    fi
    sleep 0.1
    tries=$((tries + 1))
done
status=0
wait "$loop_pid" || status=$?
loop_pid=
echo
echo "(vq2dl exit status $status)"
echo "Results file, one line per unit:"
sed 's/^/   /' "$work/units.jsonl"
# The demo succeeds when every unit was programmed once and recorded: six lines, all ok.
if [ "$status" -ne 0 ] || [ "$(grep -c '"ok":true' "$work/units.jsonl")" -ne 6 ]; then
    echo "demo-loop: the loop did not end as expected" >&2
    exit 1
fi
