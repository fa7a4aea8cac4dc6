// SPDX-License-Identifier: MIT
// Bundles the page's script, with the two noble packages, into dist/remote.bundle.js:
// `node build.mjs` (or `npm run build`) from this folder after `npm ci`. The output depends on
// nothing but the sources and the pinned esbuild, so a fresh build equals the committed file.
import * as esbuild from 'esbuild';
import { fileURLToPath } from 'node:url';

const here = fileURLToPath(new URL('.', import.meta.url));
export const kBundle = 'dist/remote.bundle.js';

/// Writes the bundle to `outfile` (relative to this folder, or absolute).
export async function build(outfile = kBundle) {
    await esbuild.build({
        absWorkingDir: here,
        entryPoints: ['src/remote.js'],
        outfile,
        bundle: true,
        minify: true,
        format: 'iife',
        target: ['safari15', 'chrome100', 'firefox100'],
        legalComments: 'eof',
        charset: 'ascii',
        logLevel: 'warning',
    });
}

if (process.argv[1] === fileURLToPath(import.meta.url))
    await build(process.argv[2]);
