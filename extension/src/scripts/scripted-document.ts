// A stand-in for an editor document, for driving the watcher without the editor: it applies
// each event's changes the way the editor does and then reports them.

import { Utf16Change } from '../shadow';
import { DocumentLike } from '../watcher';

/** The editor's line end for a loaded text: CRLF when most line ends are CRLF (or CR). */
function dominantLineEnd(text: string): string {
    const all = (text.match(/\r\n|\r|\n/g) ?? []).length;
    const lf = (text.match(/(?<!\r)\n/g) ?? []).length;
    return all > 0 && all - lf > all / 2 ? '\r\n' : '\n';
}

/** The text the editor holds after loading `text`: mixed line ends become the dominant one. */
export function loadedText(text: string): string {
    const eol = dominantLineEnd(text);
    const kinds = new Set(text.match(/\r\n|\r|\n/g) ?? []);
    return kinds.size > 1 ? text.replace(/\r\n|\r|\n/g, eol) : text;
}

export class ScriptedDocument implements DocumentLike {
    readonly uri: { scheme: string; fsPath: string; toString(): string };

    constructor(
        fsPath: string,
        private text: string,
        scheme = 'file',
        readonly encoding?: string,
    ) {
        this.uri = { scheme, fsPath, toString: () => `${scheme}://${fsPath}` };
    }

    getText(): string {
        return this.text;
    }

    get eol(): number {
        return dominantLineEnd(this.text) === '\r\n' ? 2 : 1;
    }

    /**
     * Applies the ranges of one event, all given against the text before it, the way the editor
     * does: one after the other from the end of the document backwards, changes at the same
     * offset in the order listed (so a replacement and an insertion at one offset both apply).
     */
    edit(changes: readonly Utf16Change[]): void {
        const ordered = changes
            .map((change, position) => ({ change, position }))
            .sort((x, y) => y.change.rangeOffset - x.change.rangeOffset || x.position - y.position);
        let text = this.text;
        let limit = text.length;
        for (const { change } of ordered) {
            const end = change.rangeOffset + change.rangeLength;
            if (change.rangeOffset < 0 || change.rangeLength < 0 || end > limit) {
                throw new Error(`range ${change.rangeOffset}+${change.rangeLength} overlaps or runs past the end`);
            }
            text = text.slice(0, change.rangeOffset) + change.text + text.slice(end);
            limit = change.rangeOffset;
        }
        this.text = text;
    }

    /** Replaces the whole text without reporting a range, as a change of line ends does. */
    rewrite(text: string): void {
        this.text = text;
    }
}
