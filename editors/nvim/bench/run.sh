#!/usr/bin/env bash
# run.sh: the Neovim plugin's benchmark. Prints the editor's time per keystroke and per command
# without the plugin and with it (sending to a socket that reads and discards, as fast as it can),
# and the messages per second the plugin sustains. Needs nvim and python3.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
plugin=$(dirname "$here")
work=$(mktemp -d /tmp/wardlet-nvim-bench-XXXXXX)
trap 'kill "$sink" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/proj/.wardlet"

python3 - "$work/sink.sock" <<'PY' &
import socket, sys
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(sys.argv[1])
server.listen(4)
while True:
    conn, _ = server.accept()
    while conn.recv(1 << 16):
        pass
    conn.close()
PY
sink=$!
for _ in $(seq 100); do [[ -S "$work/sink.sock" ]] && break; sleep 0.05; done

run() {
    WARDLET_BENCH_PLUGIN=$1 WARDLET_BENCH_DIR="$work" WARDLET_BENCH_SOCKET="$work/sink.sock" \
        nvim --headless -u NONE -i NONE -n --cmd "set rtp^=$plugin" -c "luafile $here/bench.lua" 2>/dev/null
}
# Alternated, so that a machine busy for a while weighs on both.
for round in 1 2; do
    echo "== round $round, without the plugin"
    run 0
    echo "== round $round, with the plugin"
    run 1
done
