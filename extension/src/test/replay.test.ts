import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import * as fs from 'node:fs';
import * as path from 'node:path';
import { test } from 'node:test';
import { FakeMonitor, applyToMirror, tempDir, waitFor } from './helpers';

const REPLAY = path.join(__dirname, '..', 'scripts', 'replay.js');

interface Run {
    code: Promise<number | null>;
    stdout: () => string;
    stderr: () => string;
}

function runReplay(...args: string[]): Run {
    const child = spawn(process.execPath, [REPLAY, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (chunk) => (stdout += chunk));
    child.stderr.on('data', (chunk) => (stderr += chunk));
    const code = new Promise<number | null>((resolve) => child.on('close', resolve));
    const killer = setTimeout(() => child.kill(), 20000);
    code.finally(() => clearTimeout(killer));
    return { code, stdout: () => stdout, stderr: () => stderr };
}

test('a replayed editing session leaves the monitor a mirror equal to the saved file', async (t) => {
    const dir = tempDir(t);
    const socketPath = path.join(dir, 'm.sock');
    const file = path.join(dir, 'doc.txt');
    const start = 'héllo 😀\r\nwörld\r\n';
    fs.writeFileSync(file, start);
    fs.mkdirSync(path.join(dir, '.wardlet'));
    const script = {
        workspaceFolders: [dir],
        documents: [{ file }],
        steps: [
            { changes: [{ rangeOffset: 8, rangeLength: 0, text: '!' }] },
            // Two cursors, reported from the end backwards as the editor does.
            {
                changes: [
                    { rangeOffset: 11, rangeLength: 0, text: '» ' },
                    { rangeOffset: 0, rangeLength: 0, text: '« ' },
                ],
            },
            { changes: [{ rangeOffset: 0, rangeLength: 2, text: '' }], reason: 'undo' },
            { clipboard: 'ça\nva', changes: [{ rangeOffset: 20, rangeLength: 0, text: 'ça\r\nva' }] },
            { changes: [{ rangeOffset: 6, rangeLength: 2, text: '🎉' }] },
            { save: true },
        ],
    };
    const scriptPath = path.join(dir, 'script.json');
    fs.writeFileSync(scriptPath, JSON.stringify(script));

    // The monitor starts only once the replay is waiting for it.
    const run = runReplay(socketPath, scriptPath);
    await waitFor(() => run.stderr().includes('waiting for the monitor'), 'the replay to wait');
    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    assert.equal(await run.code, 0, run.stderr());
    assert.match(run.stdout(), /sent 8 message/);

    const messages = monitor.messages;
    assert.deepEqual(
        messages.map((m) => [m.type, m.causedByUndoRedo, m.causedByCopyPaste]),
        [
            ['open', false, false],
            ['change', false, false],
            ['change', false, false],
            ['change', false, false],
            ['change', true, false],
            ['change', false, true],
            ['change', false, false],
            ['save', false, false],
        ],
    );
    let mirror: Buffer = Buffer.from(start, 'utf8');
    for (const message of messages) {
        mirror = applyToMirror(mirror, message);
    }
    const saved = fs.readFileSync(file);
    assert.equal(saved.toString('utf8'), 'héllo 🎉!\r\n» wörld\r\nça\r\nva');
    assert.deepEqual(mirror, saved, 'the mirror matches the file byte for byte');
});

test('the replay fails on a bad script and times out without a monitor', async (t) => {
    const dir = tempDir(t);
    const badScript = path.join(dir, 'bad.json');
    fs.writeFileSync(badScript, '{"steps": []}');
    const bad = runReplay(path.join(dir, 'm.sock'), badScript);
    assert.equal(await bad.code, 1);
    assert.match(bad.stderr(), /documents/);

    const file = path.join(dir, 'doc.txt');
    const script = path.join(dir, 'script.json');
    fs.mkdirSync(path.join(dir, '.wardlet'));
    fs.writeFileSync(script, JSON.stringify({ workspaceFolders: [dir], documents: [{ file, text: '' }], steps: [{ changes: [{ rangeOffset: 0, rangeLength: 0, text: 'x' }] }] }));
    const lonely = runReplay(path.join(dir, 'm.sock'), script, '--timeout-ms', '1000');
    assert.equal(await lonely.code, 2);
    assert.match(lonely.stdout(), /2 message\(s\) unsent/);
});

test('the replay applies same-offset changes as the editor does and sends only the project\'s files', async (t) => {
    const dir = tempDir(t);
    const project = path.join(dir, 'proj');
    fs.mkdirSync(path.join(project, '.wardlet'), { recursive: true });
    const socketPath = path.join(dir, 'm.sock');
    const file = path.join(project, 'a.txt');
    const settings = path.join(dir, 'settings.json');
    fs.writeFileSync(file, 'abcdef\n');
    fs.writeFileSync(settings, '{"token": "s3cret"}');
    const script = {
        workspaceFolders: [project, dir],
        documents: [{ file }, { file: settings }],
        steps: [
            // A replacement, then an insertion at the same offset; then two insertions at one offset.
            { file, changes: [{ rangeOffset: 2, rangeLength: 2, text: 'XY' }, { rangeOffset: 2, rangeLength: 0, text: '<' }] },
            { file, changes: [{ rangeOffset: 0, rangeLength: 0, text: '1' }, { rangeOffset: 0, rangeLength: 0, text: '2' }] },
            { file: settings, changes: [{ rangeOffset: 1, rangeLength: 0, text: '"more": 1, ' }] },
            { file: settings, save: true },
            { file, save: true },
        ],
    };
    const scriptPath = path.join(dir, 'script.json');
    fs.writeFileSync(scriptPath, JSON.stringify(script));
    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    const run = runReplay(socketPath, scriptPath);
    assert.equal(await run.code, 0, run.stderr());
    await waitFor(() => monitor.lines.length === 6, 'every line');
    const messages = monitor.messages;
    assert.ok(messages.every((m) => m.file === file), 'nothing of the settings file is sent');
    assert.equal(fs.readFileSync(file, 'utf8'), '21ab<XYef\n', 'the editor\'s order');
    let mirror: Buffer = Buffer.from('abcdef\n', 'utf8');
    for (const message of messages) {
        mirror = applyToMirror(mirror, message);
    }
    assert.deepEqual(mirror, fs.readFileSync(file));
});
