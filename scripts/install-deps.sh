#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Wardlet needs.
# Idempotent: when everything is present it changes nothing and asks no registry.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libsqlite3-dev sqlite3 libssl-dev
    nlohmann-json3-dev libdtl-dev libfmt-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 chromium neovim
)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    as_root=(sudo)
fi

echo "[install-deps] installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
