import assert from 'node:assert/strict';
import * as fs from 'node:fs';
import * as path from 'node:path';
import { test } from 'node:test';
import { bomEncoding, decodeDisk } from '../disk-text';
import { ProjectFolders } from '../project';
import { describeStatus } from '../status';
import { tempDir } from './helpers';

test('the project is the workspace folders holding a .wardlet directory, or the folder of the setting', (t) => {
    const dir = tempDir(t);
    const monitored = path.join(dir, 'proj');
    const other = path.join(dir, 'other');
    fs.mkdirSync(path.join(monitored, '.wardlet'), { recursive: true });
    fs.mkdirSync(other);
    fs.writeFileSync(path.join(other, '.wardlet'), 'a file, not the data directory');

    const found = ProjectFolders.find([other, monitored]);
    assert.deepEqual(found.roots, [monitored]);
    assert.equal(found.contains(path.join(monitored, 'src', 'main.c')), true);
    assert.equal(found.contains(monitored + '-copy/main.c'), false, 'a sibling with the same prefix is outside');
    assert.equal(found.contains(path.join(other, 'main.c')), false);
    assert.equal(found.contains(path.join(monitored, '.wardlet', 'tracked')), false, 'the data directory is not sent');
    assert.equal(found.contains(path.join(monitored, 'src', '..', '..', 'other', 'x')), false);

    assert.deepEqual(ProjectFolders.find([other, monitored], 'sub').roots, [path.join(other, 'sub')]);
    assert.deepEqual(ProjectFolders.find([], '/abs/proj').roots, ['/abs/proj']);
    assert.deepEqual(ProjectFolders.find([other]).roots, [], 'no project: nothing is sent');
});

test('file bytes decode as the editor shows them', () => {
    const utf16 = Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from('é😀\r\n', 'utf16le')]);
    assert.equal(bomEncoding(utf16), 'utf16le');
    assert.equal(decodeDisk(utf16, 'utf16le'), 'é😀\r\n');
    const utf8bom = Buffer.from('\ufeffx', 'utf8');
    assert.equal(bomEncoding(utf8bom), 'utf8bom');
    assert.equal(decodeDisk(utf8bom, 'utf8bom'), 'x');
    assert.equal(decodeDisk(Buffer.from([0x61, 0xff, 0x62]), 'utf8'), 'a\ufffdb', 'a bad byte shows as U+FFFD');
    assert.equal(decodeDisk(Buffer.from([0x80, 0xe9]), 'iso88591'), '\u0080é', 'Latin-1 itself');
    assert.equal(decodeDisk(Buffer.from([0x80, 0xe9]), 'windows1252'), '€é');
    assert.equal(decodeDisk(Buffer.from('x'), 'no-such-encoding'), undefined);
});

test('the status bar names the monitored project, or says there is none', () => {
    const status = { state: 'connected' as const, queued: 0, dropped: 0, gapped: 0, retryInMs: 0 };
    const shown = describeStatus(status, '/tmp/w.sock', ['/home/ann/proj']);
    assert.equal(shown.text, '$(plug) Wardlet proj');
    assert.match(shown.tooltip, /Monitored project: \/home\/ann\/proj/);
    const none = describeStatus(status, '/tmp/w.sock', []);
    assert.equal(none.text, '$(circle-slash) Wardlet: no project');
    assert.equal(describeStatus({ ...status, state: 'waiting', queued: 3 }, '/tmp/w.sock', ['/p']).text, '$(debug-disconnect) Wardlet p: waiting (3)');
});
