#!/usr/bin/env bash
# start-monitor.sh <bin_dir> <project_dir> [monitor options...]: prepares a project that has no
# .wardlet yet, tracking its common source files by pattern, then runs the monitor of <bin_dir>
# on it in the foreground.
set -euo pipefail
if [[ $# -lt 2 ]]; then
    echo "usage: scripts/start-monitor.sh <bin_dir> <project_dir> [monitor options...]" >&2
    exit 2
fi
bin=$1
shift
proj=$1

# Source files of the usual languages, at any depth (dependency and build folders are skipped).
default_patterns=(
    '*.c' '*.h' '*.cc' '*.cpp' '*.hpp' '*.py' '*.java' '*.js' '*.ts' '*.jsx' '*.tsx'
    '*.go' '*.rs' '*.rb' '*.php' '*.cs' '*.kt' '*.sh' '*.html' '*.css'
)

if [[ "$proj" != -* && ! -e "$proj/.wardlet" ]]; then
    echo "[run] $proj has no .wardlet yet: tracking its source files"
    args=()
    for pattern in "${default_patterns[@]}"; do
        args+=(--pattern "$pattern")
    done
    # Patterns that match nothing yet are recorded all the same; only the others are worth a line.
    tracked=$("$bin/wardlet-track" "$proj" "${args[@]}")
    grep -v '  (no file yet)$' <<<"$tracked" || true
    echo "[run] change the patterns with wardlet-track $proj --pattern GLOB / --remove-pattern GLOB"
fi
exec "$bin/wardlet" "$@"
