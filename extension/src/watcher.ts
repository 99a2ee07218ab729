// Turns the editor's document events into messages, in the order the editor reports them.
// Nothing here depends on the editor's API module: the activation layer passes the editor's own
// objects, which have the shapes below.

import * as fs from 'fs';
import * as path from 'path';
import { bomEncoding, decodeDisk } from './disk-text';
import {
    ChangeMessage,
    DocumentFormat,
    MessageType,
    changeMessage,
    documentMessage,
    firstSaveMessage,
    renameMessage,
    saveMessage,
} from './messages';
import { ProjectScope } from './project';
import { ShadowDocuments, Utf16Change } from './shadow';

export interface UriLike {
    readonly scheme: string;
    readonly fsPath: string;
    toString(): string;
}

export interface DocumentLike {
    readonly uri: UriLike;
    getText(): string;
    /** The editor's line end: 1 for "\n", 2 for "\r\n" (its EndOfLine values). */
    readonly eol?: number;
    /** The editor's encoding id, where the editor tells it. */
    readonly encoding?: string;
}

export interface ChangeEventLike {
    readonly document: DocumentLike;
    readonly contentChanges: readonly Utf16Change[];
    /** The editor's reason for the change: 1 for undo, 2 for redo, absent otherwise. */
    readonly reason?: number;
}

export const ChangeReason = { Undo: 1, Redo: 2 } as const;

export interface WatcherDeps {
    send: (message: ChangeMessage) => void;
    readClipboard: () => PromiseLike<string>;
    log: (line: string) => void;
    /** The document's current length in UTF-16 code units, to notice a shadow that fell out of step. */
    documentLength?: (document: DocumentLike) => number;
    /** The monitored project: documents outside it are never sent. */
    project: ProjectScope;
    /** Reads a file's bytes; by default from the file system. */
    readFile?: (fsPath: string) => Promise<Uint8Array>;
}

function sameText(inserted: string, clipboard: string): boolean {
    // The editor inserts pasted text with the document's line ends, whatever the clipboard holds.
    return inserted === clipboard || inserted.replace(/\r\n/g, '\n') === clipboard.replace(/\r\n/g, '\n');
}

/** More than one character: a single typed character (or a line end) cannot tell a paste. */
function mayBePasted(text: string): boolean {
    if (text.length <= 1 || text === '\r\n') {
        return false;
    }
    return text.length > 2 || text.codePointAt(0)! <= 0xffff;
}

/** Whether `file` is `root` or lies below it. */
function below(root: string, file: string): boolean {
    return file === root || file.startsWith(root.endsWith(path.sep) ? root : root + path.sep);
}

/** The document's line end, from the editor or else from its first line end. */
function lineEnd(document: DocumentLike, text: string): string {
    if (document.eol !== undefined) {
        return document.eol === 2 ? '\r\n' : '\n';
    }
    const first = text.indexOf('\n');
    return first > 0 && text.charCodeAt(first - 1) === 13 ? '\r\n' : '\n';
}

export class DocumentWatcher {
    private readonly shadows = new ShadowDocuments();
    /** The documents with a shadow, by key. */
    private readonly documents = new Map<string, DocumentLike>();
    /** Batches waiting behind one that waits (for the clipboard or the disk), in editor order. */
    private pending: Array<ChangeMessage[] | Promise<ChangeMessage[]>> = [];
    private pendingHead = 0;
    private pumping = false;
    private settledWaiters: Array<() => void> = [];
    private pasteDepth = 0;

    constructor(private readonly deps: WatcherDeps) {}

    /** Whether the document's changes are sent: a file of the monitored project. */
    watches(document: DocumentLike): boolean {
        return document.uri.scheme === 'file' && this.deps.project.contains(document.uri.fsPath);
    }

    get openDocuments(): number {
        return this.shadows.size;
    }

    /**
     * A document the editor holds: on opening it, when the extension starts, or when it is opened
     * again after a close. The monitor learns the text as the editor holds it, which may differ
     * from the disk (unsaved changes, a reverted document, line ends the editor normalised).
     */
    open(document: DocumentLike): void {
        if (!this.watches(document) || this.shadows.has(document.uri.toString())) {
            return;
        }
        const text = document.getText();
        this.shadows.open(document.uri.toString(), text);
        this.documents.set(document.uri.toString(), document);
        this.describe(MessageType.OPEN, document, text);
    }

    /** The project changed: documents that left it are forgotten, documents that entered it are opened. */
    rescope(project: ProjectScope, documents: readonly DocumentLike[]): void {
        this.deps.project = project;
        for (const document of documents) {
            if (this.watches(document)) {
                this.open(document);
            } else {
                this.close(document);
            }
        }
    }

    /**
     * The editor renamed or moved files or folders; a document's shadow follows its file. The
     * editor may already have opened documents under their new names; their "open" went out under
     * a name the monitor did not know yet, so they are described once more after the rename.
     */
    rename(files: ReadonlyArray<{ readonly oldUri: UriLike; readonly newUri: UriLike }>): void {
        for (const { oldUri, newUri } of files) {
            if (oldUri.scheme !== 'file' || newUri.scheme !== 'file') {
                continue;
            }
            const inside = [oldUri, newUri].map((uri) => this.deps.project.contains(uri.fsPath));
            const renamed = this.documents.get(oldUri.toString());
            const openedFirst = [...this.documents].filter(
                ([key, document]) => key !== oldUri.toString() && below(newUri.fsPath, document.uri.fsPath),
            );
            this.shadows.move(oldUri.toString(), newUri.toString());
            this.documents.delete(oldUri.toString());
            if (!inside[0] || !inside[1]) {
                if (inside[0]) {
                    this.shadows.close(newUri.toString());
                }
                continue;
            }
            if (renamed !== undefined && !this.documents.has(newUri.toString())) {
                this.documents.set(newUri.toString(), renamed);
            }
            this.deliver([renameMessage(oldUri.fsPath, newUri.fsPath)]);
            for (const [key, document] of openedFirst) {
                const text = this.shadows.text(key);
                if (text !== undefined) {
                    this.describe(MessageType.OPEN, document, text);
                }
            }
        }
    }

    /** A closed document is forgotten; opening it again describes it anew (it may have been reverted). */
    close(document: DocumentLike): void {
        this.shadows.close(document.uri.toString());
        this.documents.delete(document.uri.toString());
    }

    /** Changes made while a paste command runs count as pastes whatever the clipboard holds. */
    beginPaste(): void {
        this.pasteDepth++;
    }

    endPaste(): void {
        this.pasteDepth = Math.max(0, this.pasteDepth - 1);
    }

    change(event: ChangeEventLike): void {
        const document = event.document;
        if (!this.watches(document)) {
            return;
        }
        const key = document.uri.toString();
        const file = document.uri.fsPath;
        if (!this.shadows.has(key)) {
            // Its text before this change is unknown, so no byte position can be given for it.
            this.deps.log(`change of ${file} before it was seen open: sending its current text`);
            this.open(document);
            return;
        }
        if (event.contentChanges.length === 0) {
            // A change of the line-end sequence rewrites the text but reports no range.
            const rewrite = this.shadows.replace(key, document.getText());
            if (rewrite) {
                this.deliver([changeMessage(file, rewrite, { undoRedo: false, copyPaste: false }, MessageType.EOL)]);
            }
            return;
        }
        const changes = this.shadows.apply(key, event.contentChanges) ?? [];
        const expected = this.deps.documentLength?.(document);
        if (expected !== undefined && expected !== this.shadows.length(key)) {
            // The byte changes were measured on a wrong text: the monitor gets the editor's instead.
            this.resync(document, `its length ${this.shadows.length(key)} is not the editor's ${expected}`);
            return;
        }
        const undoRedo = event.reason === ChangeReason.Undo || event.reason === ChangeReason.Redo;
        const pasting = this.pasteDepth > 0;
        const build = (clipboard: string | null): ChangeMessage[] =>
            changes.map((change) =>
                changeMessage(file, change, {
                    undoRedo,
                    copyPaste:
                        change.inserted !== '' &&
                        (pasting || (clipboard !== null && sameText(change.inserted, clipboard))),
                }),
            );
        if (pasting || !changes.some((change) => mayBePasted(change.inserted))) {
            this.deliver(build(null));
            return;
        }
        // Read now, so the text is compared with what the clipboard held when the change happened.
        this.deliver(this.readClipboard().then(build));
    }

    /**
     * The editor wrote the document. A shadow found to differ from the saved text is repaired
     * first, so the save's length and hash describe what the monitor's mirror should hold.
     */
    save(document: DocumentLike): void {
        if (!this.watches(document)) {
            return;
        }
        const text = document.getText();
        const key = document.uri.toString();
        if (!this.shadows.has(key)) {
            this.open(document);
        } else if (this.shadows.text(key) !== text) {
            this.resync(document, 'its text is not the one the editor saved');
        }
        this.deliver([saveMessage(document.uri.fsPath, text)]);
    }

    /**
     * The editor wrote a document to a file for the first time: an untitled document saved (its
     * typing was never sent, having no file). Its whole text goes as one insertion at the start of
     * the new file, then the save, so the monitor mirrors the text the editor wrote rather than
     * finding it on the disk unexplained.
     */
    firstSave(document: DocumentLike): void {
        if (!this.watches(document)) {
            return;
        }
        const text = document.getText();
        const key = document.uri.toString();
        this.shadows.open(key, text);
        this.documents.set(key, document);
        this.deliver([firstSaveMessage(document.uri.fsPath, text), saveMessage(document.uri.fsPath, text)]);
    }

    private resync(document: DocumentLike, why: string): void {
        const text = document.getText();
        this.deps.log(`shadow of ${document.uri.fsPath} out of step with the editor (${why}): sending the editor's text`);
        this.shadows.open(document.uri.toString(), text);
        this.describe(MessageType.RESYNC, document, text);
    }

    /** Sends "open" or "resync": the text goes along unless the disk, decoded, holds the same. */
    private describe(type: typeof MessageType.OPEN | typeof MessageType.RESYNC, document: DocumentLike, text: string): void {
        const file = document.uri.fsPath;
        const readFile = this.deps.readFile ?? ((fsPath: string) => fs.promises.readFile(fsPath));
        const eol = lineEnd(document, text);
        const message = Promise.resolve()
            .then(() => readFile(file))
            .then(
                (bytes) => {
                    const bomAs = bomEncoding(bytes);
                    const encoding = document.encoding ?? bomAs ?? 'utf8';
                    const format: DocumentFormat = { encoding, eol, bom: bomAs !== undefined };
                    return documentMessage(type, file, text, format, decodeDisk(bytes, encoding) !== text);
                },
                // No file yet, or none readable: the text itself is the only description.
                () => documentMessage(type, file, text, { encoding: document.encoding ?? 'utf8', eol, bom: false }, true),
            );
        this.deliver(message.then((ready) => [ready]));
    }

    /** Resolves once every message so far has been handed on. */
    settled(): Promise<void> {
        if (!this.pumping) {
            return Promise.resolve();
        }
        return new Promise((resolve) => this.settledWaiters.push(resolve));
    }

    private readClipboard(): Promise<string | null> {
        try {
            return Promise.resolve(this.deps.readClipboard()).then(
                (text) => text,
                () => null,
            );
        } catch {
            return Promise.resolve(null);
        }
    }

    /** Hands messages on in the order they were made, even when some wait for the clipboard. */
    private deliver(messages: ChangeMessage[] | Promise<ChangeMessage[]>): void {
        if (Array.isArray(messages) && !this.pumping) {
            for (const message of messages) {
                this.deps.send(message);
            }
            return;
        }
        this.pending.push(messages);
        if (!this.pumping) {
            this.pumping = true;
            void this.pump();
        }
    }

    /** Sends the waiting batches in order: one await per batch that waits, none for the others. */
    private async pump(): Promise<void> {
        while (this.pendingHead < this.pending.length) {
            const head = this.pending[this.pendingHead];
            let ready: ChangeMessage[] = [];
            try {
                ready = Array.isArray(head) ? head : await head;
            } catch (error) {
                this.deps.log(`could not send a change: ${String(error)}`);
            }
            this.pending[this.pendingHead++] = [];
            for (const message of ready) {
                this.deps.send(message);
            }
            if (this.pendingHead > 1024 && this.pendingHead * 2 > this.pending.length) {
                this.pending = this.pending.slice(this.pendingHead);
                this.pendingHead = 0;
            }
        }
        this.pending = [];
        this.pendingHead = 0;
        this.pumping = false;
        const waiters = this.settledWaiters;
        this.settledWaiters = [];
        waiters.forEach((resolve) => resolve());
    }
}
