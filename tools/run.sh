#!/bin/sh
# Installs what is missing, builds the program and opens its window.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -DKAVOSEN_TESTS=OFF -DKAVOSEN_BENCH=OFF
cmake --build build -j"$(nproc)"
exec build/KAVOSEN_WIN
