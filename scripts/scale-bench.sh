#!/usr/bin/env bash
# scale-bench.sh [REF] [benchmark options...]: the monitor on projects of thousands of tracked
# files (bench/scale_bench.cpp): start-up, processor time per keystroke and a checkout of new
# files. Given a git REF (e.g. main), the same benchmark is also built from that revision, in a
# worktree under
# build/, and both run one after the other, so each figure has its baseline from the same
# machine and moment. Options after REF go to the benchmark, e.g.
#   bash scripts/scale-bench.sh main --benchmark_filter='monitor_scale/(1|10001)_files' --keys=1000
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
ref=""
if [[ $# -gt 0 && $1 != -* ]]; then
    ref=$1
    shift
fi

build() {  # build <source tree> <build dir>, as scripts/build.sh does
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$2" --target scale_bench -j "$(nproc)" >/dev/null
}

build "$repo" "$repo/build/release"
if [[ -n $ref ]]; then
    base="$repo/build/scale-bench-base-src"
    git -C "$repo" worktree remove --force "$base" 2>/dev/null || true
    git -C "$repo" worktree add --detach "$base" "$ref" >/dev/null
    trap 'git -C "$repo" worktree remove --force "$base"' EXIT
    # The benchmark of this tree measures the revision's monitor.
    cp "$repo/bench/scale_bench.cpp" "$base/bench/scale_bench.cpp"
    build "$base" "$repo/build/scale-bench-base"
fi

echo "== load: $(uptime)"
if [[ -n $ref ]]; then
    echo "== $ref"
    "$repo/build/scale-bench-base/bench/scale_bench" "$@"
fi
echo "== this tree"
"$repo/build/release/bench/scale_bench" "$@"
echo "== load: $(uptime)"
