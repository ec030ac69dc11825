// Runs one browser test case against the built site:
//
//   node web/tests/run.mjs --case NAME --site build/web/site
//   node web/tests/run.mjs --list
//
// Each case gets a browser and a server of its own, so cases run side by side under ctest -j
// and a repeated case starts clean every time. Exit status 0 when the case passed.

import {Skipped, cases} from './cases.mjs';
import {openSession} from './harness.mjs';

function argument(name) {
    const i = process.argv.indexOf(name);
    return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : null;
}

if (process.argv.includes('--list')) {
    // With each case's time limit in seconds, for CTest.
    for (const [name, c] of Object.entries(cases)) {
        console.log(`${name} ${c.timeout || 60}`);
    }
    process.exit(0);
}

const name = argument('--case');
const site = argument('--site');
if (!name || !site || !(name in cases)) {
    console.error('usage: run.mjs --case NAME --site DIR (--list names the cases)');
    process.exit(2);
}

// CTest's SKIP_RETURN_CODE: the case cannot be run with this build.
const SKIP = 77;

const started = Date.now();
const session = await openSession({site, lang: cases[name].lang});
let failed = false;
try {
    await cases[name].run(session);
} catch (e) {
    if (e instanceof Skipped) {
        console.log(`SKIP ${name}: ${e.message}`);
        await session.close();
        process.exit(SKIP);
    }
    failed = true;
    console.error(`FAIL ${name}: ${(e && e.stack) || e}`);
    for (const page of await session.browser.pages()) {
        if (page.consoleLines && page.consoleLines.length) {
            console.error('--- console of ' + page.url());
            console.error(page.consoleLines.slice(-40).join('\n'));
        }
    }
} finally {
    await session.close();
}
const seconds = ((Date.now() - started) / 1000).toFixed(1);
console.log(`${failed ? 'FAIL' : 'PASS'} ${name} (${seconds} s)`);
process.exit(failed ? 1 : 0);
