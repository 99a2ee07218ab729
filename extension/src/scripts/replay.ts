// replay <socket-path> <script.json> [--timeout-ms N]
//
// Plays a scripted sequence of editor events through the extension's own watcher and sender
// against a monitor socket, as an editor would. Script:
//   { "workspaceFolders": [ "/abs/project" ],   (the editor's folders; the project rule applies)
//     "projectFolder": "optional, as the wardlet.projectFolder setting",
//     "documents": [ { "file": "/abs/path", "text": "optional; default: the file's content",
//                      "encoding": "optional editor encoding id, e.g. iso88591" } ],
//     "steps": [ { "file": "...", "changes": [ { "rangeOffset": 0, "rangeLength": 0, "text": "x" } ],
//                  "reason": "undo" | "redo", "clipboard": "...", "paste": true, "unreported": true },
//                { "file": "...", "save": true, "write": true },
//                { "file": "...", "eol": "\r\n" },
//                { "file": "...", "close": true },
//                { "file": "...", "open": true, "text": "optional" },
//                { "file": "...", "rename": "/abs/new/path" },
//                { "firstSave": "/abs/new/path", "text": "..." } ] }
// Positions are UTF-16 code units, as the editor gives them; the changes of one step apply the
// way the editor applies them. "file" may be left out when the script has one document. A
// document's text defaults to its file decoded as the editor does (byte order mark dropped,
// mixed line ends made one); a text that differs from the file is a document with unsaved
// changes when the editor starts. A save writes the document to its file first (unless "write"
// is false: the file then keeps the bytes the script wrote), as the editor does before it
// reports the save. "open" opens a closed document again, from its file unless a text is
// given; "rename" moves the file and its document; "firstSave" writes an untitled document's text
// to a new file and reports it as the editor does when such a document is first saved. "unreported" changes the document without
// telling the watcher, as a lost event would. A save encodes the text as the document's encoding
// (a byte order mark for "utf8bom"; "iso88591", "utf16le", "utf16be"). Exits 0 once every message went out, 1 on a
// bad script, 2 when the messages could not all be sent in time.

import * as fs from 'fs';
import * as path from 'path';
import { bomEncoding, decodeDisk } from '../disk-text';
import { ChangeMessage } from '../messages';
import { ProjectFolders } from '../project';
import { QueuedSender } from '../sender';
import { Utf16Change } from '../shadow';
import { ChangeReason, DocumentWatcher } from '../watcher';
import { ScriptedDocument, loadedText } from './scripted-document';

interface ScriptStep {
    file?: string;
    changes?: Utf16Change[];
    reason?: 'undo' | 'redo';
    clipboard?: string;
    paste?: boolean;
    /** The document changes without the watcher hearing of it, as with a lost event. */
    unreported?: boolean;
    save?: boolean;
    write?: boolean;
    eol?: string;
    close?: boolean;
    open?: boolean;
    text?: string;
    rename?: string;
    firstSave?: string;
}

interface Script {
    workspaceFolders: string[];
    projectFolder?: string;
    documents: Array<{ file: string; text?: string; encoding?: string }>;
    steps: ScriptStep[];
}

/** A document as the editor loads it from its file. */
function load(file: string, text?: string, encoding?: string): ScriptedDocument {
    if (text !== undefined) {
        return new ScriptedDocument(file, text, 'file', encoding);
    }
    const bytes = fs.readFileSync(file);
    const decoded = decodeDisk(bytes, encoding ?? bomEncoding(bytes) ?? 'utf8');
    if (decoded === undefined) {
        throw new Error(`cannot decode ${file} as ${encoding}`);
    }
    return new ScriptedDocument(file, loadedText(decoded), 'file', encoding ?? bomEncoding(bytes));
}

/** The bytes the editor writes for `text` in `encoding`. */
function encode(text: string, encoding = 'utf8'): Buffer {
    switch (encoding) {
        case 'utf8':
            return Buffer.from(text, 'utf8');
        case 'utf8bom':
            return Buffer.concat([Buffer.from([0xef, 0xbb, 0xbf]), Buffer.from(text, 'utf8')]);
        case 'iso88591':
            return Buffer.from(text, 'latin1');
        case 'utf16le':
            return Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(text, 'utf16le')]);
        case 'utf16be':
            return Buffer.concat([Buffer.from([0xfe, 0xff]), Buffer.from(text, 'utf16le').swap16()]);
        default:
            throw new Error(`cannot write the encoding ${encoding}`);
    }
}

export interface ReplayResult {
    sent: number;
    unsent: number;
    /** Whether the watcher still held messages (waiting for a disk read or the clipboard). */
    held: boolean;
}

/** Plays the script; resolves once every message was handed to the socket or the time ran out. */
export async function replay(socketPath: string, script: Script, timeoutMs: number): Promise<ReplayResult> {
    const documents = new Map<string, ScriptedDocument>();
    for (const entry of script.documents) {
        const file = path.resolve(entry.file);
        documents.set(file, load(file, entry.text, entry.encoding));
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
        project: ProjectFolders.find(script.workspaceFolders, script.projectFolder),
    });
    sender.start();
    documents.forEach((document) => watcher.open(document));

    for (const step of script.steps) {
        if (step.firstSave !== undefined) {
            const target = path.resolve(step.firstSave);
            const text = step.text ?? '';
            fs.writeFileSync(target, text);
            const saved = new ScriptedDocument(target, text, 'file');
            documents.set(target, saved);
            watcher.firstSave(saved);
            continue;
        }
        let document = pick(step);
        if (step.open) {
            document = load(document.uri.fsPath, step.text, document.encoding);
            documents.set(document.uri.fsPath, document);
            watcher.open(document);
        }
        if (step.rename !== undefined) {
            const target = path.resolve(step.rename);
            fs.renameSync(document.uri.fsPath, target);
            const moved = new ScriptedDocument(target, document.getText(), 'file', document.encoding);
            watcher.rename([{ oldUri: document.uri, newUri: moved.uri }]);
            documents.delete(document.uri.fsPath);
            documents.set(target, moved);
            document = moved;
            watcher.open(document);
        }
        if (step.clipboard !== undefined) {
            clipboard = step.clipboard;
        }
        if (step.changes && step.unreported) {
            document.edit(step.changes);
        } else if (step.changes) {
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
                fs.writeFileSync(document.uri.fsPath, encode(document.getText(), document.encoding));
            }
            watcher.save(document);
        }
        if (step.close) {
            watcher.close(document);
        }
    }

    let timer: NodeJS.Timeout | undefined;
    const timeout = new Promise<void>((resolve) => (timer = setTimeout(resolve, timeoutMs)));
    let held = true;
    const settled = watcher.settled().then(() => {
        held = false;
        return sender.drained();
    });
    await Promise.race([settled, timeout]);
    clearTimeout(timer);
    const unsent = sender.status.queued;
    sender.stop();
    return { sent: sent - unsent, unsent, held };
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
        if (!Array.isArray(script.documents) || !Array.isArray(script.steps) || !Array.isArray(script.workspaceFolders)) {
            throw new Error('a script needs "workspaceFolders", "documents" and "steps" arrays');
        }
    } catch (error) {
        process.stderr.write(`replay: cannot read ${args[1]}: ${String(error)}\n`);
        return 1;
    }
    try {
        const result = await replay(args[0], script, timeoutMs);
        if (result.unsent > 0 || result.held) {
            const more = result.held ? ' and more not yet made' : '';
            process.stdout.write(`replay: timed out with ${result.unsent} message(s) unsent${more}\n`);
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
