// Writes change messages to the monitor's socket without ever making the editor wait: messages go
// into a bounded queue and are written in the background; while the monitor is not there the
// sender keeps trying to connect, with a growing pause between attempts.

import * as net from 'net';
import { ChangeMessage, MessageType, encodeMessage } from './messages';

export type SenderState = 'connecting' | 'connected' | 'waiting' | 'stopped';

export interface SenderStatus {
    state: SenderState;
    /** Messages not yet handed to the socket (including the batch being written). */
    queued: number;
    /** Messages dropped because the queue was full, since the sender was made. */
    dropped: number;
    /** Documents whose changes are being dropped until their next save. */
    gapped: number;
    /** Pause before the next connection attempt while waiting, in milliseconds. */
    retryInMs: number;
}

export interface SenderOptions {
    socketPath: string;
    /** Most messages held at once; past that, messages are dropped (see enqueue). */
    maxQueued?: number;
    /** First pause after a failed or lost connection; doubles on each failure up to maxDelayMs. */
    initialDelayMs?: number;
    maxDelayMs?: number;
    /** Upper bound on the bytes of one write (one message may exceed it on its own). */
    maxBatchBytes?: number;
    log?: (line: string) => void;
    onStatus?: (status: SenderStatus) => void;
}

export const DEFAULT_MAX_QUEUED = 10000;

interface Entry {
    file: string;
    line: string;
}

export class QueuedSender {
    private readonly socketPath: string;
    private readonly maxQueued: number;
    private readonly initialDelayMs: number;
    private readonly maxDelayMs: number;
    private readonly maxBatchBytes: number;
    private readonly log: (line: string) => void;
    private readonly onStatus: (status: SenderStatus) => void;

    private queue: Entry[] = [];
    private head = 0;
    private inFlight: Entry[] | null = null;
    private socket: net.Socket | null = null;
    private timer: NodeJS.Timeout | null = null;
    private state: SenderState = 'stopped';
    private delayMs: number;
    private dropped = 0;
    private readonly gapped = new Set<string>();
    private outageLogged = false;
    private drainWaiters: Array<() => void> = [];
    private flushScheduled = false;

    constructor(options: SenderOptions) {
        this.socketPath = options.socketPath;
        this.maxQueued = options.maxQueued ?? DEFAULT_MAX_QUEUED;
        this.initialDelayMs = options.initialDelayMs ?? 250;
        this.maxDelayMs = options.maxDelayMs ?? 10000;
        this.maxBatchBytes = options.maxBatchBytes ?? 64 * 1024;
        this.log = options.log ?? (() => undefined);
        this.onStatus = options.onStatus ?? (() => undefined);
        this.delayMs = this.initialDelayMs;
    }

    get status(): SenderStatus {
        return {
            state: this.state,
            queued: this.pending(),
            dropped: this.dropped,
            gapped: this.gapped.size,
            retryInMs: this.state === 'waiting' ? this.delayMs : 0,
        };
    }

    start(): void {
        if (this.state !== 'stopped') {
            return;
        }
        this.connect();
    }

    /**
     * Queues one message; returns false when it was dropped. When the queue is full, the message
     * is dropped and its document is marked: all further changes of that document are dropped
     * too, until a save of it, or an "open" or "resync" (which bring the monitor to the editor's
     * text), finds room in the queue. The monitor thus never applies a change to a mirror that
     * missed an earlier one; it sees the dropped edits as a difference between its mirror and the
     * file on disk when the save arrives, and records them as such.
     */
    enqueue(message: ChangeMessage): boolean {
        const full = this.pending() >= this.maxQueued;
        // A save, or a message carrying the editor's whole text, brings the monitor back in step.
        const resumes = message.isSaved || message.type === MessageType.OPEN || message.type === MessageType.RESYNC;
        if (full || (this.gapped.has(message.file) && !resumes)) {
            this.dropped++;
            if (!this.gapped.has(message.file)) {
                this.gapped.add(message.file);
                this.log(`queue full (${this.maxQueued} messages): dropping changes of ${message.file} until its next save`);
            }
            this.notify();
            return false;
        }
        if (resumes && this.gapped.delete(message.file)) {
            this.log(`sending changes of ${message.file} again from its ${message.type} on`);
        }
        this.queue.push({ file: message.file, line: encodeMessage(message) });
        if (this.state === 'connected' && this.inFlight === null && !this.flushScheduled) {
            // Writing in the same tick would make the caller pay for the socket call.
            this.flushScheduled = true;
            setImmediate(() => {
                this.flushScheduled = false;
                this.flush();
            });
        }
        this.notify();
        return true;
    }

    /** Resolves once every queued message has been handed to the socket. */
    drained(): Promise<void> {
        if (this.pending() === 0) {
            return Promise.resolve();
        }
        return new Promise((resolve) => this.drainWaiters.push(resolve));
    }

    /**
     * Closes the connection once the batch being written has gone out; messages still queued
     * stay queued and go out after the next start().
     */
    stop(): void {
        if (this.timer !== null) {
            clearTimeout(this.timer);
            this.timer = null;
        }
        this.state = 'stopped';
        const socket = this.socket;
        this.socket = null;
        this.inFlight = null;
        socket?.destroySoon();
        if (this.pending() === 0) {
            this.resolveDrained();
        }
        this.notify();
    }

    private pending(): number {
        return this.queue.length - this.head + (this.inFlight?.length ?? 0);
    }

    private connect(): void {
        this.timer = null;
        this.state = 'connecting';
        const socket = net.createConnection(this.socketPath);
        this.socket = socket;
        socket.on('connect', () => {
            if (this.socket !== socket) {
                return;
            }
            this.state = 'connected';
            this.delayMs = this.initialDelayMs;
            this.outageLogged = false;
            this.log(`connected to the monitor at ${this.socketPath}`);
            this.notify();
            this.flush();
        });
        // The monitor never writes; reading only lets its end of the connection be noticed.
        socket.on('data', () => undefined);
        socket.on('error', (error: NodeJS.ErrnoException) => {
            if (this.socket === socket && !this.outageLogged) {
                this.outageLogged = true;
                this.log(`waiting for the monitor at ${this.socketPath} (${error.code ?? error.message})`);
            }
        });
        socket.on('close', () => this.lost(socket));
        this.notify();
    }

    private lost(socket: net.Socket): void {
        if (this.socket !== socket) {
            return;
        }
        this.socket = null;
        this.requeueInFlight();
        if (this.state === 'connected') {
            this.log('connection to the monitor lost');
        }
        if (!this.outageLogged) {
            this.outageLogged = true;
            this.log(`waiting for the monitor at ${this.socketPath}`);
        }
        this.state = 'waiting';
        this.timer = setTimeout(() => this.connect(), this.delayMs);
        this.notify();
        this.delayMs = Math.min(this.delayMs * 2, this.maxDelayMs);
    }

    /**
     * A batch whose write did not complete goes back to the front: a line the monitor got only
     * in part is dropped on its side when the connection ends, so it must be sent again.
     */
    private requeueInFlight(): void {
        if (this.inFlight === null) {
            return;
        }
        this.queue = this.inFlight.concat(this.queue.slice(this.head));
        this.head = 0;
        this.inFlight = null;
    }

    private flush(): void {
        const socket = this.socket;
        if (socket === null || this.state !== 'connected' || this.inFlight !== null) {
            return;
        }
        if (this.head === this.queue.length) {
            this.queue = [];
            this.head = 0;
            this.resolveDrained();
            return;
        }
        const batch: Entry[] = [];
        let bytes = 0;
        while (this.head < this.queue.length && (batch.length === 0 || bytes < this.maxBatchBytes)) {
            const entry = this.queue[this.head++];
            batch.push(entry);
            bytes += entry.line.length;
        }
        if (this.head > 4096 && this.head * 2 > this.queue.length) {
            this.queue = this.queue.slice(this.head);
            this.head = 0;
        }
        this.inFlight = batch;
        socket.write(batch.map((entry) => entry.line).join(''), 'utf8', (error) => {
            if (error || this.socket !== socket || this.inFlight !== batch) {
                return; // 'close' follows and puts the batch back
            }
            this.inFlight = null;
            this.notify();
            this.flush();
        });
    }

    private resolveDrained(): void {
        const waiters = this.drainWaiters;
        this.drainWaiters = [];
        for (const resolve of waiters) {
            resolve();
        }
    }

    private notify(): void {
        this.onStatus(this.status);
    }
}
