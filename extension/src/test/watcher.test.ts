import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ChangeMessage } from '../messages';
import { ScriptedDocument } from '../scripts/scripted-document';
import { Utf16Change } from '../shadow';
import { ChangeReason, DocumentWatcher } from '../watcher';
import { applyToMirror } from './helpers';

/** A watcher over a fake editor: a clipboard the test controls and a list of the messages sent. */
function setup(clipboardReader?: () => PromiseLike<string>) {
    const sent: ChangeMessage[] = [];
    const logged: string[] = [];
    const editor = { clipboard: '' };
    const watcher = new DocumentWatcher({
        send: (message) => sent.push(message),
        readClipboard: clipboardReader ?? (() => Promise.resolve(editor.clipboard)),
        log: (line) => logged.push(line),
        documentLength: (document) => document.getText().length,
    });
    const change = (doc: ScriptedDocument, changes: Utf16Change[], reason?: number) => {
        doc.edit(changes);
        watcher.change({ document: doc, contentChanges: changes, reason });
    };
    return { sent, logged, editor, watcher, change };
}

test('a change message carries all eight keys with byte positions', async () => {
    const { sent, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/é.txt', 'naïve\n');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 5, rangeLength: 0, text: '!' }]);
    await watcher.settled();
    assert.deepEqual(sent, [
        {
            file: '/p/é.txt',
            type: 'change',
            inserted: '!',
            deletedCount: 0,
            offset: 6,
            causedByUndoRedo: false,
            causedByCopyPaste: false,
            isSaved: false,
        },
    ]);
});

test('undo and redo are flagged from the change reason', async () => {
    const { sent, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'abc');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 3, rangeLength: 0, text: 'd' }]);
    change(doc, [{ rangeOffset: 3, rangeLength: 1, text: '' }], ChangeReason.Undo);
    change(doc, [{ rangeOffset: 3, rangeLength: 0, text: 'd' }], ChangeReason.Redo);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => m.causedByUndoRedo),
        [false, true, true],
    );
});

test('inserted text equal to the clipboard is a paste, also across line-end styles', async () => {
    const { sent, editor, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'x\r\n');
    watcher.open(doc);
    editor.clipboard = 'copied\nlines';
    change(doc, [{ rangeOffset: 3, rangeLength: 0, text: 'copied\r\nlines' }]);
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'copied' }]);
    change(doc, [{ rangeOffset: 0, rangeLength: 6, text: '' }]);
    editor.clipboard = '';
    change(doc, [{ rangeOffset: 0, rangeLength: 1, text: '' }]);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => m.causedByCopyPaste),
        [true, false, false, false],
        'a part of the clipboard is typed, and deleting is never pasting, even with an empty clipboard',
    );
});

test('every change made while the paste command runs is a paste', async () => {
    const { sent, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'a\nb\n');
    watcher.open(doc);
    watcher.beginPaste();
    // One line of the clipboard at each cursor: no piece equals the clipboard's whole text.
    change(doc, [
        { rangeOffset: 2, rangeLength: 0, text: 'two' },
        { rangeOffset: 0, rangeLength: 0, text: 'one' },
    ]);
    watcher.endPaste();
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'z' }]);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => [m.inserted, m.causedByCopyPaste]),
        [
            ['two', true],
            ['one', true],
            ['z', false],
        ],
    );
});

test('messages keep the editor order while the clipboard answers late, and the clipboard of the moment counts', async () => {
    const reads: Array<(text: string) => void> = [];
    const { sent, watcher, change } = setup(() => new Promise<string>((resolve) => reads.push(resolve)));
    const doc = new ScriptedDocument('/p/a.txt', '');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'first' }]);
    change(doc, [{ rangeOffset: 5, rangeLength: 0, text: 'second' }]);
    change(doc, [{ rangeOffset: 0, rangeLength: 1, text: '' }]);
    watcher.save(doc);
    assert.equal(sent.length, 0, 'nothing overtakes the change that waits for the clipboard');
    reads[1]('second');
    reads[0]('other');
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => [m.type, m.inserted, m.causedByCopyPaste]),
        [
            ['change', 'first', false],
            ['change', 'second', true],
            ['change', '', false],
            ['save', '', false],
        ],
    );
});

test('a clipboard that cannot be read makes no paste and loses no message', async () => {
    const { sent, watcher, change } = setup(() => Promise.reject(new Error('no clipboard')));
    const doc = new ScriptedDocument('/p/a.txt', '');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'x' }]);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => m.causedByCopyPaste),
        [false],
    );
});

test('a save is one message with offset -1; documents outside the file system are left out', async () => {
    const { sent, watcher, change } = setup();
    const untitled = new ScriptedDocument('Untitled-1', 'draft', 'untitled');
    const doc = new ScriptedDocument('/p/a.txt', 'text');
    watcher.open(untitled);
    watcher.open(doc);
    change(untitled, [{ rangeOffset: 0, rangeLength: 0, text: 'x' }]);
    watcher.save(untitled);
    watcher.save(doc);
    await watcher.settled();
    assert.deepEqual(sent, [
        {
            file: '/p/a.txt',
            type: 'save',
            inserted: '',
            deletedCount: 0,
            offset: -1,
            causedByUndoRedo: false,
            causedByCopyPaste: false,
            isSaved: true,
        },
    ]);
});

test('a change of line ends reported without ranges still keeps the mirror exact', async () => {
    const { sent, watcher, change } = setup();
    const start = 'ä\nb\n';
    const doc = new ScriptedDocument('/p/a.txt', start);
    watcher.open(doc);
    doc.rewrite('ä\r\nb\r\n');
    watcher.change({ document: doc, contentChanges: [] });
    watcher.change({ document: doc, contentChanges: [] }); // a dirty-state event changes nothing
    change(doc, [{ rangeOffset: 6, rangeLength: 0, text: 'c' }]);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => m.type),
        ['eol', 'change'],
    );
    let mirror: Buffer = Buffer.from(start, 'utf8');
    for (const message of sent) {
        mirror = applyToMirror(mirror, message);
    }
    assert.equal(mirror.toString('utf8'), 'ä\r\nb\r\nc');
});

test('a shadow that lost step with the editor is re-read, and a closed document is forgotten', async () => {
    const { sent, logged, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'abc');
    watcher.open(doc);
    doc.rewrite('abcdef'); // an edit the watcher never heard of
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'é' }]);
    change(doc, [{ rangeOffset: 7, rangeLength: 0, text: 'g' }]);
    await watcher.settled();
    assert.equal(sent[1].offset, 8, 'positions count from the text re-read from the editor');
    assert.ok(logged.some((line) => line.includes('out of step')));

    watcher.close(doc);
    assert.equal(watcher.openDocuments, 0);
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'x' }]);
    await watcher.settled();
    assert.equal(sent.length, 2, 'no position can be given for a change of a document not seen open');
});
