#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test;
# then runs the serial library's threaded tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DROUTER_SANITIZE=ON
cmake --build "$root/build-test"
ctest --test-dir "$root/build-test" --output-on-failure -j"$(nproc)"

# The serial library's threads under ThreadSanitizer: a build of its own, and only the test program
# without Qt, so that every report is about our code.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DROUTER_TSAN=ON
cmake --build "$root/build-tsan" --target serial_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$root/build-tsan/tests/serial/serial_tests"
