#!/usr/bin/env bash
# Installs what is missing, builds the router and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROUTER_TESTS=OFF
cmake --build "$root/build"
if [[ -x "$root/build/app/router" ]]; then
    exec "$root/build/app/router"
fi
echo "Built the protocol library; the router's main window is not part of this build yet."
