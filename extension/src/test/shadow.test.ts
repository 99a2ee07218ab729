import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ByteChange, changeMessage, encodeMessage } from '../messages';
import { ScriptedDocument } from '../scripts/scripted-document';
import { ShadowDocuments, Utf16Change } from '../shadow';
import { utf8Length } from '../utf8';
import { applyToMirror } from './helpers';

const KEY = 'file:///doc';

/** Plays one event on an editor-side document and on the shadow; returns the byte changes. */
function play(shadows: ShadowDocuments, doc: ScriptedDocument, changes: Utf16Change[]): ByteChange[] {
    doc.edit(changes);
    const result = shadows.apply(KEY, changes);
    assert.ok(result, 'the document has a shadow');
    return result;
}

/** The monitor's mirror after the byte changes, applied one after the other. */
function mirrored(before: string, changes: ByteChange[]): string {
    let mirror: Buffer = Buffer.from(before, 'utf8');
    for (const change of changes) {
        mirror = applyToMirror(mirror, changeMessage('/doc', change, { undoRedo: false, copyPaste: false }));
    }
    return mirror.toString('utf8');
}

function setup(text: string): { shadows: ShadowDocuments; doc: ScriptedDocument } {
    const shadows = new ShadowDocuments();
    shadows.open(KEY, text);
    return { shadows, doc: new ScriptedDocument('/doc', text) };
}

test('utf8Length counts the bytes of every kind of code point', () => {
    for (const text of ['', 'plain', 'é', 'ß€', '😀', 'a😀b', '\r\n', 'x\u{10FFFF}y\u0800']) {
        assert.equal(utf8Length(text), Buffer.byteLength(text, 'utf8'), JSON.stringify(text));
    }
    assert.equal(utf8Length('a😀b', 1, 3), 4, 'a range holding one surrogate pair');
});

test('positions in ASCII text are the same in bytes', () => {
    const { shadows, doc } = setup('hello world');
    assert.deepEqual(play(shadows, doc, [{ rangeOffset: 5, rangeLength: 6, text: ', you' }]), [
        { offset: 5, deletedCount: 6, inserted: ', you' },
    ]);
    assert.equal(shadows.text(KEY), 'hello, you');
});

test('accented letters before a change move its byte offset', () => {
    const before = 'café crème\n';
    const { shadows, doc } = setup(before);
    const changes = play(shadows, doc, [{ rangeOffset: 10, rangeLength: 0, text: ' brûlée' }]);
    assert.deepEqual(changes, [{ offset: 12, deletedCount: 0, inserted: ' brûlée' }]);
    assert.equal(mirrored(before, changes), doc.getText());
});

test('emoji count two code units in the editor and four bytes in the mirror', () => {
    const before = 'a😀b🎉c';
    const { shadows, doc } = setup(before);
    // Delete the party popper (offsets 4-5), then insert after the smiley.
    const first = play(shadows, doc, [{ rangeOffset: 4, rangeLength: 2, text: '' }]);
    assert.deepEqual(first, [{ offset: 6, deletedCount: 4, inserted: '' }]);
    const second = play(shadows, doc, [{ rangeOffset: 3, rangeLength: 0, text: '👍🏽' }]);
    assert.deepEqual(second, [{ offset: 5, deletedCount: 0, inserted: '👍🏽' }]);
    assert.equal(mirrored(before, [...first, ...second]), 'a😀👍🏽bc');
});

test('carriage returns of CRLF documents count as bytes', () => {
    const before = 'première\r\nligne\r\n';
    const { shadows, doc } = setup(before);
    const changes = play(shadows, doc, [{ rangeOffset: 15, rangeLength: 2, text: '\r\nsuite\r\n' }]);
    assert.deepEqual(changes, [{ offset: 16, deletedCount: 2, inserted: '\r\nsuite\r\n' }]);
    assert.equal(mirrored(before, changes), 'première\r\nligne\r\nsuite\r\n');
});

test('several changes of one event come out valid one after the other, in either reported order', () => {
    const before = 'é1\né2\né3\n';
    const cursors = [0, 3, 6].map((offset) => ({ rangeOffset: offset, rangeLength: 1, text: '«ÿ»' }));
    for (const reported of [[...cursors].reverse(), cursors]) {
        const { shadows, doc } = setup(before);
        const changes = play(shadows, doc, reported);
        assert.deepEqual(
            changes.map((change) => change.offset),
            [8, 4, 0],
            'applied from the end backwards, each against the text before it',
        );
        assert.equal(mirrored(before, changes), '«ÿ»1\n«ÿ»2\n«ÿ»3\n');
        assert.equal(shadows.text(KEY), doc.getText());
    }
});

test('replacing a selection deletes its bytes and inserts at the same offset', () => {
    const before = 'x = "naïve 😀 text";';
    const { shadows, doc } = setup(before);
    const changes = play(shadows, doc, [{ rangeOffset: 5, rangeLength: 8, text: 'ok' }]);
    assert.deepEqual(changes, [{ offset: 5, deletedCount: 11, inserted: 'ok' }]);
    assert.equal(mirrored(before, changes), 'x = "ok text";');
});

test('random edits of mixed text keep the mirror equal to the editor byte for byte', () => {
    let seed = 12345;
    const random = (n: number) => {
        seed = (seed * 1103515245 + 12345) % 2147483648;
        return seed % n;
    };
    const pieces = ['a', 'Z', ' ', '\n', '\r\n', 'é', 'ß', '€', '中', '😀', '👍🏽', '\t'];
    const text = (count: number) => Array.from({ length: count }, () => pieces[random(pieces.length)]).join('');
    // Code point boundaries only: the editor never puts a position inside a surrogate pair.
    const boundaries = (s: string) => {
        const result = [0];
        for (const ch of s) {
            result.push(result[result.length - 1] + ch.length);
        }
        return result;
    };
    for (let round = 0; round < 40; round++) {
        const start = text(random(60));
        const { shadows, doc } = setup(start);
        let mirror: Buffer = Buffer.from(start, 'utf8');
        for (let event = 0; event < 25; event++) {
            const points = boundaries(doc.getText());
            const picks = Array.from({ length: 2 * (1 + random(3)) }, () => points[random(points.length)]).sort((a, b) => a - b);
            const changes: Utf16Change[] = [];
            for (let i = 0; i < picks.length; i += 2) {
                if (i > 0 && picks[i] === picks[i - 1]) {
                    continue; // two ranges may not touch at one point
                }
                changes.push({ rangeOffset: picks[i], rangeLength: picks[i + 1] - picks[i], text: text(random(4)) });
            }
            changes.reverse();
            for (const change of play(shadows, doc, changes)) {
                mirror = applyToMirror(mirror, changeMessage('/doc', change, { undoRedo: false, copyPaste: false }));
            }
            assert.deepEqual(mirror, Buffer.from(doc.getText(), 'utf8'), `round ${round}, event ${event}`);
        }
    }
});

test('a rewrite without ranges becomes one replacement of the part that differs', () => {
    const before = 'one\nzwei é\ndrei 😀\n';
    const after = before.replace(/\n/g, '\r\n');
    const shadows = new ShadowDocuments();
    shadows.open(KEY, before);
    const change = shadows.replace(KEY, after);
    assert.ok(change);
    assert.equal(change.offset, 3, 'starts at the first line end');
    assert.equal(mirrored(before, [change]), after);
    assert.equal(shadows.replace(KEY, after), null, 'no change when nothing differs');

    shadows.open(KEY, 'x😀y');
    const emoji = shadows.replace(KEY, 'x😁y');
    assert.deepEqual(emoji, { offset: 1, deletedCount: 4, inserted: '😁' }, 'a surrogate pair stays whole');
});

test('a document without a shadow yields nothing', () => {
    const shadows = new ShadowDocuments();
    assert.equal(shadows.apply(KEY, [{ rangeOffset: 0, rangeLength: 0, text: 'x' }]), undefined);
    assert.equal(shadows.replace(KEY, 'x'), undefined);
});

test('a lone surrogate goes out as its escape and counts as the three bytes of U+FFFD', () => {
    const { shadows, doc } = setup('ab');
    const [change] = play(shadows, doc, [{ rangeOffset: 1, rangeLength: 0, text: '\ud800' }]);
    assert.equal(change.offset, 1);
    const line = encodeMessage(changeMessage('/doc', change, { undoRedo: false, copyPaste: false }));
    assert.ok(line.includes('"inserted":"\\ud800"'), line);
    assert.equal(utf8Length('\ud800'), Buffer.byteLength('\ufffd', 'utf8'));
    const [after] = play(shadows, doc, [{ rangeOffset: 2, rangeLength: 0, text: 'c' }]);
    assert.equal(after.offset, 1 + 3, 'the replacement character before it is three bytes');
    assert.equal(mirrored('ab', [change, after]), 'a\ufffdcb');
});
