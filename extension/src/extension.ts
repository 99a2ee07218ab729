// Activation: connects the editor's events to the watcher and the sender. Everything with logic
// in it lives in modules that do not need the editor.

import * as fs from 'fs';
import * as path from 'path';
import * as vscode from 'vscode';
import { SOCKET_PATH } from './messages';
import { describeStart, ensureMonitor } from './monitor-start';
import { ProjectFolders } from './project';
import { QueuedSender, SenderStatus } from './sender';
import { describeStatus } from './status';
import { DocumentWatcher } from './watcher';

let active: { watcher: DocumentWatcher; sender: QueuedSender } | undefined;

export function activate(context: vscode.ExtensionContext): void {
    const output = vscode.window.createOutputChannel('Wardlet');
    const log = (line: string) => output.appendLine(`${new Date().toISOString()} ${line}`);

    const socketPath =
        vscode.workspace.getConfiguration('wardlet').get<string>('socketPath') || SOCKET_PATH;
    const item = vscode.window.createStatusBarItem(vscode.StatusBarAlignment.Left, 0);
    item.name = 'Wardlet';
    item.command = 'wardlet-watcher.showLog';
    let latest: SenderStatus | undefined;
    let renderTimer: NodeJS.Timeout | undefined;
    const findProject = () =>
        ProjectFolders.find(
            (vscode.workspace.workspaceFolders ?? []).filter((folder) => folder.uri.scheme === 'file').map((folder) => folder.uri.fsPath),
            vscode.workspace.getConfiguration('wardlet').get<string>('projectFolder'),
        );
    let project = findProject();
    const render = () => {
        renderTimer = undefined;
        if (latest) {
            const { text, tooltip } = describeStatus(latest, socketPath, project.roots);
            item.text = text;
            item.tooltip = tooltip;
        }
    };
    const onStatus = (status: SenderStatus) => {
        const stateChanged = latest?.state !== status.state;
        latest = status;
        if (stateChanged) {
            render();
        } else if (renderTimer === undefined) {
            // The queue length changes with every keystroke while waiting: redraw a few times a second.
            renderTimer = setTimeout(render, 250);
        }
    };

    const sender = new QueuedSender({ socketPath, log, onStatus });
    const watcher = new DocumentWatcher({
        send: (message) => sender.enqueue(message),
        readClipboard: () => vscode.env.clipboard.readText(),
        log,
        documentLength: (document) => {
            // Measured without copying the text out.
            const doc = document as vscode.TextDocument;
            return doc.offsetAt(doc.lineAt(doc.lineCount - 1).range.end);
        },
        project,
    });
    const rescope = () => {
        project = findProject();
        watcher.rescope(project, vscode.workspace.textDocuments);
        log(project.roots.length > 0 ? `monitoring ${project.roots.join(', ')}` : 'no project to monitor');
        render();
    };
    active = { watcher, sender };

    vscode.workspace.textDocuments.forEach((document) => watcher.open(document));
    // An untitled document saved becomes a new file document with the same text: the file's
    // document opens while the untitled one is still open or has just closed.
    const untitledClosed: Array<{ text: string; at: number }> = [];
    const firstSaved = (document: vscode.TextDocument): boolean => {
        const text = document.getText();
        if (document.uri.scheme !== 'file' || text.length === 0) {
            return false;
        }
        const now = Date.now();
        const recent = untitledClosed.findIndex((entry) => now - entry.at < 5000);
        untitledClosed.splice(0, recent < 0 ? untitledClosed.length : recent); // older ones
        const closed = untitledClosed.findIndex((entry) => entry.text === text);
        if (closed >= 0) {
            untitledClosed.splice(closed, 1);
            return true;
        }
        return vscode.workspace.textDocuments.some((other) => other.isUntitled && other.getText() === text);
    };
    context.subscriptions.push(
        output,
        item,
        vscode.workspace.onDidOpenTextDocument((document) =>
            firstSaved(document) ? watcher.firstSave(document) : watcher.open(document),
        ),
        vscode.workspace.onDidCloseTextDocument((document) => {
            if (document.isUntitled) {
                untitledClosed.push({ text: document.getText(), at: Date.now() });
            }
            watcher.close(document);
        }),
        vscode.workspace.onDidChangeTextDocument((event) => watcher.change(event)),
        vscode.workspace.onDidSaveTextDocument((document) => watcher.save(document)),
        vscode.workspace.onDidRenameFiles((event) => watcher.rename(event.files)),
        vscode.workspace.onDidChangeWorkspaceFolders(rescope),
        vscode.workspace.onDidChangeConfiguration((event) => {
            if (event.affectsConfiguration('wardlet.projectFolder')) {
                rescope();
            }
        }),
        vscode.commands.registerCommand('wardlet-watcher.paste', async () => {
            watcher.beginPaste();
            try {
                await vscode.commands.executeCommand('editor.action.clipboardPasteAction');
            } finally {
                watcher.endPaste();
            }
        }),
        vscode.commands.registerCommand('wardlet-watcher.showLog', () => output.show(true)),
        { dispose: () => clearTimeout(renderTimer) },
    );

    log(
        project.roots.length > 0
            ? `monitoring ${project.roots.join(', ')}: watching ${watcher.openDocuments} open document(s)`
            : 'no workspace folder holds a .wardlet directory and wardlet.projectFolder is not set: nothing is sent',
    );
    sender.start();
    item.show();
    startMonitors(project.roots, log, item);
}

/** Starts a monitor for each project folder with a .wardlet directory where none answers. */
function startMonitors(roots: readonly string[], log: (line: string) => void, item: vscode.StatusBarItem): void {
    const settings = vscode.workspace.getConfiguration('wardlet');
    const options = {
        socketPath: SOCKET_PATH,
        monitorPath: settings.get<string>('monitorPath') || 'wardlet',
        startMonitor: settings.get<boolean>('startMonitor') ?? true,
    };
    // One monitor serves the socket: the first folder that needs one gets it.
    void (async () => {
        for (const root of roots.filter((folder) => fs.existsSync(path.join(folder, '.wardlet')))) {
            const start = await ensureMonitor(root, options);
            const words = describeStart(root, start);
            log(words);
            item.tooltip = `${item.tooltip ?? ''}\n${words}`.trim();
            if (start.kind === 'started' || start.kind === 'running') {
                break;
            }
        }
    })();
}

/** Gives the messages still queued a moment to go out before the editor closes. */
export async function deactivate(): Promise<void> {
    if (!active) {
        return;
    }
    const { watcher, sender } = active;
    active = undefined;
    let timer: NodeJS.Timeout | undefined;
    const pause = new Promise<void>((resolve) => (timer = setTimeout(resolve, 1000)));
    await Promise.race([watcher.settled().then(() => sender.drained()), pause]);
    clearTimeout(timer);
    sender.stop();
}
