#!/usr/bin/env bash
# run.sh <project_dir> [monitor options...]: installs the Debian packages that are missing, builds
# the monitor and its tools, installs them into $WARDLET_PREFIX (default ~/.local) with
# `cmake --install`, prepares the project when it has no .wardlet, and runs the monitor on it in
# the foreground. A second run rebuilds nothing.
set -euo pipefail
if [[ $# -lt 1 ]]; then
    echo "usage: scripts/run.sh <project_dir> [monitor options...]" >&2
    exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
prefix=${WARDLET_PREFIX:-$HOME/.local}

bash "$repo/scripts/install-deps.sh"
bash "$repo/scripts/build-programs.sh"
cmake --install "$repo/build/release" --prefix "$prefix" >/dev/null
echo "[run] wardlet, wardlet-track, wardlet-send and wardlet-report are installed in $prefix/bin"
case ":$PATH:" in
    *":$prefix/bin:"*) ;;
    *) echo "[run] $prefix/bin is not on PATH; add it with: echo 'export PATH=\"$prefix/bin:\$PATH\"' >> ~/.profile" ;;
esac
exec bash "$repo/scripts/start-monitor.sh" "$prefix/bin" "$@"
