// Starting the monitor for a project when nothing answers on its socket. Kept free of the editor
// so that it runs under the plain test runner.

import { spawn } from 'child_process';
import * as fs from 'fs';
import * as net from 'net';
import * as path from 'path';

/** What became of one project folder's monitor. */
export type MonitorStart =
    | { kind: 'running' } // something answers on the socket
    | { kind: 'disabled' } // nothing answers, and starting it is turned off
    | { kind: 'started'; pid: number; log: string }
    | { kind: 'failed'; reason: string };

/** Whether a process accepts connections on the socket at `socketPath`, within `timeoutMs`. */
export function socketAnswers(socketPath: string, timeoutMs = 1000): Promise<boolean> {
    return new Promise((resolve) => {
        const socket = net.createConnection(socketPath);
        const done = (answer: boolean) => {
            clearTimeout(timer);
            socket.destroy();
            resolve(answer);
        };
        const timer = setTimeout(() => done(false), timeoutMs);
        socket.once('connect', () => done(true));
        socket.once('error', () => done(false));
    });
}

export interface StartOptions {
    socketPath: string;
    /** The setting wardlet.monitorPath: the executable, a bare name being looked up on PATH. */
    monitorPath: string;
    /** The setting wardlet.startMonitor. */
    startMonitor: boolean;
    env?: NodeJS.ProcessEnv;
}

/**
 * Starts `<monitorPath> <folder>` detached, its output appended to <folder>/.wardlet/monitor.log,
 * when `folder` holds a .wardlet directory and nothing answers on the socket. The monitor is not
 * a child that the editor waits for or stops: it keeps running after the editor closes.
 */
export async function ensureMonitor(folder: string, options: StartOptions): Promise<MonitorStart> {
    if (await socketAnswers(options.socketPath)) {
        return { kind: 'running' };
    }
    if (!options.startMonitor) {
        return { kind: 'disabled' };
    }
    const logPath = path.join(folder, '.wardlet', 'monitor.log');
    let logFd: number;
    try {
        logFd = fs.openSync(logPath, 'a');
    } catch (error) {
        return { kind: 'failed', reason: `cannot open ${logPath}: ${(error as Error).message}` };
    }
    try {
        // The monitor serves the socket this editor sends to, whichever the setting names.
        const child = spawn(options.monitorPath || 'wardlet', [folder, '--socket', options.socketPath], {
            cwd: folder,
            detached: true,
            stdio: ['ignore', logFd, logFd],
            env: options.env ?? process.env,
        });
        const outcome = await new Promise<MonitorStart>((resolve) => {
            child.once('error', (error) => resolve({ kind: 'failed', reason: `cannot start ${options.monitorPath}: ${error.message}` }));
            child.once('spawn', () => resolve({ kind: 'started', pid: child.pid ?? 0, log: logPath }));
        });
        child.unref();
        return outcome;
    } finally {
        fs.closeSync(logFd);
    }
}

/** The status bar's words for a start. */
export function describeStart(folder: string, start: MonitorStart): string {
    switch (start.kind) {
        case 'running':
            return `monitor already running for ${folder}`;
        case 'disabled':
            return `no monitor answers for ${folder}; wardlet.startMonitor is off`;
        case 'started':
            return `monitor started for ${folder} (pid ${start.pid}, log ${start.log})`;
        case 'failed':
            return `monitor for ${folder} not started: ${start.reason}`;
    }
}
