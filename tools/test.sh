#!/bin/sh
# Installs what is missing, builds the program and its tests, and runs the whole suite: once
# as built, then the whole program on real serial drivers in a virtual machine, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the capture and framework tests under
# ThreadSanitizer; and builds the Debian package, installs, starts and purges it.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
jobs="$(nproc)"

# The tests on, also in a tree that tools/run.sh or tools/demo.sh configured without them.
cmake -S . -B build -DKAVOSEN_TESTS=ON -DKAVOSEN_BENCH=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs"
# The whole program on real serial drivers, in a virtual machine. Alone, not as a ctest test
# beside the others: the guest's two processors take both cores, and its load test must find
# them busy with its own load only.
tests/vm/run.sh build/tests/vm/test_vm
tests/package/test.sh

cmake -S . -B build-asan -DKAVOSEN_BENCH=OFF -DKAVOSEN_SANITIZE=address,undefined
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

cmake -S . -B build-tsan -DKAVOSEN_BENCH=OFF -DKAVOSEN_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target test_capture test_framework test_framework_io
export TSAN_OPTIONS="suppressions=$(pwd)/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
export QT_QPA_PLATFORM=offscreen
build-tsan/tests/capture/test_capture
build-tsan/tests/platform/framework/test_framework --gtest_filter='CrossThread.*:MessageMap.*'
build-tsan/tests/platform/framework/io/test_framework_io --gtest_filter='AfxBeginThread.*:AfxWaitForThreads.*:Sleep.*'
