#!/bin/sh
# A capture without a serial device: the simulated instrument plays a meter on a pty mapped as
# COM1 and sends its report (ended by Ctrl-Z) a second after each open of the port, past the
# pause in which the program discards stale input. Press Receive; close the window to end.
#
# KAVOSEN_BUILD names the build folder to use instead of build/ (the tests run the demo from
# theirs); it must have been built already.
set -e
cd "$(dirname "$0")/.."
if [ -n "$KAVOSEN_BUILD" ]; then
    build="$KAVOSEN_BUILD"
else
    build=build
    tools/deps.sh
    # A tree configured before (with its tests, say) keeps its settings.
    [ -f build/CMakeCache.txt ] || cmake -S . -B build -DKAVOSEN_TESTS=OFF -DKAVOSEN_BENCH=OFF
    cmake --build build -j"$(nproc)" --target KAVOSEN_WIN kavosen-instrument
fi

# A COM1 of the demo's own, so a COM1 you have pinned is neither used nor touched.
work="$(mktemp -d)"
instrument=""
# The instrument ends when its standard input closes; it is waited for, so that nothing of the
# demo outlives it.
finish() {
    exec 3>&-
    if [ -n "$instrument" ]; then
        kill "$instrument" 2>/dev/null || true
        wait "$instrument" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
export XDG_CONFIG_HOME="$work/config"
mkfifo "$work/stdin"
"$build/tools/kavosen-instrument" --com 1 --file tools/demo-data.txt --baud 115200 --end ctrlz \
    --repeat --delay 1000 < "$work/stdin" > "$work/ready" &
instrument=$!
# The instrument runs while its standard input stays open, that is, as long as this script.
exec 3> "$work/stdin"

# READY comes within milliseconds; ten seconds leave room for a loaded machine.
tries=0
until grep -q READY "$work/ready" 2>/dev/null; do
    if ! kill -0 "$instrument" 2>/dev/null || [ $tries -ge 100 ]; then
        echo "demo: the simulated instrument did not start ($build/tools/kavosen-instrument)" >&2
        exit 1
    fi
    sleep 0.1
    tries=$((tries + 1))
done
echo "Instrument on $(cut -d' ' -f2 "$work/ready") as COM1: choose COM1 and 115200, press Receive."
"$build/KAVOSEN_WIN"
