#!/usr/bin/env bash
# Builds the editor extension as extension/wardlet-watcher-0.0.1.vsix.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/install-node-deps.sh"
cd "$repo/extension"
npm run --silent package
echo "built $repo/extension/wardlet-watcher-0.0.1.vsix"
