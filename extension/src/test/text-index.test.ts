import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ShadowDocuments, Utf16Change } from '../shadow';
import { TextIndex } from '../text-index';
import { utf8Length } from '../utf8';
import { RescanningShadows } from './rescanning-shadow';

const KEY = 'file:///doc';

function randomSource(seed: number) {
    return (n: number) => {
        seed = (seed * 1103515245 + 12345) % 2147483648;
        return Math.floor((seed / 2147483648) * n);
    };
}

// Accents (precomposed and combining), emoji with modifiers, CJK, CRLF and lone surrogates.
const PIECES = ['a', 'Z', ' ', '\n', '\r\n', '\r', 'é', 'e\u0301', 'ß', '€', '中', '😀', '👍🏽', '\t', '\ud800', '\udc00', '🏳️‍🌈'];

function randomText(random: (n: number) => number, count: number): string {
    let text = '';
    for (let i = 0; i < count; i++) {
        text += PIECES[random(PIECES.length)];
    }
    return text;
}

/** One event of 1 to 4 changes; positions may fall inside surrogate pairs, as with lone surrogates. */
function randomEvent(random: (n: number) => number, length: number, large: boolean): Utf16Change[] {
    const count = 1 + random(4);
    const picks = Array.from({ length: count * 2 }, () => random(length + 1)).sort((a, b) => a - b);
    const changes: Utf16Change[] = [];
    for (let i = 0; i < picks.length; i += 2) {
        const start = picks[i];
        let end = picks[i + 1];
        if (large && random(8) === 0) {
            end = Math.min(length, start + random(12000));
            if (i + 2 < picks.length && end > picks[i + 2]) {
                end = picks[i + 2];
            }
        }
        changes.push({ rangeOffset: start, rangeLength: end - start, text: randomText(random, random(3) === 0 ? random(large ? 3000 : 6) : random(3)) });
    }
    // Listed from the end, sometimes a replace and an insertion at one offset.
    changes.reverse();
    if (random(5) === 0) {
        changes.push({ rangeOffset: changes[changes.length - 1].rangeOffset, rangeLength: 0, text: randomText(random, 2) });
    }
    return changes;
}

test('the offset index gives the rescanning shadow\'s bytes on random edits of mixed text, small and chunked', () => {
    for (const [rounds, events, startSize, large] of [
        [30, 60, 40, false],
        [6, 300, 9000, true],
    ] as const) {
        const random = randomSource(rounds * 7919);
        for (let round = 0; round < rounds; round++) {
            const start = randomText(random, random(startSize));
            const indexed = new ShadowDocuments();
            const reference = new RescanningShadows();
            indexed.open(KEY, start);
            reference.open(KEY, start);
            for (let event = 0; event < events; event++) {
                const length = indexed.length(KEY) ?? 0;
                const changes = randomEvent(random, length, large);
                const expected = reference.apply(KEY, changes);
                assert.deepEqual(indexed.apply(KEY, changes), expected, `round ${round}, event ${event}`);
                const text = reference.text(KEY) ?? '';
                assert.equal(indexed.length(KEY), text.length);
                if (event % 20 === 0 || event === events - 1) {
                    assert.equal(indexed.text(KEY), text, `round ${round}, event ${event}`);
                }
            }
        }
    }
});

test('byte offsets and lengths of the index agree with a whole-text count at every position', () => {
    const random = randomSource(99);
    const text = randomText(random, 6000);
    const index = new TextIndex(text);
    assert.ok(index.chunkCount > 2, 'the text spans several chunks');
    assert.equal(index.byteLength, utf8Length(text));
    assert.equal(index.byteLength, Buffer.byteLength(text, 'utf8'), 'lone surrogates count as U+FFFD');
    for (let offset = 0; offset <= text.length; offset += 1 + random(7)) {
        assert.equal(index.byteOffset(offset), utf8Length(text, 0, offset), `offset ${offset}`);
    }
    assert.equal(index.byteOffset(text.length + 10), utf8Length(text), 'a position past the end is the end');
});

test('a surrogate pair is never split between chunks, however the edits bring its halves together', () => {
    const filler = 'x'.repeat(5000);
    const index = new TextIndex(filler + '\ud83d' + filler);
    const high = filler.length;
    // Delete everything between the lone high surrogate and a lone low surrogate placed far away.
    index.splice(index.length, 0, '\ude00tail');
    const low = index.length - 5;
    const change = index.splice(high + 1, low - high - 1, '');
    assert.equal(change.offset, 5003);
    assert.equal(index.text(), filler + '😀tail');
    assert.equal(index.byteLength, 5000 + 4 + 4, 'the halves now count as one four-byte character');
    assert.equal(index.byteOffset(index.length - 4), 5004);

    const empty = new TextIndex('abc');
    assert.deepEqual(empty.splice(0, 3, ''), { offset: 0, deletedCount: 3 });
    assert.equal(empty.text(), '');
    assert.deepEqual(empty.splice(5, 2, 'é'), { offset: 0, deletedCount: 0 }, 'ranges are clamped to the text');
    assert.equal(empty.byteLength, 2);
});

test('a paste larger than the whole document and its removal keep the index exact', () => {
    const index = new TextIndex('début 😀\r\n');
    const big = 'ligne é 😀\r\n'.repeat(50000);
    assert.deepEqual(index.splice(6, 0, big), { offset: 7, deletedCount: 0 });
    assert.ok(index.chunkCount > 100);
    assert.equal(index.byteLength, utf8Length('début 😀\r\n') + utf8Length(big));
    assert.deepEqual(index.splice(6, big.length, ''), { offset: 7, deletedCount: utf8Length(big) });
    assert.equal(index.text(), 'début 😀\r\n');
});
