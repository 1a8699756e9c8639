#!/bin/sh
# Installs what is missing, builds the program and opens its window.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
# A tree configured before (with its tests, say) keeps its settings.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DKAVOSEN_TESTS=OFF -DKAVOSEN_BENCH=OFF
cmake --build build -j"$(nproc)" --target KAVOSEN_WIN
exec build/KAVOSEN_WIN
