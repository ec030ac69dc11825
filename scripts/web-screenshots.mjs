// Pictures of the updater's web page after a rehearsed update (the "Virtual instrument"
// choice, as a visitor without hardware uses it), in English and in Japanese, taken by
// headless Chromium: docs/web-en.png and docs/web-ja.png, which the README shows.
//
//   bash scripts/web.sh --build-only && node scripts/web-screenshots.mjs [--site DIR] [--out DIR]
//
// The browser and its driver are the browser tests' (web/tests/harness.mjs): Debian's
// chromium and puppeteer-core from web/node_modules (npm ci --prefix web).

import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {openPage, openSession} from '../web/tests/harness.mjs';
import {chooseTransport, loadUntilOffered, updateUntilEnded} from '../web/tests/page.mjs';
import {vsbBlock, vsbFile} from '../web/tests/vsb.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');

function argument(name, fallback) {
    const i = process.argv.indexOf(name);
    return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const site = argument('--site', path.join(root, 'build/web/site'));
const out = argument('--out', path.join(root, 'docs'));
fs.mkdirSync(out, {recursive: true});
if (!fs.existsSync(path.join(site, 'index.html'))) {
    console.error(`web-screenshots: no page in ${site}; build it first (bash scripts/web.sh --build-only)`);
    process.exit(1);
}

// A system file of two blocks, as build/web/sample.vsb holds them.
const sample = vsbFile([
    vsbBlock({code: 1, name: 'MAIN', major: 1, minor: 5, size: 16384}),
    vsbBlock({code: 2, name: 'VOICE', major: 2, minor: 10, address: 0x20000, size: 8192}),
]);

for (const [language, lang] of [['en', 'en-US'], ['ja', 'ja-JP']]) {
    const session = await openSession({site, lang});
    try {
        const page = await openPage(session, {lang, standIns: false});
        await chooseTransport(page, 'vi');
        await loadUntilOffered(page, session.writeFile('sample.vsb', sample));
        const v = await updateUntilEnded(page);
        if (!v.log.includes('Update Completed!')) {
            throw new Error(`the rehearsal did not complete: ${JSON.stringify(v)}`);
        }
        // The focus ring the Update button kept would show in the picture.
        await page.evaluate(() => document.activeElement && document.activeElement.blur());
        const file = path.join(out, `web-${language}.png`);
        await (await page.$('#window')).screenshot({path: file});
        console.log(`wrote ${path.relative(root, file)}`);
    } finally {
        await session.close();
    }
}
