// SPDX-License-Identifier: MIT
// The committed bundle is a build output: a fresh build must give the same bytes.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import { build, kBundle } from '../../web/build.mjs';

// When it fails: `node build.mjs` in web/, and commit the bundle with the sources.
test('dist/remote.bundle.js equals a fresh build', async () => {
    const dir = mkdtempSync(join(tmpdir(), 'pointrelay-bundle-'));
    try {
        const fresh = join(dir, 'remote.bundle.js');
        await build(fresh);
        const committed = new URL(`../../web/${kBundle}`, import.meta.url);
        assert.ok(readFileSync(fresh).equals(readFileSync(committed)), 'the bundle is stale');
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});
