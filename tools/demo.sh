#!/bin/sh
# A capture without a serial device: the simulated instrument plays a meter on a pty mapped as
# COM1 and sends its report (ended by Ctrl-Z) a second after each open of the port, past the
# pause in which the program discards stale input. Press Receive.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -DKAVOSEN_TESTS=OFF -DKAVOSEN_BENCH=OFF
cmake --build build -j"$(nproc)"

# A COM1 of the demo's own, so a COM1 you have pinned is neither used nor touched.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"
mkfifo "$work/stdin"
build/kavosen-instrument --com 1 --file tools/demo-data.txt --baud 115200 --end ctrlz --repeat --delay 1000 \
    < "$work/stdin" > "$work/ready" &
# The instrument runs while its standard input stays open, that is, as long as this script.
exec 3> "$work/stdin"
until grep -q READY "$work/ready" 2>/dev/null; do sleep 0.1; done
echo "Instrument on $(cut -d' ' -f2 "$work/ready") as COM1: choose COM1 and 115200, press Receive."
build/KAVOSEN_WIN
