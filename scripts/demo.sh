#!/bin/sh
# The demo: download the sample VQ-II firmware into the simulated controller and show what both sides did.
set -eu
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
case $build in /*) ;; *) build=$top/$build ;; esac
work=$(mktemp -d "${TMPDIR:-/tmp}/vq-demo.XXXXXX")
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/simulator/vqsim" --generation 2 --once --dump "$work/flash.s19" >"$work/sim.out" 2>&1 &
sim_pid=$!
tries=0
while [ ! -s "$work/sim.out" ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
device=$(head -n 1 "$work/sim.out")
case $device in
/dev/*) ;;
*) echo "demo: the simulated controller did not start: $device" >&2; exit 1 ;;
esac

echo "Simulated VQ-II controller on $device"
echo "\$ vq2dl -c $device samples/velquin2.s19"
echo
status=0
"$build/downloader/vq2dl" -c "$device" samples/velquin2.s19 || status=$?
echo "(vq2dl exit status $status)"

# The simulator ends by itself once the downloader has let go of the line.
tries=0
while kill -0 "$sim_pid" 2>/dev/null && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
echo
echo "Simulator:"
tail -n +2 "$work/sim.out" | sed 's/^/   /'
exit $status
