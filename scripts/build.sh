#!/usr/bin/env bash
# build.sh <name> [cmake options...]: configures and builds build/<name> on the machine's cores.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
name=$1
shift
cmake -S "$repo" -B "$repo/build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$repo/build/$name" -j "$(nproc)"
