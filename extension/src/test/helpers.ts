// Shared pieces of the extension's tests: a monitor-side mirror, a small socket server that
// stands in for the monitor, and bounded waiting.

import * as fs from 'fs';
import * as net from 'net';
import * as os from 'os';
import * as path from 'path';
import { ChangeMessage } from '../messages';

/** Applies one message to a byte mirror the way the monitor does: delete, then insert, at the byte offset. */
export function applyToMirror(mirror: Buffer, message: ChangeMessage): Buffer {
    if (message.isSaved || message.offset === -1) {
        return mirror;
    }
    if (message.offset > mirror.length) {
        throw new Error(`offset ${message.offset} beyond the mirror's ${mirror.length} bytes`);
    }
    const end = Math.min(message.offset + message.deletedCount, mirror.length);
    return Buffer.concat([mirror.subarray(0, message.offset), Buffer.from(message.inserted, 'utf8'), mirror.subarray(end)]);
}

export function tempDir(t: { after: (fn: () => void) => void }): string {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'wardlet-ext-'));
    t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
    return dir;
}

/** Waits until `condition` holds, checking on every turn of the event loop; fails after `timeoutMs`. */
export async function waitFor(condition: () => boolean, what: string, timeoutMs = 5000): Promise<void> {
    const deadline = Date.now() + timeoutMs;
    while (!condition()) {
        if (Date.now() > deadline) {
            throw new Error(`timed out waiting for ${what}`);
        }
        await new Promise((resolve) => setTimeout(resolve, 5));
    }
}

/** Stands in for the monitor: accepts connections on a UNIX socket and keeps every line it reads. */
export class FakeMonitor {
    readonly lines: string[] = [];
    connections = 0;
    private readonly server: net.Server;
    private readonly sockets = new Set<net.Socket>();

    private constructor(readonly socketPath: string) {
        this.server = net.createServer((socket) => {
            this.connections++;
            this.sockets.add(socket);
            let pending = '';
            socket.setEncoding('utf8');
            socket.on('data', (chunk: string) => {
                pending += chunk;
                let end: number;
                while ((end = pending.indexOf('\n')) >= 0) {
                    const line = pending.slice(0, end);
                    pending = pending.slice(end + 1);
                    if (line !== '') {
                        this.lines.push(line);
                    }
                }
            });
            socket.on('close', () => this.sockets.delete(socket));
        });
    }

    static async listen(socketPath: string): Promise<FakeMonitor> {
        const monitor = new FakeMonitor(socketPath);
        await new Promise<void>((resolve, reject) => {
            monitor.server.once('error', reject);
            monitor.server.listen(socketPath, () => resolve());
        });
        return monitor;
    }

    get messages(): ChangeMessage[] {
        return this.lines.map((line) => JSON.parse(line) as ChangeMessage);
    }

    get connected(): number {
        return this.sockets.size;
    }

    /** Ends the process side of every connection and stops listening, as a monitor that exits. */
    async close(): Promise<void> {
        for (const socket of this.sockets) {
            socket.destroy();
        }
        await new Promise<void>((resolve) => this.server.close(() => resolve()));
    }
}
