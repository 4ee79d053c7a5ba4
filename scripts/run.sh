#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it with the given arguments.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh" >&2
build="$top/build/release"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvolin-cli >&2
exec "$build/cli/tarvolin-cli" "$@"
