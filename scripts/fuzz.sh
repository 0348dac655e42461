#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
"$root/scripts/setup.sh"
command -v clang++ >/dev/null || { sudo=""; [[ $(id -u) -eq 0 ]] || sudo=sudo; $sudo apt-get install -y clang; }
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DROUTER_SANITIZE=ON -DROUTER_FUZZ=ON -DROUTER_TESTS=OFF
cmake --build "$root/build-fuzz"
for fuzzer in "$root"/build-fuzz/tests/fuzz/fuzz_*; do
    [[ -x "$fuzzer" ]] || continue
    corpus="$root/tests/fuzz/corpus/$(basename "$fuzzer")"
    mkdir -p "$root/build-fuzz/corpus/$(basename "$fuzzer")"
    echo "== $(basename "$fuzzer") for ${seconds}s"
    "$fuzzer" -max_total_time="$seconds" "$root/build-fuzz/corpus/$(basename "$fuzzer")" \
        $([[ -d "$corpus" ]] && echo "$corpus")
done
