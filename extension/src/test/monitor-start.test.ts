import { strict as assert } from 'assert';
import * as fs from 'fs';
import * as net from 'net';
import * as os from 'os';
import * as path from 'path';
import { test } from 'node:test';
import { describeStart, ensureMonitor } from '../monitor-start';

function scratch(): { root: string; folder: string; bin: string; socket: string; marker: string } {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'wardlet-start-'));
    const folder = path.join(root, 'proj');
    fs.mkdirSync(path.join(folder, '.wardlet'), { recursive: true });
    const bin = path.join(root, 'bin');
    fs.mkdirSync(bin);
    const marker = path.join(root, 'started');
    // A fake monitor that records its arguments and prints a line to its log.
    fs.writeFileSync(path.join(bin, 'wardlet'), `#!/bin/sh\necho "$@" > '${marker}'\necho fake monitor output\n`, { mode: 0o755 });
    return { root, folder, bin, socket: path.join(root, 'editor.sock'), marker };
}

async function waitFor(file: string): Promise<string> {
    for (let i = 0; i < 200; i++) {
        if (fs.existsSync(file) && fs.readFileSync(file, 'utf8').length > 0) {
            return fs.readFileSync(file, 'utf8');
        }
        await new Promise((resolve) => setTimeout(resolve, 25));
    }
    throw new Error(`${file} never written`);
}

test('nothing answers: the monitor named on PATH is started for the folder, its output in monitor.log', async () => {
    const s = scratch();
    const start = await ensureMonitor(s.folder, {
        socketPath: s.socket,
        monitorPath: 'wardlet',
        startMonitor: true,
        env: { ...process.env, PATH: `${s.bin}:${process.env.PATH}` },
    });
    assert.equal(start.kind, 'started');
    assert.equal(await waitFor(s.marker), `${s.folder} --socket ${s.socket}\n`);
    assert.equal(await waitFor(path.join(s.folder, '.wardlet', 'monitor.log')), 'fake monitor output\n');
    assert.match(describeStart(s.folder, start), /monitor started for .*proj \(pid \d+, log .*monitor\.log\)/);
});

test('a monitor answering on the socket is left alone; starting can be turned off; a missing program is reported', async () => {
    const s = scratch();
    const server = net.createServer((socket) => socket.destroy());
    await new Promise<void>((resolve) => server.listen(s.socket, resolve));
    try {
        const running = await ensureMonitor(s.folder, { socketPath: s.socket, monitorPath: path.join(s.bin, 'wardlet'), startMonitor: true });
        assert.equal(running.kind, 'running');
    } finally {
        server.close();
    }
    const off = await ensureMonitor(s.folder, { socketPath: s.socket, monitorPath: path.join(s.bin, 'wardlet'), startMonitor: false });
    assert.equal(off.kind, 'disabled');
    assert.equal(fs.existsSync(s.marker), false);
    const missing = await ensureMonitor(s.folder, { socketPath: s.socket, monitorPath: path.join(s.root, 'no-such-program'), startMonitor: true });
    assert.equal(missing.kind, 'failed');
    assert.match(describeStart(s.folder, missing), /not started: cannot start/);
});
