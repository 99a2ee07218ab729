// The change message, one JSON object per line on the monitor's socket.

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
}

/** Kinds of message, carried in "type". */
export const MessageType = {
    CHANGE: 'change',
    SAVE: 'save',
    /** The editor rewrote the line ends of the whole document in one step. */
    EOL: 'eol',
} as const;

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

/** A save carries no position: offset -1 tells the monitor to leave its mirror alone. */
export function saveMessage(file: string): ChangeMessage {
    return {
        file,
        type: MessageType.SAVE,
        inserted: '',
        deletedCount: 0,
        offset: -1,
        causedByUndoRedo: false,
        causedByCopyPaste: false,
        isSaved: true,
    };
}

/** One line of the wire format. JSON escapes line feeds inside strings, so the line has one. */
export function encodeMessage(message: ChangeMessage): string {
    return JSON.stringify(message) + '\n';
}
