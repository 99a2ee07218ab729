// Which documents belong to the monitored project: only their changes leave the editor. Any other
// file the editor has open (its own settings, files of other projects) is never sent.

import * as fs from 'fs';
import * as path from 'path';

/** The data directory the monitor keeps in a project's folder. */
export const DATA_DIRECTORY = '.wardlet';

export interface ProjectScope {
    contains(fsPath: string): boolean;
}

function below(root: string, file: string): boolean {
    const relative = path.relative(root, file);
    return relative === '' || (!relative.startsWith('..') && !path.isAbsolute(relative));
}

function isDirectory(dir: string): boolean {
    try {
        return fs.statSync(dir).isDirectory();
    } catch {
        return false;
    }
}

export class ProjectFolders implements ProjectScope {
    private constructor(readonly roots: readonly string[]) {}

    /**
     * The project folders: the folder named by the setting (relative to the first workspace
     * folder) when it is set, else every workspace folder that holds a data directory.
     */
    static find(workspaceFolders: readonly string[], projectFolder?: string): ProjectFolders {
        const setting = projectFolder?.trim();
        if (setting) {
            const base = workspaceFolders[0] ?? process.cwd();
            return new ProjectFolders([path.resolve(base, setting)]);
        }
        return new ProjectFolders(
            workspaceFolders.map((folder) => path.resolve(folder)).filter((folder) => isDirectory(path.join(folder, DATA_DIRECTORY))),
        );
    }

    /** Files below a project folder, except the monitor's own data directory. */
    contains(fsPath: string): boolean {
        const file = path.resolve(fsPath);
        return this.roots.some((root) => below(root, file) && !below(path.join(root, DATA_DIRECTORY), file));
    }
}
