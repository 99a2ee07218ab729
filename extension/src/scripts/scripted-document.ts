// A stand-in for an editor document, for driving the watcher without the editor: it applies
// each event's changes the way the editor does and then reports them.

import { Utf16Change } from '../shadow';
import { DocumentLike } from '../watcher';

export class ScriptedDocument implements DocumentLike {
    readonly uri: { scheme: string; fsPath: string; toString(): string };

    constructor(
        fsPath: string,
        private text: string,
        scheme = 'file',
    ) {
        this.uri = { scheme, fsPath, toString: () => `${scheme}://${fsPath}` };
    }

    getText(): string {
        return this.text;
    }

    /**
     * Applies the ranges of one event, all given against the text before it, the way the editor
     * does: by walking them from the start of the document. Overlapping ranges are refused.
     */
    edit(changes: readonly Utf16Change[]): void {
        const ordered = [...changes].sort((a, b) => a.rangeOffset - b.rangeOffset);
        let result = '';
        let position = 0;
        for (const change of ordered) {
            const end = change.rangeOffset + change.rangeLength;
            if (change.rangeOffset < position || end > this.text.length) {
                throw new Error(`range ${change.rangeOffset}+${change.rangeLength} overlaps or runs past the end`);
            }
            result += this.text.slice(position, change.rangeOffset) + change.text;
            position = end;
        }
        this.text = result + this.text.slice(position);
    }

    /** Replaces the whole text without reporting a range, as a change of line ends does. */
    rewrite(text: string): void {
        this.text = text;
    }
}
