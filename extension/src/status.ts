// What the status bar says about the connection to the monitor.

import { SenderStatus } from './sender';

export interface StatusText {
    text: string;
    tooltip: string;
}

export function describeStatus(status: SenderStatus, socketPath: string): StatusText {
    const lines: string[] = [];
    let text: string;
    switch (status.state) {
        case 'connected':
            text = '$(plug) Wardlet';
            lines.push(`Connected to the Wardlet monitor (${socketPath}).`);
            break;
        case 'connecting':
        case 'waiting':
            text = '$(debug-disconnect) Wardlet: waiting';
            lines.push(`Waiting for the Wardlet monitor at ${socketPath}; trying again with growing pauses.`);
            break;
        default:
            text = '$(circle-slash) Wardlet: off';
            lines.push('Not sending changes.');
    }
    if (status.queued > 0) {
        text += ` (${status.queued})`;
        lines.push(`${status.queued} change message(s) queued.`);
    }
    if (status.dropped > 0) {
        text = text.replace(/^\$\([^)]*\)/, '$(warning)');
        lines.push(
            `${status.dropped} change message(s) dropped because the queue was full; ` +
                'the monitor sees the difference when the document is next saved.',
        );
    }
    lines.push('Click to show the log.');
    return { text, tooltip: lines.join('\n') };
}
