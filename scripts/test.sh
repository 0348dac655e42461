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

# The forms' and the platform layer's tests once more with clang, whose UndefinedBehaviorSanitizer also
# reports a pointer member that is compared or converted before it was set (the test runs fill new memory
# with 0xbe) and arithmetic on a null pointer.
cmake -S "$root" -B "$root/build-clang" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DROUTER_SANITIZE=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build "$root/build-clang" --target core_tests app_tests dialogs_tests platform_tests
ctest --test-dir "$root/build-clang" --output-on-failure -j"$(nproc)" -L '^(core|app|dialogs|platform)_tests$'
