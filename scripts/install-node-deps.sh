#!/usr/bin/env bash
# Installs what the editor extension in extension/ needs to build and test: Node.js and npm
# (Debian's packages, when missing), the packages pinned by extension/package-lock.json, and the
# compiled JavaScript. Idempotent: with everything in place it only recompiles.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
ext="$repo/extension"

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    as_root=()
    if [[ $(id -u) -ne 0 ]]; then
        as_root=(sudo)
    fi
    echo "[install-node-deps] installing nodejs and npm"
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq nodejs npm >/dev/null
fi

cd "$ext"
# Install scripts are skipped: none is needed to compile, test or package, and one of the
# packaging tool's optional dependencies would try to fetch a prebuilt binary.
if [[ ! -d node_modules || package-lock.json -nt node_modules ]]; then
    echo "[install-node-deps] npm ci in extension/"
    npm ci --ignore-scripts --no-audit --no-fund
    touch node_modules
fi
npm run --silent compile
