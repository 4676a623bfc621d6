#!/bin/sh
# The Windows build's serial link under Wine: builds vq2dl.exe, vqu.exe and serial_check.exe with mingw-w64,
# maps the Wine port COM1 to a pseudo-terminal whose other end is tests/wine/pty_peer, and checks what both ends
# see; then vq2dl.exe downloads into vqsim on the same port, and a station of two ports (COM1 and COM2) programs
# two vqsim controllers, one of which fails; counter_check.exe takes serial numbers from one counter in three
# processes at once. pty_peer and vqsim are the Linux build's, made in
# LINUX_BUILD (configured there if it is missing).
# Needs: cmake, g++, g++-mingw-w64-x86-64, nlohmann-json3-dev, wine, wine64 (.ci/run installs them).
#   sh scripts/wine-test.sh            (or: make wine-test)
#   WIN_BUILD=dir LINUX_BUILD=dir sh scripts/wine-test.sh   other build directories (build-mingw, build)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WIN_BUILD=${WIN_BUILD:-build-mingw}
LINUX_BUILD=${LINUX_BUILD:-build}
JOBS=${JOBS:-2}

for tool in cmake g++ x86_64-w64-mingw32-g++ wine wineserver; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "wine-test: $tool is missing (apt-get install cmake g++ g++-mingw-w64-x86-64 nlohmann-json3-dev wine wine64)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vq-wine-XXXXXX")
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
PEER_PID=
cleanup() {
    if [ -n "$PEER_PID" ]; then kill "$PEER_PID" 2>/dev/null || true; fi
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "wine-test: ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "wine-test: FAILED: $1"; }

# 1. The Windows build, warnings as errors, and the Linux side: the peer and the simulated controller.
echo "wine-test: building the Windows programs in $WIN_BUILD"
cmake -S . -B "$WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >"$WORK/configure.log" || { cat "$WORK/configure.log"; exit 1; }
cmake --build "$WIN_BUILD" -j "$JOBS" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; exit 1; }
VQ2DL="$WIN_BUILD/downloader/vq2dl.exe"
VQU="$WIN_BUILD/packer/vqu.exe"
CHECK="$WIN_BUILD/tests/wine/serial_check.exe"
echo "wine-test: building pty_peer and vqsim in $LINUX_BUILD"
{
    if [ ! -f "$LINUX_BUILD/CMakeCache.txt" ]; then cmake -S . -B "$LINUX_BUILD"; fi
    cmake --build "$LINUX_BUILD" --target pty_peer vqsim -j "$JOBS"
} >"$WORK/linux.log" 2>&1 || { cat "$WORK/linux.log"; exit 1; }
PEER="$LINUX_BUILD/tests/wine/pty_peer"
VQSIM="$LINUX_BUILD/simulator/vqsim"

# 2. A fresh Wine prefix. The server runs on its own session, and the first wine process of a server, whose helper
#    processes inherit its output and outlive it, writes to /dev/null so that nothing waits on them.
start_wine() {
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    sleep 0.3
    wine "$@" </dev/null >/dev/null 2>&1
}
echo "wine-test: preparing a Wine prefix"
start_wine wineboot -i
# COM1 is a stable link that each check points at its own pseudo-terminal. Wine reads the port mapping when its
# device services start, so the server is started again after the change.
LINK="$WORK/com1"
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$LINK" /f </dev/null >/dev/null 2>&1
# COM2 for the station of two ports.
wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /t REG_SZ /d "$WORK/com2" /f </dev/null >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
start_wine reg query 'HKLM\Software\Wine\Ports'
if [ "$(readlink "$WINEPREFIX/dosdevices/com1" || true)" != "$LINK" ]; then
    echo "wine-test: COM1 is not mapped to $LINK" >&2
    ls -l "$WINEPREFIX/dosdevices" >&2
    exit 1
fi

# Runs a Windows program with a time limit; its console text, without carriage returns, goes to $WORK/out.
RC=0
run_exe() {
    RC=0
    timeout 60 wine "$@" </dev/null >"$WORK/out.raw" 2>"$WORK/err" || RC=$?
    tr -d '\r' <"$WORK/out.raw" >"$WORK/out"
}

# Starts a peer program (pty_peer or vqsim) that puts a new pseudo-terminal behind $LINK, its output going to the
# file named first; waits for its first line, which it prints once the link points at the pseudo-terminal.
start_peer() {
    output=$1
    shift
    "$@" >"$output" 2>&1 &
    PEER_PID=$!
    i=0
    while [ ! -s "$output" ]; do
        i=$((i + 1))
        if [ $i -gt 100 ]; then echo "wine-test: $1 did not start" >&2; exit 1; fi
        sleep 0.05
    done
}

stop_peer() {
    wait "$PEER_PID" || true
    PEER_PID=
}

# Compares a transcript with what was expected (read from standard input).
same() {
    cat >"$WORK/expected"
    if diff -u "$WORK/expected" "$1" >"$WORK/diff"; then pass "$2"; else fail "$2"; cat "$WORK/diff"; fi
}

# 3. Open, the settings as the peer sees them, a read that times out, bytes both ways, a text reply, close.
start_peer "$WORK/peer" "$PEER" "$LINK"
run_exe "$CHECK" 1
stop_peer
sed 's/ ([0-9]* ms)$//' "$WORK/out" >"$WORK/check"
same "$WORK/check" "serial_check on COM1 (status $RC)" <<'EOF'
open COM1: ok
TX:  53
RX:  e0 00 3e
silent read: nothing read, timed out as expected
TX:  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f
TX:  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f
TX:  20 21 22 23 24 25 26 27
RX:  80 81 82 83 84 85 86 87 88 89 8a 8b 8c 8d 8e 8f
RX:  90 91 92 93 94 95 96 97 98 99 9a 9b 9c 9d 9e 9f
RX:  a0 a1 a2 a3 a4 a5 a6 a7

Boot>
expect: match
closed
EOF
[ "$RC" -eq 0 ] || fail "serial_check exit status $RC"
same "$WORK/peer" "the peer's view of COM1" <<'EOF'
peer: ready
peer: speed 38400, one stop bit, xon/xoff off, rts/cts off, raw input, raw output
peer: received 40 bytes, 00 to 27 in order
peer: closed by the other end
EOF
grep 'silent read' "$WORK/out" || true

# 4. A port that does not exist.
run_exe "$CHECK" -m 250
same "$WORK/out" "COM250 does not open" <<'EOF'
open COM250: failed (no such device \\.\COM250)
EOF
run_exe "$VQ2DL" -w -c 250
if [ "$RC" -eq 2 ] && grep -q "Could not open comm port 250\." "$WORK/out" &&
    grep -qF 'Reason: no such device \\.\COM250.' "$WORK/out"; then
    pass "vq2dl.exe -c 250 ends with status 2"
else
    fail "vq2dl.exe -c 250 ended with status $RC"
    cat "$WORK/out"
fi

# 5. vqu.exe starts on a bare Windows: its usage text and status 0.
run_exe "$VQU"
if [ "$RC" -eq 0 ]; then pass "vqu.exe runs"; else fail "vqu.exe ended with status $RC"; cat "$WORK/err"; fi

# 6. The port listing reads the registry's list of serial ports, where Wine puts its COM mapping.
run_exe "$VQ2DL" --list-ports
if [ "$RC" -eq 0 ] && grep -q '^COM1  device \\Device\\Serial[0-9]*$' "$WORK/out"; then
    pass "vq2dl.exe --list-ports names COM1"
else
    fail "vq2dl.exe --list-ports (status $RC)"
    cat "$WORK/out"
fi

# 7. Whole downloads by vq2dl.exe into the simulated controllers, one of each generation.
download() {
    start_peer "$WORK/sim" "$VQSIM" --generation "$1" --once --link "$LINK"
    # Negative delays wait as 0: Sleep would take them for "forever".
    run_exe "$VQ2DL" -c "$5" -d -1 -dw -1 "$2"
    stop_peer
    # What vq2dl.exe says it wrote must be what the controller took.
    written=$(sed -n 's/.*Write complete, [0-9]* records, \([0-9]*\) bytes\.$/\1/p' "$WORK/out")
    if [ "$RC" -eq 0 ] && grep -q "^$3" "$WORK/out" && [ -n "$written" ] &&
        grep -q "bytes written $written," "$WORK/sim"; then
        pass "vq2dl.exe -c $5 -d -1 -dw -1 $2 into a simulated VQ-$4 controller"
    else
        fail "vq2dl.exe -c $5 $2 into a simulated VQ-$4 controller (status $RC)"
        tail -n 15 "$WORK/out" "$WORK/sim"
    fi
}
# A port number, and the name the system lists.
download 2 samples/velquin2.s19 "Verification succeeded" II 1
download 1 samples/vq1-demo.s19 "Verify complete\." I COM1

# 7. How fast the Windows build exchanges blocks with the controller through Wine's COM mapping: read-back
#    exchanges per second beside write exchanges (figures only; they depend on the machine).
start_peer "$WORK/sim" "$VQSIM" --baud 115200 --once --link "$LINK"
run_exe "$CHECK" -r 1
stop_peer
if [ "$RC" -eq 0 ]; then
    pass "serial_check -r 1: 256 records written and read back at 115200 bit/s"
    sed 's/^/wine-test:   /' "$WORK/out"
else
    fail "serial_check -r 1 (status $RC)"
    cat "$WORK/out" "$WORK/sim"
fi

# 8. A station of two ports, COM1 and COM2, each a simulated controller (vqsim --count makes com0 to com2, of which
#    com1 and com2 are the two COM ports): child processes through CreateProcess and pipes; COM2 refuses a write.
#    The second port's name holds a blank, so the rerun line quotes it as cmd.exe reads it.
start_peer "$WORK/sim" "$VQSIM" --count 3 --link "$WORK/com" --fault 2:error@writeblock#2=0xE6
run_exe "$VQ2DL" --ports "A=COM1,B 2=COM2" -d -1 -dw -1 samples/velquin2.s19 --results "Z:$WORK/units.jsonl"
kill "$PEER_PID" 2>/dev/null || true
stop_peer
#    Not a console, so the pipe form: B 2's reason is one line, in words first, in its line and in the summary;
#    the records say where B 2 failed and what its flash holds.
REASON='wrong answer while writing: flash partly written (Access error when writing FLASH/EEPROM memory, e=0xE6)'
if [ "$RC" -eq 4 ] && grep -q '^\[A\] done in ' "$WORK/out" &&
    grep -q "^\[B 2\] FAILED (status 4) after [0-9.]* s: $REASON\$" "$WORK/out" &&
    grep -q "^B 2 .*  $REASON\$" "$WORK/out" && ! grep -q "$(printf '\r')." "$WORK/out.raw" &&
    grep -q '^1 of 2 succeeded\.$' "$WORK/out" &&
    grep -q '^Rerun the failed ports: .* --ports "B 2=COM2" ' "$WORK/out" &&
    [ "$(grep -c '"event":"unit"' "$WORK/units.jsonl" 2>/dev/null)" = 2 ] &&
    grep -q '"port":"A".*"ok":true.*"step":null,"kind":null,"flash":"written"' "$WORK/units.jsonl" &&
    grep -q '"port":"B 2".*"ok":false.*"step":"write","kind":"wrong-answer","flash":"partly-written"' "$WORK/units.jsonl"; then
    pass "vq2dl.exe --ports A=COM1,B 2=COM2: A programmed, B 2 failed with status 4 and its reason on one line in words, both recorded with step, kind and flash, rerun line for cmd.exe"
else
    fail "vq2dl.exe --ports A=COM1,B 2=COM2 (status $RC)"
    cat "$WORK/out" "$WORK/sim"
    cat "$WORK/units.jsonl" 2>/dev/null || true
fi

# 9. The serial counter between Windows processes: three takers at once never get one number twice, and a lock
#    that another process holds is waited for within its bound, then given up with the reason.
COUNTER="$WORK/serials"
echo "next=1" >"$COUNTER"
CCHECK="$WIN_BUILD/tests/wine/counter_check.exe"
TAKERS=
for i in 1 2 3; do
    timeout 120 wine "$CCHECK" take "Z:$COUNTER" 20 </dev/null >"$WORK/take$i" 2>&1 &
    TAKERS="$TAKERS $!"
done
TAKEN_OK=yes
for pid in $TAKERS; do wait "$pid" || TAKEN_OK=no; done
cat "$WORK/take1" "$WORK/take2" "$WORK/take3" | tr -d '\r' | sort -n >"$WORK/taken"
if [ "$TAKEN_OK" = yes ] && [ "$(uniq "$WORK/taken" | wc -l)" -eq 60 ] && [ "$(tail -n 1 "$WORK/taken")" = 60 ] &&
    [ "$(grep -c '"state":"taken"' "$COUNTER.journal")" -eq 60 ] && [ "$(tr -d '\r' <"$COUNTER")" = "next=61" ]; then
    pass "counter_check.exe: three processes at once took 60 numbers, each once, all in the journal"
else
    fail "counter_check.exe: three processes at once"
    cat "$WORK/take1" "$WORK/take2" "$WORK/take3" "$COUNTER"
fi
wine "$CCHECK" hold "Z:$COUNTER" 3000 </dev/null >"$WORK/hold" 2>&1 &
HOLDER=$!
i=0
while ! grep -q held "$WORK/hold" 2>/dev/null && [ $i -lt 200 ]; do i=$((i + 1)); sleep 0.05; done
run_exe "$CCHECK" try "Z:$COUNTER" 300
wait "$HOLDER" || true
if [ "$RC" -eq 1 ] && [ "$(cat "$WORK/out")" = "lock: held by another process for 300 ms" ]; then
    pass "counter_check.exe: a held lock is waited for 300 ms, then given up with the reason"
else
    fail "counter_check.exe: a held lock (status $RC)"
    cat "$WORK/out" "$WORK/hold"
fi
run_exe "$CCHECK" try "Z:$COUNTER" 300
if [ "$RC" -eq 0 ]; then pass "counter_check.exe: the lock is free again"; else fail "counter_check.exe: the lock stayed taken"; fi

# 10. The Windows package: a .zip with vq2dl.exe, vqu.exe, the README and the events' schema.
rm -f "$WIN_BUILD"/vq2dl-*.zip
(cd "$WIN_BUILD" && cpack -G ZIP) >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; exit 1; }
ZIP=$(ls "$WIN_BUILD"/vq2dl-*.zip)
cmake -E tar tf "$ZIP" | sort >"$WORK/zip"
if [ "$(tr '\n' ' ' <"$WORK/zip")" = "README.md events.schema.json vq2dl.exe vqu.exe " ]; then
    pass "$(basename "$ZIP") holds vq2dl.exe, vqu.exe, the README and the events' schema"
else
    fail "$(basename "$ZIP") holds: $(tr '\n' ' ' <"$WORK/zip")"
fi
echo "wine-test: the Windows package is $ZIP"

echo "wine-test: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
