#!/usr/bin/env bash
# build-programs.sh: builds the monitor and its tools (not the tests) in build/release, the
# build the test command shares, so that nothing is compiled twice.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build/release"
# Configured every time (a second or so): a tree configured before a pull learns new targets.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target programs
