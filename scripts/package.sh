#!/usr/bin/env bash
# package.sh [out_dir]: builds the monitor and its tools and writes the Debian package
# wardlet_<version>_amd64.deb into out_dir (default: the repository's root). Install it with
# `sudo apt install ./wardlet_<version>_amd64.deb`.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${1:-$repo}" && pwd)
bash "$repo/scripts/install-deps.sh"
bash "$repo/scripts/build-programs.sh"
build="$repo/build/release"
rm -rf "$build/package"
(cd "$build" && cpack -B "$build/package" >/dev/null)
deb=$(ls "$build/package"/wardlet_*_amd64.deb)
cp "$deb" "$out/"
echo "built $out/$(basename "$deb")"
