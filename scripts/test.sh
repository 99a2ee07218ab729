#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three ways: a plain build,
# AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer for the concurrency suites.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/install-deps.sh"
if [[ -f "$repo/scripts/install-node-deps.sh" ]]; then
    bash "$repo/scripts/install-node-deps.sh"
fi

jobs=$(nproc)
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" -DWARDLET_BENCHMARKS=OFF)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== plain build"
bash "$repo/scripts/build.sh" release
ctest --test-dir "$repo/build/release" -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash "$repo/scripts/build.sh" asan -DWARDLET_SANITIZER=address "${sanitizer_flags[@]}"
# The extension suite has no C++ to sanitize, and the package is made from the plain build;
# the plain pass runs both.
ctest --test-dir "$repo/build/asan" -j "$jobs" --output-on-failure -LE "extension|package"

echo "== ThreadSanitizer (concurrency suites)"
bash "$repo/scripts/build.sh" tsan -DWARDLET_SANITIZER=thread "${sanitizer_flags[@]}"
ctest --test-dir "$repo/build/tsan" -j "$jobs" --output-on-failure -L concurrency
