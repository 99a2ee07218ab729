import assert from 'node:assert/strict';
import * as fs from 'node:fs';
import * as path from 'node:path';
import { test } from 'node:test';
import { ChangeMessage, changeMessage, documentMessage, saveMessage } from '../messages';
import { QueuedSender, SenderOptions, SenderStatus } from '../sender';
import { FakeMonitor, tempDir, waitFor } from './helpers';

function edit(file: string, inserted: string): ChangeMessage {
    return changeMessage(file, { offset: 0, deletedCount: 0, inserted }, { undoRedo: false, copyPaste: false });
}

function makeSender(t: { after: (fn: () => void) => void }, options: SenderOptions) {
    const statuses: SenderStatus[] = [];
    const logged: string[] = [];
    const sender = new QueuedSender({
        initialDelayMs: 10,
        maxDelayMs: 40,
        ...options,
        log: (line) => logged.push(line),
        onStatus: (status) => statuses.push(status),
    });
    t.after(() => sender.stop());
    return { sender, statuses, logged };
}

test('messages reach a running monitor in order, one JSON object per line, across many writes', async (t) => {
    const socketPath = path.join(tempDir(t), 'm.sock');
    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    const { sender } = makeSender(t, { socketPath, maxBatchBytes: 200 });
    sender.start();
    const texts = Array.from({ length: 300 }, (_, i) => `${i}: é😀\n"quoted"\r\n`);
    texts.forEach((text) => sender.enqueue(edit('/p/a.txt', text)));
    await sender.drained();
    await waitFor(() => monitor.lines.length === texts.length, 'every line');
    assert.deepEqual(
        monitor.messages.map((m) => m.inserted),
        texts,
    );
    assert.equal(monitor.connections, 1);
    assert.equal(sender.status.state, 'connected');
});

test('while the monitor is absent messages wait, and go out in order once it starts', async (t) => {
    const socketPath = path.join(tempDir(t), 'm.sock');
    fs.writeFileSync(socketPath, ''); // a leftover that is no socket: connecting is refused
    const { sender, statuses, logged } = makeSender(t, { socketPath });
    sender.start();
    sender.enqueue(edit('/p/a.txt', 'one'));
    sender.enqueue(saveMessage('/p/a.txt', ''));
    await waitFor(() => statuses.filter((s) => s.state === 'waiting').length >= 4, 'several attempts');
    const pauses = statuses.filter((s) => s.state === 'waiting').map((s) => s.retryInMs);
    assert.deepEqual(pauses.slice(0, 4), [10, 20, 40, 40], 'the pause doubles up to its bound');
    assert.equal(sender.status.queued, 2);
    assert.equal(logged.filter((line) => line.startsWith('waiting')).length, 1, 'one log line per outage');

    fs.rmSync(socketPath);
    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    sender.enqueue(edit('/p/a.txt', 'two'));
    await waitFor(() => monitor.lines.length === 3, 'the queued lines');
    assert.deepEqual(
        monitor.messages.map((m) => m.type + ':' + m.inserted),
        ['change:one', 'save:', 'change:two'],
    );
    assert.equal(sender.status.queued, 0);
});

test('a monitor that goes away and comes back gets what was written in between', async (t) => {
    const socketPath = path.join(tempDir(t), 'm.sock');
    const first = await FakeMonitor.listen(socketPath);
    const { sender } = makeSender(t, { socketPath });
    sender.start();
    sender.enqueue(edit('/p/a.txt', 'before'));
    await waitFor(() => first.lines.length === 1, 'the first line');
    await first.close();
    await waitFor(() => sender.status.state === 'waiting', 'the loss to be noticed');
    sender.enqueue(edit('/p/a.txt', 'during'));

    const second = await FakeMonitor.listen(socketPath);
    t.after(() => second.close());
    sender.enqueue(edit('/p/a.txt', 'after'));
    await waitFor(() => second.lines.length === 2, 'the lines of the outage');
    assert.deepEqual(
        second.messages.map((m) => m.inserted),
        ['during', 'after'],
    );
    assert.equal(sender.status.state, 'connected');
    assert.equal(sender.status.retryInMs, 0);
});

test('a full queue drops the changes of a document until its next save, and keeps its bound', async (t) => {
    const socketPath = path.join(tempDir(t), 'm.sock');
    const { sender, logged } = makeSender(t, { socketPath, maxQueued: 3 });
    sender.start();
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a1')), true);
    assert.equal(sender.enqueue(edit('/p/b.txt', 'b1')), true);
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a2')), true);
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a3')), false, 'the queue is full');
    assert.equal(sender.enqueue(saveMessage('/p/a.txt', '')), false, 'a save finds no room either');
    assert.deepEqual(
        [sender.status.queued, sender.status.dropped, sender.status.gapped],
        [3, 2, 1],
    );

    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    await waitFor(() => monitor.lines.length === 3, 'the queued lines');
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a4')), false, 'a change of a document with a gap, despite room');
    assert.equal(sender.enqueue(edit('/p/b.txt', 'b2')), true, 'other documents go on');
    assert.equal(sender.enqueue(saveMessage('/p/a.txt', '')), true);
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a5')), true, 'after its save the document is sent again');
    await waitFor(() => monitor.lines.length === 6, 'the later lines');
    assert.deepEqual(
        monitor.messages.map((m) => m.type + ':' + m.inserted),
        ['change:a1', 'change:b1', 'change:a2', 'change:b2', 'save:', 'change:a5'],
    );
    assert.deepEqual([sender.status.dropped, sender.status.gapped], [3, 0]);
    assert.equal(logged.filter((line) => line.startsWith('queue full')).length, 1);
});

test('a resync of a document with a gap sends its changes again', async (t) => {
    const socketPath = path.join(tempDir(t), 'm.sock');
    const { sender } = makeSender(t, { socketPath, maxQueued: 1 });
    sender.start();
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a1')), true);
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a2')), false);
    const monitor = await FakeMonitor.listen(socketPath);
    t.after(() => monitor.close());
    await waitFor(() => monitor.lines.length === 1, 'the queued line');
    await sender.drained();
    const format = { encoding: 'utf8', eol: '\n', bom: false };
    assert.equal(sender.enqueue(documentMessage('resync', '/p/a.txt', 'a1a2', format, true)), true);
    assert.equal(sender.enqueue(edit('/p/a.txt', 'a3')), false, 'the queue holds one message');
    await sender.drained();
    assert.equal(sender.enqueue(documentMessage('open', '/p/a.txt', 'a1a2', format, false)), true);
    await waitFor(() => monitor.lines.length === 3, 'the later lines');
    assert.deepEqual(
        monitor.messages.map((m) => m.type + ':' + m.inserted),
        ['change:a1', 'resync:a1a2', 'open:'],
    );
});
