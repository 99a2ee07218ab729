// Turns the editor's document events into change messages, in the order the editor reports them.
// Nothing here depends on the editor's API module: the activation layer passes the editor's own
// objects, which have the shapes below.

import { ChangeMessage, MessageType, changeMessage, saveMessage } from './messages';
import { ShadowDocuments, Utf16Change } from './shadow';

export interface DocumentLike {
    readonly uri: { readonly scheme: string; readonly fsPath: string; toString(): string };
    getText(): string;
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
}

function sameText(inserted: string, clipboard: string): boolean {
    // The editor inserts pasted text with the document's line ends, whatever the clipboard holds.
    return inserted === clipboard || inserted.replace(/\r\n/g, '\n') === clipboard.replace(/\r\n/g, '\n');
}

export class DocumentWatcher {
    private readonly shadows = new ShadowDocuments();
    private tail: Promise<void> = Promise.resolve();
    private waiting = 0;
    private pasteDepth = 0;

    constructor(private readonly deps: WatcherDeps) {}

    static watches(document: DocumentLike): boolean {
        return document.uri.scheme === 'file';
    }

    get openDocuments(): number {
        return this.shadows.size;
    }

    open(document: DocumentLike): void {
        if (DocumentWatcher.watches(document)) {
            this.shadows.open(document.uri.toString(), document.getText());
        }
    }

    close(document: DocumentLike): void {
        this.shadows.close(document.uri.toString());
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
        if (!DocumentWatcher.watches(document)) {
            return;
        }
        const key = document.uri.toString();
        const file = document.uri.fsPath;
        if (!this.shadows.has(key)) {
            // Its text before this change is unknown, so no byte position can be given for it.
            this.deps.log(`change of ${file} before it was seen open: starting from its current text`);
            this.shadows.open(key, document.getText());
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
            this.deps.log(`shadow of ${file} out of step with the editor: re-read it`);
            this.shadows.open(key, document.getText());
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
        if (pasting || changes.every((change) => change.inserted === '')) {
            this.deliver(build(null));
            return;
        }
        // Read now, so the text is compared with what the clipboard held when the change happened.
        this.deliver(this.readClipboard().then(build));
    }

    save(document: DocumentLike): void {
        if (DocumentWatcher.watches(document)) {
            this.deliver([saveMessage(document.uri.fsPath)]);
        }
    }

    /** Resolves once every message so far has been handed on. */
    settled(): Promise<void> {
        return this.tail;
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
        if (Array.isArray(messages) && this.waiting === 0) {
            for (const message of messages) {
                this.deps.send(message);
            }
            return;
        }
        this.waiting++;
        this.tail = this.tail
            .then(() => messages)
            .then((ready) => {
                for (const message of ready) {
                    this.deps.send(message);
                }
            })
            .catch((error: unknown) => this.deps.log(`could not send a change: ${String(error)}`))
            .finally(() => {
                this.waiting--;
            });
    }
}
