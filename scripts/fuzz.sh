#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 60).
# What a target finds is written to build-fuzz/artifacts/; the corpora grow in build-fuzz/corpus/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
"$root/scripts/setup.sh"
# Debian's clang; libFuzzer and the sanitizer runtimes come in libclang-rt-14-dev.
missing=()
for pkg in clang libclang-rt-14-dev; do
    [[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true) == "install ok installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DROUTER_SANITIZE=ON -DROUTER_FUZZ=ON -DROUTER_TESTS=OFF
cmake --build "$root/build-fuzz"
# Some targets write a file per input: a memory file system keeps that off the disk.
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then
    export TMPDIR=/dev/shm
fi
mkdir -p "$root/build-fuzz/artifacts"
for fuzzer in "$root"/build-fuzz/tests/fuzz/fuzz_*; do
    [[ -x "$fuzzer" ]] || continue
    name=$(basename "$fuzzer")
    corpus="$root/tests/fuzz/corpus/$name"
    mkdir -p "$root/build-fuzz/corpus/$name"
    echo "== $name for ${seconds}s"
    # The targets' own output (trace lines, warnings about bad input) is closed; libFuzzer's and the
    # sanitizers' reports still come.
    "$fuzzer" -max_total_time="$seconds" -close_fd_mask=3 -artifact_prefix="$root/build-fuzz/artifacts/$name-" \
        "$root/build-fuzz/corpus/$name" $([[ -d "$corpus" ]] && echo "$corpus")
done
