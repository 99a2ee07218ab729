// A document's text held in chunks of bounded size, with the UTF-16 length and the UTF-8 length of
// every chunk summed in Fenwick trees, so that the byte offset of an editor position and an edit
// of the text both cost a search of the trees plus work within one or two chunks, whatever the
// size of the document or the length of its lines.

import { isHighSurrogate, isLowSurrogate, utf8Length as countUtf8 } from './utf8';

function isSurrogate(unit: number): boolean {
    return unit >= 0xd800 && unit <= 0xdfff;
}

/** Chunks are split above this many UTF-16 code units ... */
const MAX_CHUNK = 1024;
/** ... into pieces of about this size ... */
const TARGET_CHUNK = 512;
/** ... and merged with a neighbour below this size. */
const MIN_CHUNK = 128;

/**
 * UTF-8 bytes of `text[start, end)`, a lone surrogate (also half a pair cut by the range) counting
 * as the three bytes of U+FFFD: the runtime's own count, as utf8Length counts, only faster.
 */
function utf8Length(text: string, start = 0, end = text.length): number {
    if (end - start > 256) {
        return Buffer.byteLength(start === 0 && end === text.length ? text : text.slice(start, end), 'utf8');
    }
    // Short ranges: counting here costs less than a call into the runtime with a slice.
    return countUtf8(text, start, end);
}

/** Prefix sums over a fixed number of slots. */
class Fenwick {
    private tree: Float64Array;

    constructor(values: readonly number[]) {
        const n = values.length;
        this.tree = new Float64Array(n + 1);
        for (let i = 0; i < n; i++) {
            this.tree[i + 1] += values[i];
            const parent = i + 1 + ((i + 1) & -(i + 1));
            if (parent <= n) {
                this.tree[parent] += this.tree[i + 1];
            }
        }
    }

    add(index: number, delta: number): void {
        for (let i = index + 1; i < this.tree.length; i += i & -i) {
            this.tree[i] += delta;
        }
    }

    /** Sum of the first `count` slots. */
    prefix(count: number): number {
        let sum = 0;
        for (let i = count; i > 0; i -= i & -i) {
            sum += this.tree[i];
        }
        return sum;
    }

    /** The largest count whose prefix sum is at most `value` (all slots are non-negative). */
    countAtMost(value: number): number {
        let position = 0;
        let rest = value;
        let step = 1;
        while (step * 2 < this.tree.length) {
            step *= 2;
        }
        for (; step > 0; step >>= 1) {
            const next = position + step;
            if (next < this.tree.length && this.tree[next] <= rest) {
                position = next;
                rest -= this.tree[next];
            }
        }
        return position;
    }
}

/** Cuts `text` into chunks of about TARGET_CHUNK units, never between the halves of a surrogate pair. */
function cut(text: string): string[] {
    if (text.length <= MAX_CHUNK) {
        return [text];
    }
    const count = Math.ceil(text.length / TARGET_CHUNK);
    const size = Math.ceil(text.length / count);
    const pieces: string[] = [];
    let start = 0;
    while (start < text.length) {
        let end = Math.min(start + size, text.length);
        if (end < text.length && isLowSurrogate(text.charCodeAt(end)) && isHighSurrogate(text.charCodeAt(end - 1))) {
            end++;
        }
        pieces.push(text.slice(start, end));
        start = end;
    }
    return pieces;
}

/** Where a UTF-16 offset falls: a chunk and the offset within it. */
interface Place {
    chunk: number;
    local: number;
}

export class TextIndex {
    /** Never empty; holds one empty chunk only for an empty text; no surrogate pair spans two chunks. */
    private chunks: string[];
    private bytes: number[];
    private unitSums!: Fenwick;
    private byteSums!: Fenwick;
    private units = 0;
    private totalBytes = 0;

    constructor(text = '') {
        this.chunks = cut(text);
        this.bytes = this.chunks.map((chunk) => utf8Length(chunk));
        this.rebuild();
    }

    /** Length in UTF-16 code units. */
    get length(): number {
        return this.units;
    }

    /** Length in UTF-8 bytes, a lone surrogate counting three. */
    get byteLength(): number {
        return this.totalBytes;
    }

    get chunkCount(): number {
        return this.chunks.length;
    }

    text(): string {
        return this.chunks.join('');
    }

    /** Byte offset of the UTF-16 offset `offset` (clamped to the text). */
    byteOffset(offset: number): number {
        const place = this.locate(Math.min(Math.max(offset, 0), this.units));
        return this.byteSums.prefix(place.chunk) + utf8Length(this.chunks[place.chunk], 0, place.local);
    }

    /**
     * Replaces the UTF-16 range [start, start + deleteCount) (clamped to the text) by `inserted`
     * and returns the change in bytes, measured against the text before it.
     */
    splice(start: number, deleteCount: number, inserted: string): { offset: number; deletedCount: number } {
        const from = Math.min(Math.max(start, 0), this.units);
        const to = Math.min(from + Math.max(deleteCount, 0), this.units);
        const first = this.locate(from);
        const last = to > from ? this.locate(to - 1) : first;
        if (to > from) {
            last.local++;
        }
        const offset = this.byteSums.prefix(first.chunk) + utf8Length(this.chunks[first.chunk], 0, first.local);
        let deletedCount: number;
        if (first.chunk === last.chunk) {
            deletedCount = utf8Length(this.chunks[first.chunk], first.local, last.local);
        } else {
            deletedCount =
                utf8Length(this.chunks[first.chunk], first.local) +
                this.byteSums.prefix(last.chunk) -
                this.byteSums.prefix(first.chunk + 1) +
                utf8Length(this.chunks[last.chunk], 0, last.local);
        }
        const chunk = this.chunks[first.chunk];
        const replacement = chunk.slice(0, first.local) + inserted + this.chunks[last.chunk].slice(last.local);
        if (
            first.chunk === last.chunk &&
            replacement.length >= MIN_CHUNK &&
            replacement.length <= MAX_CHUNK &&
            first.local > 0 &&
            last.local < chunk.length &&
            !isSurrogate(chunk.charCodeAt(first.local - 1)) &&
            !isSurrogate(chunk.charCodeAt(last.local))
        ) {
            // Within one chunk, between two characters that pair with nothing: the chunk's byte
            // count changes by exactly the bytes deleted and inserted.
            this.update(first.chunk, replacement, this.bytes[first.chunk] - deletedCount + utf8Length(inserted));
        } else {
            this.replaceChunks(first.chunk, last.chunk, replacement);
        }
        return { offset, deletedCount };
    }

    private locate(offset: number): Place {
        const count = this.unitSums.countAtMost(offset);
        if (count >= this.chunks.length) {
            const chunk = this.chunks.length - 1;
            return { chunk, local: this.chunks[chunk].length };
        }
        return { chunk: count, local: offset - this.unitSums.prefix(count) };
    }

    /** Puts `text` in place of chunks [a, b], keeping the chunks' invariants. */
    private replaceChunks(a: number, b: number, text: string): void {
        const n = this.chunks.length;
        for (;;) {
            // A surrogate pair brought together across the edges joins one chunk.
            const head = text.length > 0 ? text.charCodeAt(0) : b + 1 < n ? this.chunks[b + 1].charCodeAt(0) : -1;
            if (a > 0 && isLowSurrogate(head) && isHighSurrogate(this.lastUnit(a - 1))) {
                text = this.chunks[--a] + text;
                continue;
            }
            const tail = text.length > 0 ? text.charCodeAt(text.length - 1) : a > 0 ? this.lastUnit(a - 1) : -1;
            if (b + 1 < n && isHighSurrogate(tail) && isLowSurrogate(this.chunks[b + 1].charCodeAt(0))) {
                text += this.chunks[++b];
                continue;
            }
            break;
        }
        if (text.length < MIN_CHUNK) {
            if (b + 1 < n) {
                text += this.chunks[++b];
            } else if (a > 0) {
                text = this.chunks[--a] + text;
            }
        }
        const pieces = text.length === 0 && n > b - a + 1 ? [] : cut(text);
        if (pieces.length === b - a + 1) {
            pieces.forEach((piece, i) => this.update(a + i, piece, utf8Length(piece)));
            return;
        }
        // concat rather than a spread: a large paste makes more pieces than a call takes arguments.
        this.chunks = this.chunks.slice(0, a).concat(pieces, this.chunks.slice(b + 1));
        this.bytes = this.bytes.slice(0, a).concat(
            pieces.map((piece) => utf8Length(piece)),
            this.bytes.slice(b + 1),
        );
        this.rebuild();
    }

    private update(chunk: number, text: string, bytes: number): void {
        this.unitSums.add(chunk, text.length - this.chunks[chunk].length);
        this.byteSums.add(chunk, bytes - this.bytes[chunk]);
        this.units += text.length - this.chunks[chunk].length;
        this.totalBytes += bytes - this.bytes[chunk];
        this.chunks[chunk] = text;
        this.bytes[chunk] = bytes;
    }

    private lastUnit(chunk: number): number {
        const text = this.chunks[chunk];
        return text.length > 0 ? text.charCodeAt(text.length - 1) : -1;
    }

    private rebuild(): void {
        this.unitSums = new Fenwick(this.chunks.map((chunk) => chunk.length));
        this.byteSums = new Fenwick(this.bytes);
        this.units = this.chunks.reduce((sum, chunk) => sum + chunk.length, 0);
        this.totalBytes = this.bytes.reduce((sum, size) => sum + size, 0);
    }
}
