// Cost of turning the editor's changes into byte changes: the offset index beside the rescanning
// shadow it replaced, measured in the same run. Run with `npm run bench`.

import { ChangeMessage } from '../messages';
import { ShadowDocuments, Utf16Change } from '../shadow';
import { DocumentLike, DocumentWatcher } from '../watcher';
import { RescanningShadows } from './rescanning-shadow';

interface Shadows {
    open(key: string, text: string): void;
    apply(key: string, changes: readonly Utf16Change[]): unknown;
}

const KEY = 'file:///bench';
const LINE = 'const café = "naïve 😀 texte";  // commentaire\r\n';

function documentOf(characters: number): string {
    return LINE.repeat(Math.ceil(characters / LINE.length)).slice(0, characters);
}

function random(seed: number) {
    return (n: number) => {
        seed = (seed * 1103515245 + 12345) % 2147483648;
        return Math.floor((seed / 2147483648) * n);
    };
}

function ms(start: bigint): number {
    return Number(process.hrtime.bigint() - start) / 1e6;
}

/** Mean milliseconds per keystroke (one inserted character) at random places of the document. */
function keystroke(make: () => Shadows, characters: number, count: number): number {
    const shadows = make();
    shadows.open(KEY, documentOf(characters));
    const pick = random(7);
    const start = process.hrtime.bigint();
    for (let i = 0; i < count; i++) {
        shadows.apply(KEY, [{ rangeOffset: pick(characters), rangeLength: 0, text: 'x' }]);
        characters++;
    }
    return ms(start) / count;
}

/** Milliseconds for one event of `count` replacements spread over the document (a replace-all). */
function replaceAll(make: () => Shadows, characters: number, count: number): number {
    const shadows = make();
    shadows.open(KEY, documentOf(characters));
    const step = Math.floor(characters / count);
    const changes: Utf16Change[] = [];
    for (let i = count - 1; i >= 0; i--) {
        changes.push({ rangeOffset: i * step, rangeLength: 4, text: 'ÉCRIT' });
    }
    const start = process.hrtime.bigint();
    shadows.apply(KEY, changes);
    return ms(start);
}

interface TraceEvent {
    changes: Utf16Change[];
    length: number;
}

/**
 * An editing session of `count` changes on a source file of some thousand lines: typing words
 * letter by letter, Backspace, Enter with indentation, the editor's auto-closed brackets, moves of
 * the cursor, now and then a pasted block, a multi-cursor edit, undo of a word, in a text with
 * accents, emoji and CRLF line ends.
 */
function session(count: number): { start: string; events: TraceEvent[] } {
    const start = documentOf(120_000);
    const pick = random(11);
    const words = ['résultat', 'valeur', 'x', 'if', 'return', 'naïve', '😀', 'ça', 'for', 'i++'];
    let length = start.length;
    let cursor = Math.floor(length / 2);
    const events: TraceEvent[] = [];
    const push = (changes: Utf16Change[]) => {
        for (const change of changes) {
            length += change.text.length - change.rangeLength;
        }
        events.push({ changes, length });
    };
    let made = 0;
    while (made < count) {
        const action = pick(100);
        if (action < 70) {
            for (const ch of words[pick(words.length)] + ' ') {
                push([{ rangeOffset: cursor, rangeLength: 0, text: ch }]);
                cursor += ch.length;
                made++;
            }
        } else if (action < 82 && cursor > 0) {
            push([{ rangeOffset: cursor - 1, rangeLength: 1, text: '' }]);
            cursor--;
            made++;
        } else if (action < 90) {
            push([{ rangeOffset: cursor, rangeLength: 0, text: '\r\n        ' }]);
            cursor += 10;
            made++;
        } else if (action < 93) {
            push([{ rangeOffset: cursor, rangeLength: 0, text: '()' }]);
            cursor += 1;
            made++;
        } else if (action < 95) {
            const block = LINE.repeat(1 + pick(20));
            push([{ rangeOffset: cursor, rangeLength: 0, text: block }]);
            cursor += block.length;
            made++;
        } else if (action < 97) {
            const changes: Utf16Change[] = [];
            for (let line = 4; line >= 0; line--) {
                changes.push({ rangeOffset: Math.min(cursor + line * LINE.length, length), rangeLength: 0, text: '// ' });
            }
            push(changes);
            made += changes.length;
        } else {
            cursor = pick(length);
            while (cursor > 0 && cursor < length && start.charCodeAt(cursor) >= 0xdc00 && start.charCodeAt(cursor) <= 0xdfff) {
                cursor--;
            }
        }
        cursor = Math.min(cursor, length);
    }
    return { start, events };
}

/** Changes per second of a whole session through the watcher, as the editor would deliver them. */
async function throughWatcher(trace: { start: string; events: TraceEvent[] }, reference: boolean): Promise<number> {
    let length = trace.start.length;
    let sent = 0;
    const watcher = new DocumentWatcher({
        send: (_message: ChangeMessage) => sent++,
        readClipboard: () => Promise.resolve('(something else)'),
        log: () => undefined,
        documentLength: () => length,
        project: { contains: () => true },
    });
    if (reference) {
        (watcher as unknown as { shadows: Shadows }).shadows = new RescanningShadows();
    }
    const document: DocumentLike = {
        uri: { scheme: 'file', fsPath: '/bench/main.c', toString: () => KEY },
        getText: () => trace.start,
    };
    watcher.open(document);
    const start = process.hrtime.bigint();
    let changes = 0;
    for (const event of trace.events) {
        length = event.length;
        watcher.change({ document, contentChanges: event.changes });
        changes += event.changes.length;
    }
    await watcher.settled();
    const seconds = ms(start) / 1000;
    if (sent < changes) {
        throw new Error(`only ${sent} of ${changes} messages went out`);
    }
    return changes / seconds;
}

/** The least of `runs` measures: the machine's other load only ever adds time. */
function best(runs: number, measure: () => number): number {
    return Math.min(...Array.from({ length: runs }, measure));
}

async function main(): Promise<void> {
    const indexed = () => new ShadowDocuments();
    const rescanning = () => new RescanningShadows();
    const row = (what: string, now: string, before: string) => console.log(`${what.padEnd(52)} ${now.padStart(14)}   ${before}`);
    row('measure (offset index: best of 3 runs)', 'offset index', 'rescanning (before)');
    for (const size of [100_000, 1_000_000, 10_000_000]) {
        row(
            `keystroke at ${size.toLocaleString('en')} characters (ms)`,
            best(3, () => keystroke(indexed, size, 20000)).toFixed(4),
            keystroke(rescanning, size, size >= 10_000_000 ? 10 : 100).toFixed(4),
        );
    }
    row(
        'event of 1,000 changes on 1,000,000 characters (ms)',
        best(3, () => replaceAll(indexed, 1_000_000, 1000)).toFixed(1),
        replaceAll(rescanning, 1_000_000, 1000).toFixed(1),
    );
    row(
        'event of 10,000 changes on 1,000,000 characters (ms)',
        best(3, () => replaceAll(indexed, 1_000_000, 10000)).toFixed(1),
        '(not run: about ten times the line above)',
    );
    const trace = session(40_000);
    row(
        `session of ${trace.events.length.toLocaleString('en')} events through the watcher (changes/s)`,
        (await throughWatcher(trace, false)).toFixed(0),
        (await throughWatcher(trace, true)).toFixed(0),
    );
}

void main();
