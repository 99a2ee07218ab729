// What the status bar says about the monitored project and the connection to the monitor.

import * as path from 'path';
import { SenderStatus } from './sender';

export interface StatusText {
    text: string;
    tooltip: string;
}

export function describeStatus(status: SenderStatus, socketPath: string, projectRoots: readonly string[]): StatusText {
    const lines: string[] = [];
    let text: string;
    if (projectRoots.length === 0) {
        return {
            text: '$(circle-slash) Wardlet: no project',
            tooltip:
                'No workspace folder holds a .wardlet directory and the setting wardlet.projectFolder is not set: ' +
                'no change is sent.\nClick to show the log.',
        };
    }
    lines.push(`Monitored project: ${projectRoots.join(', ')} (only its files are sent).`);
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
    text = text.replace('Wardlet', `Wardlet ${projectRoots.map((root) => path.basename(root)).join(', ')}`);
    return { text, tooltip: lines.join('\n') };
}
