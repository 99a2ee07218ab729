// Shadow copies of the open documents, so that each change's UTF-16 position can be turned into
// the byte position that the monitor's mirror of the same text uses. Each shadow is an offset
// index (text-index.ts): a change costs the same whatever the size of the document.

import { ByteChange } from './messages';
import { TextIndex } from './text-index';
import { isHighSurrogate, isLowSurrogate, utf8Length } from './utf8';

/** One content change as the editor reports it: a range of the text before the event, in UTF-16 code units. */
export interface Utf16Change {
    rangeOffset: number;
    rangeLength: number;
    text: string;
}

export class ShadowDocuments {
    private readonly texts = new Map<string, TextIndex>();

    open(key: string, text: string): void {
        this.texts.set(key, new TextIndex(text));
    }

    close(key: string): void {
        this.texts.delete(key);
    }

    has(key: string): boolean {
        return this.texts.has(key);
    }

    /** The shadow's whole text (a copy: costs the document's length). */
    text(key: string): string | undefined {
        return this.texts.get(key)?.text();
    }

    /** The shadow's length in UTF-16 code units, without copying the text. */
    length(key: string): number | undefined {
        return this.texts.get(key)?.length;
    }

    /**
     * Moves a shadow to another key, as when its file is renamed. A shadow already under the new
     * key (the editor may open the document under its new name first) is the current one.
     */
    move(from: string, to: string): void {
        const index = this.texts.get(from);
        if (index === undefined || from === to) {
            return;
        }
        this.texts.delete(from);
        if (!this.texts.has(to)) {
            this.texts.set(to, index);
        }
    }

    get size(): number {
        return this.texts.size;
    }

    /**
     * Applies the changes of one editor event and returns them in bytes, in the order in which
     * they were applied, each measured against the text as it was just before it. The editor
     * applies an event's changes one after the other from the end of the document backwards,
     * changes at the same offset in the order listed, so each range of the text before the event
     * is still valid when its turn comes. (The editor already lists them that way; the sort
     * only guards against a list that is not.) Returns undefined for a document without a shadow.
     */
    apply(key: string, changes: readonly Utf16Change[]): ByteChange[] | undefined {
        const index = this.texts.get(key);
        if (index === undefined) {
            return undefined;
        }
        let order: readonly Utf16Change[] = changes;
        for (let i = 1; i < changes.length; i++) {
            if (changes[i].rangeOffset > changes[i - 1].rangeOffset) {
                order = changes
                    .map((change, position) => ({ change, position }))
                    .sort((x, y) => y.change.rangeOffset - x.change.rangeOffset || x.position - y.position)
                    .map((entry) => entry.change);
                break;
            }
        }
        // A range past the end would give the monitor an offset its mirror does not have: the
        // index clamps it to the text.
        return order.map((change) => ({
            ...index.splice(change.rangeOffset, change.rangeLength, change.text),
            inserted: change.text,
        }));
    }

    /**
     * Replaces the shadow by `next` and returns the one replacement that turns the old text into
     * it (the part between their common prefix and common suffix), or null when they are equal.
     * Returns undefined for a document that has no shadow.
     */
    replace(key: string, next: string): ByteChange | null | undefined {
        const previous = this.texts.get(key)?.text();
        if (previous === undefined) {
            return undefined;
        }
        this.texts.set(key, new TextIndex(next));
        if (previous === next) {
            return null;
        }
        const limit = Math.min(previous.length, next.length);
        let prefix = 0;
        while (prefix < limit && previous.charCodeAt(prefix) === next.charCodeAt(prefix)) {
            prefix++;
        }
        // Never cut a surrogate pair in two: its halves have no byte position of their own.
        if (prefix > 0 && prefix < limit && isHighSurrogate(previous.charCodeAt(prefix - 1))) {
            prefix--;
        }
        let suffix = 0;
        while (
            suffix < limit - prefix &&
            previous.charCodeAt(previous.length - 1 - suffix) === next.charCodeAt(next.length - 1 - suffix)
        ) {
            suffix++;
        }
        if (suffix > 0 && isLowSurrogate(previous.charCodeAt(previous.length - suffix))) {
            suffix--;
        }
        return {
            offset: utf8Length(previous, 0, prefix),
            deletedCount: utf8Length(previous, prefix, previous.length - suffix),
            inserted: next.slice(prefix, next.length - suffix),
        };
    }
}
