// The messages to the monitor, one JSON object per line on its socket. Every kind carries the same
// eight keys; some kinds add keys of their own.

import { createHash } from 'crypto';

export const SOCKET_PATH = '/tmp/wardlet.sock';

export interface ChangeMessage {
    file: string;
    type: string;
    inserted: string;
    deletedCount: number;
    offset: number;
    causedByUndoRedo: boolean;
    causedByCopyPaste: boolean;
    isSaved: boolean;
    /** save, open, resync: the editor's text in UTF-8 bytes (a lone surrogate counts as U+FFFD). */
    length?: number;
    /** save, open, resync: lowercase hex SHA-256 of those bytes. */
    sha256?: string;
    /** open, resync: the editor's encoding id, e.g. "utf8", "utf8bom", "iso88591", "utf16le". */
    encoding?: string;
    /** open, resync: the document's line end, "\n" or "\r\n". */
    eol?: string;
    /** open, resync: whether the file on disk starts with a byte order mark. */
    bom?: boolean;
    /** open, resync: whether "inserted" holds the editor's text (else it equals the disk's, decoded). */
    textIncluded?: boolean;
    /** rename: the path the file had before. */
    oldFile?: string;
    /**
     * change: the whole text of a document the editor wrote to its file for the first time (an
     * untitled document saved), inserted at offset 0 of that file, before its save.
     */
    firstSave?: boolean;
}

/** Kinds of message, carried in "type". */
export const MessageType = {
    CHANGE: 'change',
    SAVE: 'save',
    /** The editor rewrote the line ends of the whole document in one step. */
    EOL: 'eol',
    /** The document as the editor holds it when first seen. */
    OPEN: 'open',
    /** The document as the editor holds it, after the extension found its shadow out of step. */
    RESYNC: 'resync',
    /** The editor renamed or moved a file ("oldFile" to "file"). */
    RENAME: 'rename',
} as const;

/** Length and hash of a text's UTF-8 bytes, as the monitor measures its mirror. */
export function digest(text: string): { length: number; sha256: string } {
    // Buffer.from writes a lone surrogate as U+FFFD, as JSON decoding on the monitor's side does.
    const bytes = Buffer.from(text, 'utf8');
    return { length: bytes.length, sha256: createHash('sha256').update(bytes).digest('hex') };
}

/** A change in the monitor's units: byte offset and byte count in the text before it. */
export interface ByteChange {
    offset: number;
    deletedCount: number;
    inserted: string;
}

export function changeMessage(
    file: string,
    change: ByteChange,
    flags: { undoRedo: boolean; copyPaste: boolean },
    type: string = MessageType.CHANGE,
): ChangeMessage {
    return {
        file,
        type,
        inserted: change.inserted,
        deletedCount: change.deletedCount,
        offset: change.offset,
        causedByUndoRedo: flags.undoRedo,
        causedByCopyPaste: flags.copyPaste,
        isSaved: false,
    };
}

function positionless(file: string, type: string, inserted = ''): ChangeMessage {
    return {
        file,
        type,
        inserted,
        deletedCount: 0,
        offset: -1,
        causedByUndoRedo: false,
        causedByCopyPaste: false,
        isSaved: false,
    };
}

/**
 * A save carries no position: offset -1 tells the monitor to leave its mirror alone. Length and
 * hash of the editor's text at the save let it tell a mirror that missed something from a disk
 * that differs from the editor.
 */
export function saveMessage(file: string, text: string): ChangeMessage {
    return {
        file,
        type: MessageType.SAVE,
        inserted: '',
        deletedCount: 0,
        offset: -1,
        causedByUndoRedo: false,
        causedByCopyPaste: false,
        isSaved: true,
        ...digest(text),
    };
}

/** How the editor decoded a document from its file. */
export interface DocumentFormat {
    encoding: string;
    eol: string;
    bom: boolean;
}

/**
 * The document as the editor holds it ("open" or "resync"). The text itself goes along only when
 * it differs from the file on disk as decoded by the extension: the monitor can decode the disk
 * itself and check it against length and hash.
 */
export function documentMessage(
    type: typeof MessageType.OPEN | typeof MessageType.RESYNC,
    file: string,
    text: string,
    format: DocumentFormat,
    includeText: boolean,
): ChangeMessage {
    return {
        ...positionless(file, type, includeText ? text : ''),
        ...digest(text),
        encoding: format.encoding,
        eol: format.eol,
        bom: format.bom,
        textIncluded: includeText,
    };
}

export function renameMessage(oldFile: string, file: string): ChangeMessage {
    return { ...positionless(file, MessageType.RENAME), oldFile };
}

/** One line of the wire format. JSON escapes line feeds inside strings, so the line has one. */
export function encodeMessage(message: ChangeMessage): string {
    return JSON.stringify(message) + '\n';
}

/** The text of a document first saved, as one insertion at the start of its new file. */
export function firstSaveMessage(file: string, text: string): ChangeMessage {
    return {
        ...changeMessage(file, { offset: 0, deletedCount: 0, inserted: text }, { undoRedo: false, copyPaste: false }),
        firstSave: true,
    };
}
