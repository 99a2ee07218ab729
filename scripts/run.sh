#!/usr/bin/env bash
# run.sh <project_dir>: installs what is missing, builds the monitor and runs it on the project.
set -euo pipefail
if [[ $# -lt 1 ]]; then
    echo "usage: scripts/run.sh <project_dir>" >&2
    exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$repo/build/release" -j "$(nproc)" --target wardlet
exec "$repo/build/release/app/wardlet" "$@"
