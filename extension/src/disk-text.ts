// The text of a file as the editor shows it: the bytes decoded with the document's encoding, the
// byte order mark dropped. Used to tell whether the editor's text is the one on disk.

const BOMS: Array<{ encoding: string; bytes: number[] }> = [
    { encoding: 'utf8bom', bytes: [0xef, 0xbb, 0xbf] },
    { encoding: 'utf16le', bytes: [0xff, 0xfe] },
    { encoding: 'utf16be', bytes: [0xfe, 0xff] },
];

function startsWith(bytes: Uint8Array, prefix: number[]): boolean {
    return bytes.length >= prefix.length && prefix.every((byte, i) => bytes[i] === byte);
}

/** The encoding a byte order mark announces, if the bytes start with one. */
export function bomEncoding(bytes: Uint8Array): string | undefined {
    return BOMS.find((bom) => startsWith(bytes, bom.bytes))?.encoding;
}

/** The editor's encoding ids (as in its settings) and the decoder's labels for them. */
const LABELS: Record<string, string> = {
    utf8: 'utf-8',
    utf8bom: 'utf-8',
    utf16le: 'utf-16le',
    utf16be: 'utf-16be',
    windows1250: 'windows-1250',
    windows1251: 'windows-1251',
    iso885915: 'iso-8859-15',
    iso88592: 'iso-8859-2',
    koi8r: 'koi8-r',
    shiftjis: 'shift_jis',
    gbk: 'gbk',
    gb18030: 'gb18030',
    big5hkscs: 'big5',
    eucjp: 'euc-jp',
    euckr: 'euc-kr',
};

/** windows-1252 where it differs from Latin-1 (0x80-0x9F); the five unassigned bytes stay as they are. */
const WINDOWS_1252_HIGH =
    '\u20ac\u0081\u201a\u0192\u201e\u2026\u2020\u2021\u02c6\u2030\u0160\u2039\u0152\u008d\u017d\u008f' +
    '\u0090\u2018\u2019\u201c\u201d\u2022\u2013\u2014\u02dc\u2122\u0161\u203a\u0153\u009d\u017e\u0178';

/**
 * Decodes file bytes as the editor does for `encoding`, or returns undefined for an encoding this
 * cannot decode. Invalid sequences become U+FFFD. The encoding's own byte order mark is dropped,
 * as the editor does when it opens such a file.
 */
export function decodeDisk(bytes: Uint8Array, encoding: string): string | undefined {
    const buffer = Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const bom = BOMS.find((entry) => startsWith(bytes, entry.bytes));
    if (encoding === 'iso88591') {
        // A decoder's "iso-8859-1" label means windows-1252; the editor's id means Latin-1 itself.
        return buffer.toString('latin1');
    }
    if (encoding === 'windows1252') {
        // Done here: some runtimes decode this label as Latin-1.
        return buffer.toString('latin1').replace(/[\u0080-\u009f]/g, (ch) => WINDOWS_1252_HIGH[ch.charCodeAt(0) - 0x80]);
    }
    const label = LABELS[encoding];
    if (label === undefined) {
        return undefined;
    }
    let body = buffer;
    if (bom !== undefined && LABELS[bom.encoding] === label) {
        body = buffer.subarray(bom.bytes.length);
    }
    try {
        return new TextDecoder(label, { ignoreBOM: true }).decode(body);
    } catch {
        return undefined; // a decoder this runtime lacks
    }
}
