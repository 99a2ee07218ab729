// The way shadows were kept before the offset index: every change measured by rescanning the text
// from its start. Kept as the reference for the index's tests and benchmark.

import { ByteChange } from '../messages';
import { Utf16Change } from '../shadow';
import { utf8Length } from '../utf8';

function isHighSurrogate(unit: number): boolean {
    return unit >= 0xd800 && unit <= 0xdbff;
}

function isLowSurrogate(unit: number): boolean {
    return unit >= 0xdc00 && unit <= 0xdfff;
}

export class RescanningShadows {
    private readonly texts = new Map<string, string>();

    open(key: string, text: string): void {
        this.texts.set(key, text);
    }

    close(key: string): void {
        this.texts.delete(key);
    }

    has(key: string): boolean {
        return this.texts.has(key);
    }

    text(key: string): string | undefined {
        return this.texts.get(key);
    }

    length(key: string): number | undefined {
        return this.texts.get(key)?.length;
    }

    get size(): number {
        return this.texts.size;
    }

    /**
     * Applies the changes of one editor event and returns them in bytes, in the order in which
     * they were applied, each measured against the text as it was just before it. All ranges of
     * one event refer to the text before the event and do not overlap, so applying them from the
     * end of the document backwards keeps the positions of the ones still to come valid. (The
     * editor already reports them in that order; the sort only guards against one that does not.)
     * Returns undefined for a document that has no shadow.
     */
    apply(key: string, changes: readonly Utf16Change[]): ByteChange[] | undefined {
        let text = this.texts.get(key);
        if (text === undefined) {
            return undefined;
        }
        const order = changes.map((_, index) => index);
        order.sort((a, b) => changes[b].rangeOffset - changes[a].rangeOffset || a - b);
        const result: ByteChange[] = [];
        for (const index of order) {
            const change = changes[index];
            // A range past the end would give the monitor an offset its mirror does not have.
            const start = Math.min(Math.max(change.rangeOffset, 0), text.length);
            const end = Math.min(start + Math.max(change.rangeLength, 0), text.length);
            result.push({
                offset: utf8Length(text, 0, start),
                deletedCount: utf8Length(text, start, end),
                inserted: change.text,
            });
            text = text.slice(0, start) + change.text + text.slice(end);
        }
        this.texts.set(key, text);
        return result;
    }

    /**
     * Replaces the shadow by `next` and returns the one replacement that turns the old text into
     * it (the part between their common prefix and common suffix), or null when they are equal.
     * Returns undefined for a document that has no shadow.
     */
    replace(key: string, next: string): ByteChange | null | undefined {
        const previous = this.texts.get(key);
        if (previous === undefined) {
            return undefined;
        }
        this.texts.set(key, next);
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
