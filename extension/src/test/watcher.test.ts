import assert from 'node:assert/strict';
import { test } from 'node:test';
import { createHash } from 'node:crypto';
import { ChangeMessage } from '../messages';
import { ScriptedDocument } from '../scripts/scripted-document';
import { Utf16Change } from '../shadow';
import { ChangeReason, DocumentWatcher } from '../watcher';
import { applyToMirror } from './helpers';

/**
 * A watcher over a fake editor: a clipboard and a disk the test controls, the project /p, and the
 * list of the messages sent ("open" messages apart, in `opens`).
 */
function setup(clipboardReader?: () => PromiseLike<string>) {
    const all: ChangeMessage[] = [];
    const sent: ChangeMessage[] = [];
    const logged: string[] = [];
    const editor = { clipboard: '', clipboardReads: 0 };
    const disk = new Map<string, Buffer>();
    const watcher = new DocumentWatcher({
        send: (message) => {
            all.push(message);
            if (message.type !== 'open') {
                sent.push(message);
            }
        },
        readClipboard:
            clipboardReader ??
            (() => {
                editor.clipboardReads++;
                return Promise.resolve(editor.clipboard);
            }),
        log: (line) => logged.push(line),
        documentLength: (document) => document.getText().length,
        project: { contains: (file) => file.startsWith('/p/') },
        readFile: (file) => {
            const bytes = disk.get(file);
            return bytes ? Promise.resolve(bytes) : Promise.reject(new Error('ENOENT'));
        },
    });

    const change = (doc: ScriptedDocument, changes: Utf16Change[], reason?: number) => {
        doc.edit(changes);
        watcher.change({ document: doc, contentChanges: changes, reason });
    };
    return { all, sent, logged, editor, disk, watcher, change };
}

function sha256(text: string): string {
    return createHash('sha256').update(Buffer.from(text, 'utf8')).digest('hex');
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
            length: 4,
            sha256: sha256('text'),
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

test('documents are described when first seen: their text goes along only where the disk, decoded, differs', async () => {
    const { all, disk, watcher } = setup();
    const clean = new ScriptedDocument('/p/clean.txt', 'même\n');
    disk.set('/p/clean.txt', Buffer.from('même\n'));
    const bom = new ScriptedDocument('/p/bom.txt', 'x\r\ny\r\n');
    disk.set('/p/bom.txt', Buffer.from('\ufeffx\r\ny\r\n'));
    const latin = new ScriptedDocument('/p/latin.txt', 'café\n', 'file', 'iso88591');
    disk.set('/p/latin.txt', Buffer.from('caf\xe9\n', 'latin1'));
    const mixed = new ScriptedDocument('/p/mixed.txt', 'a\r\nb\r\nc\r\n');
    disk.set('/p/mixed.txt', Buffer.from('a\r\nb\nc\r\n'));
    const dirty = new ScriptedDocument('/p/dirty.txt', 'unsaved 😀');
    disk.set('/p/dirty.txt', Buffer.from('saved'));
    const missing = new ScriptedDocument('/p/new.txt', 'fresh');
    for (const doc of [clean, bom, latin, mixed, dirty, missing]) {
        watcher.open(doc);
    }
    watcher.open(clean); // seen already: nothing new
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.file, m.type, m.inserted, m.offset, m.textIncluded, m.encoding, m.eol, m.bom, m.length]),
        [
            ['/p/clean.txt', 'open', '', -1, false, 'utf8', '\n', false, 6],
            ['/p/bom.txt', 'open', '', -1, false, 'utf8bom', '\r\n', true, 6],
            ['/p/latin.txt', 'open', '', -1, false, 'iso88591', '\n', false, 6],
            ['/p/mixed.txt', 'open', 'a\r\nb\r\nc\r\n', -1, true, 'utf8', '\r\n', false, 9],
            ['/p/dirty.txt', 'open', 'unsaved 😀', -1, true, 'utf8', '\n', false, 12],
            ['/p/new.txt', 'open', 'fresh', -1, true, 'utf8', '\n', false, 5],
        ],
    );
    assert.equal(all[0].sha256, sha256('même\n'));
    assert.equal(all[4].sha256, sha256('unsaved 😀'));
});

test('a document closed without saving and opened again is described again', async () => {
    const { all, disk, watcher, change } = setup();
    disk.set('/p/a.txt', Buffer.from('disk'));
    const doc = new ScriptedDocument('/p/a.txt', 'disk');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 4, rangeLength: 0, text: '!' }]);
    watcher.close(doc);
    const reverted = new ScriptedDocument('/p/a.txt', 'disk');
    watcher.open(reverted);
    change(reverted, [{ rangeOffset: 0, rangeLength: 0, text: 'é' }]);
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.inserted, m.offset, m.length]),
        [
            ['open', '', -1, 4],
            ['change', '!', 4, undefined],
            ['open', '', -1, 4],
            ['change', 'é', 0, undefined],
        ],
    );
});

test('a shadow out of step is repaired by a resync with the editor\'s text, logged once', async () => {
    const { sent, logged, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'abc');
    watcher.open(doc);
    doc.rewrite('abcdef'); // an edit the watcher never heard of
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'é' }]);
    change(doc, [{ rangeOffset: 7, rangeLength: 0, text: 'g' }]);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => [m.type, m.inserted, m.offset, m.textIncluded, m.length, m.sha256]),
        [
            ['resync', 'éabcdef', -1, true, 8, sha256('éabcdef')],
            ['change', 'g', 8, undefined, undefined, undefined],
        ],
        'the change measured on the wrong text is not sent; later positions count from the editor\'s text',
    );
    assert.equal(logged.filter((line) => line.includes('out of step')).length, 1);

    watcher.close(doc);
    assert.equal(watcher.openDocuments, 0);
});

test('a save carries the length and hash of the saved text, after a repair if the shadow differs', async () => {
    const { sent, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', 'one');
    watcher.open(doc);
    change(doc, [{ rangeOffset: 3, rangeLength: 0, text: ' 😀' }]);
    watcher.save(doc);
    doc.rewrite('one 😁'); // same length, other text: only the save can notice
    watcher.save(doc);
    await watcher.settled();
    assert.deepEqual(
        sent.map((m) => [m.type, m.isSaved, m.length, m.sha256]),
        [
            ['change', false, undefined, undefined],
            ['save', true, 8, sha256('one 😀')],
            ['resync', false, 8, sha256('one 😁')],
            ['save', true, 8, sha256('one 😁')],
        ],
    );
});

test('only documents of the monitored project are sent: an editor settings file is not', async () => {
    const { all, watcher, change } = setup();
    const settings = new ScriptedDocument('/home/ann/.config/Code/User/settings.json', '{"token": "s3cret"}');
    const other = new ScriptedDocument('/elsewhere/p/a.txt', 'x');
    for (const doc of [settings, other]) {
        watcher.open(doc);
        change(doc, [{ rangeOffset: 1, rangeLength: 0, text: ' "more": 1' }]);
        watcher.save(doc);
    }
    watcher.rename([{ oldUri: settings.uri, newUri: new ScriptedDocument('/home/ann/x.json', '').uri }]);
    await watcher.settled();
    assert.equal(all.length, 0, "nothing of them is sent");
    assert.equal(watcher.openDocuments, 0);

    // The project changes: a document that enters it is described, one that leaves is forgotten.
    watcher.rescope({ contains: (file) => file.startsWith('/elsewhere/') }, [settings, other]);
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.file]),
        [['open', '/elsewhere/p/a.txt']],
    );
});

test('a rename inside the project moves the document; later changes follow it under the new name', async () => {
    const { all, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/old.txt', 'ab');
    watcher.open(doc);
    const moved = new ScriptedDocument('/p/sub/new.txt', 'ab');
    watcher.rename([{ oldUri: doc.uri, newUri: moved.uri }]);
    watcher.open(moved); // the editor opens the document under its new name: already known
    change(moved, [{ rangeOffset: 2, rangeLength: 0, text: 'c' }]);
    const out = new ScriptedDocument('/q/new.txt', 'abc');
    watcher.rename([{ oldUri: moved.uri, newUri: out.uri }]);
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.file, m.oldFile, m.offset]),
        [
            ['open', '/p/old.txt', undefined, -1],
            ['rename', '/p/sub/new.txt', '/p/old.txt', -1],
            ['change', '/p/sub/new.txt', undefined, 2],
        ],
        'a move out of the project sends nothing',
    );
    assert.equal(watcher.openDocuments, 0);
});

test('a document the editor opened under its new name before the rename event is described again after it', async () => {
    const { all, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/old.txt', 'ab');
    watcher.open(doc);
    const moved = new ScriptedDocument('/p/new.txt', 'abX');
    watcher.open(moved);
    watcher.rename([{ oldUri: doc.uri, newUri: moved.uri }]);
    change(moved, [{ rangeOffset: 3, rangeLength: 0, text: 'c' }]);
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.file, m.offset]),
        [
            ['open', '/p/old.txt', -1],
            ['open', '/p/new.txt', -1],
            ['rename', '/p/new.txt', -1],
            ['open', '/p/new.txt', -1],
            ['change', '/p/new.txt', 3],
        ],
    );
    assert.equal(watcher.openDocuments, 1);

    // A folder: the documents the editor opened below its new name are described again.
    all.length = 0;
    const inFolder = new ScriptedDocument('/p/dir2/x.txt', 'x');
    watcher.open(inFolder);
    watcher.rename([{ oldUri: new ScriptedDocument('/p/dir', '').uri, newUri: new ScriptedDocument('/p/dir2', '').uri }]);
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.file, m.oldFile]),
        [
            ['open', '/p/dir2/x.txt', undefined],
            ['rename', '/p/dir2', '/p/dir'],
            ['open', '/p/dir2/x.txt', undefined],
        ],
    );
});

test('the clipboard is read only for an insertion of more than one character', async () => {
    const { sent, editor, watcher, change } = setup();
    const doc = new ScriptedDocument('/p/a.txt', '');
    watcher.open(doc);
    editor.clipboard = 'x';
    change(doc, [{ rangeOffset: 0, rangeLength: 0, text: 'x' }]);
    change(doc, [{ rangeOffset: 1, rangeLength: 0, text: '😀' }]);
    change(doc, [{ rangeOffset: 3, rangeLength: 0, text: '\r\n' }]);
    assert.equal(editor.clipboardReads, 0);
    editor.clipboard = 'xy';
    change(doc, [{ rangeOffset: 5, rangeLength: 0, text: 'xy' }]);
    await watcher.settled();
    assert.equal(editor.clipboardReads, 1);
    assert.deepEqual(
        sent.map((m) => m.causedByCopyPaste),
        [false, false, false, true],
    );
});

test('a document first saved sends its whole text as one insertion at the start, then the save; later edits follow it', async () => {
    const { all, watcher, change } = setup();
    const saved = new ScriptedDocument('/p/fresh.py', 'print(1)\n');
    watcher.firstSave(saved);
    watcher.open(saved); // the editor's open of the same document: already known
    change(saved, [{ rangeOffset: 9, rangeLength: 0, text: 'x' }]);
    watcher.firstSave(new ScriptedDocument('/elsewhere/fresh.py', 'secret')); // outside: nothing
    await watcher.settled();
    assert.deepEqual(
        all.map((m) => [m.type, m.file, m.offset, m.inserted, m.firstSave, m.isSaved, m.length]),
        [
            ['change', '/p/fresh.py', 0, 'print(1)\n', true, false, undefined],
            ['save', '/p/fresh.py', -1, '', undefined, true, 9],
            ['change', '/p/fresh.py', 9, 'x', undefined, false, undefined],
        ],
    );
    assert.equal(watcher.openDocuments, 1);
});
