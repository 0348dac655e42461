#!/usr/bin/env bash
# Installs what is missing, builds the router and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROUTER_TESTS=OFF
cmake --build "$root/build"
exec "$root/build/app/router"
