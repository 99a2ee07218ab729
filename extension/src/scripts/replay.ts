// replay <socket-path> <script.json> [--timeout-ms N]
//
// Plays a scripted sequence of editor events through the extension's own watcher and sender
// against a monitor socket, as an editor would. Script:
//   { "documents": [ { "file": "/abs/path", "text": "optional; default: the file's content" } ],
//     "steps": [ { "file": "...", "changes": [ { "rangeOffset": 0, "rangeLength": 0, "text": "x" } ],
//                  "reason": "undo" | "redo", "clipboard": "...", "paste": true },
//                { "file": "...", "save": true, "write": true },
//                { "file": "...", "eol": "\r\n" } ] }
// Positions are UTF-16 code units, as the editor gives them. "file" may be left out when the
// script has one document. A save writes the document to its file first (unless "write" is
// false), as the editor does before it reports the save. Exits 0 once every message went out,
// 1 on a bad script, 2 when the messages could not all be sent in time.

import * as fs from 'fs';
import * as path from 'path';
import { ChangeMessage } from '../messages';
import { QueuedSender } from '../sender';
import { Utf16Change } from '../shadow';
import { ChangeReason, DocumentWatcher } from '../watcher';
import { ScriptedDocument } from './scripted-document';

interface ScriptStep {
    file?: string;
    changes?: Utf16Change[];
    reason?: 'undo' | 'redo';
    clipboard?: string;
    paste?: boolean;
    save?: boolean;
    write?: boolean;
    eol?: string;
}

interface Script {
    documents: Array<{ file: string; text?: string }>;
    steps: ScriptStep[];
}

export interface ReplayResult {
    sent: number;
    unsent: number;
}

/** Plays the script; resolves once every message was handed to the socket or the time ran out. */
export async function replay(socketPath: string, script: Script, timeoutMs: number): Promise<ReplayResult> {
    const documents = new Map<string, ScriptedDocument>();
    for (const entry of script.documents) {
        const file = path.resolve(entry.file);
        documents.set(file, new ScriptedDocument(file, entry.text ?? fs.readFileSync(file, 'utf8')));
    }
    const pick = (step: ScriptStep): ScriptedDocument => {
        const file = step.file !== undefined ? path.resolve(step.file) : documents.size === 1 ? [...documents.keys()][0] : '';
        const document = documents.get(file);
        if (!document) {
            throw new Error(`step names no document of the script: ${step.file ?? '(none)'}`);
        }
        return document;
    };

    let sent = 0;
    let clipboard = '';
    const log = (line: string) => process.stderr.write(`replay: ${line}\n`);
    const sender = new QueuedSender({ socketPath, maxQueued: Number.MAX_SAFE_INTEGER, initialDelayMs: 50, maxDelayMs: 500, log });
    const watcher = new DocumentWatcher({
        send: (message: ChangeMessage) => {
            sent++;
            sender.enqueue(message);
        },
        readClipboard: () => Promise.resolve(clipboard),
        log,
        documentLength: (document) => document.getText().length,
    });
    sender.start();
    documents.forEach((document) => watcher.open(document));

    for (const step of script.steps) {
        const document = pick(step);
        if (step.clipboard !== undefined) {
            clipboard = step.clipboard;
        }
        if (step.changes) {
            document.edit(step.changes);
            const reason = step.reason === 'undo' ? ChangeReason.Undo : step.reason === 'redo' ? ChangeReason.Redo : undefined;
            if (step.paste) {
                watcher.beginPaste();
            }
            watcher.change({ document, contentChanges: step.changes, reason });
            if (step.paste) {
                watcher.endPaste();
            }
        }
        if (step.eol !== undefined) {
            document.rewrite(document.getText().replace(/\r?\n/g, step.eol));
            watcher.change({ document, contentChanges: [] });
        }
        if (step.save) {
            if (step.write !== false) {
                fs.writeFileSync(document.uri.fsPath, document.getText(), 'utf8');
            }
            watcher.save(document);
        }
    }

    let timer: NodeJS.Timeout | undefined;
    const timeout = new Promise<void>((resolve) => (timer = setTimeout(resolve, timeoutMs)));
    await Promise.race([watcher.settled().then(() => sender.drained()), timeout]);
    clearTimeout(timer);
    const unsent = sender.status.queued;
    sender.stop();
    return { sent: sent - unsent, unsent };
}

async function main(argv: string[]): Promise<number> {
    const args = [...argv];
    let timeoutMs = 10000;
    const flag = args.indexOf('--timeout-ms');
    if (flag >= 0) {
        timeoutMs = Number(args[flag + 1]);
        args.splice(flag, 2);
    }
    if (args.length !== 2 || !Number.isFinite(timeoutMs)) {
        process.stderr.write('usage: replay <socket-path> <script.json> [--timeout-ms N]\n');
        return 1;
    }
    let script: Script;
    try {
        script = JSON.parse(fs.readFileSync(args[1], 'utf8')) as Script;
        if (!Array.isArray(script.documents) || !Array.isArray(script.steps)) {
            throw new Error('a script needs "documents" and "steps" arrays');
        }
    } catch (error) {
        process.stderr.write(`replay: cannot read ${args[1]}: ${String(error)}\n`);
        return 1;
    }
    try {
        const result = await replay(args[0], script, timeoutMs);
        if (result.unsent > 0) {
            process.stdout.write(`replay: timed out with ${result.unsent} message(s) unsent\n`);
            return 2;
        }
        process.stdout.write(`replay: sent ${result.sent} message(s) to ${args[0]}\n`);
        return 0;
    } catch (error) {
        process.stderr.write(`replay: ${String(error)}\n`);
        return 1;
    }
}

if (require.main === module) {
    main(process.argv.slice(2)).then((code) => {
        process.exitCode = code;
    });
}
