// The page as a user meets it: its controls by their ids, what its status, details and log
// rows say, and the ways a user chooses a transport, a file and Update.

import assert from 'node:assert/strict';
import {sleep} from './harness.mjs';

// Everything a user reads on the page, row by row.
export async function visible(page) {
    return page.evaluate(() => {
        // A row's texts stand apart on the page as the window draws them: a label and its
        // value read with a blank between them.
        const text = (e) => (e.children.length ? Array.from(e.children, text).join(' ') : e.textContent);
        const rows = (selector) =>
            Array.from(document.querySelectorAll(selector), (e) => text(e).trim());
        const message = document.getElementById('message');
        const stop = document.getElementById('stop-dialog');
        const bar = document.getElementById('progress');
        return {
            details: rows('#details .row'),
            status: rows('#status .row'),
            log: rows('#log .row').filter((r) => r !== ''),
            message: message.open ? document.getElementById('message-text').textContent : null,
            stopOpen: stop.open,
            updateEnabled: !document.getElementById('update').disabled,
            stopEnabled: !document.getElementById('stop').disabled,
            openEnabled: !document.getElementById('open').disabled,
            progress: [bar.value, bar.max],
            lockedTimes: window.__orventTest.lockedTimes || 0,
        };
    });
}

// Waits until what the page shows satisfies test (a function of visible()); fails with what
// it showed last.
export async function waitUntil(page, what, test, timeoutMs = 20000) {
    const end = Date.now() + timeoutMs;
    let seen;
    for (;;) {
        seen = await visible(page);
        if (test(seen)) {
            return seen;
        }
        if (Date.now() > end) {
            assert.fail(`waited ${timeoutMs} ms for ${what}; the page shows ${JSON.stringify(seen, null, 1)}`);
        }
        await sleep(25);
    }
}

// The transport choice as a user makes it; serial and USB go through the browser's chooser.
export async function chooseTransport(page, transport) {
    await page.click(`#transport-${transport}`);
    if (transport === 'serial' || transport === 'usb') {
        await page.click(`#${transport}-choose`);
    }
}

// Open... and the browser's file chooser, as a user picks a file.
export async function openFile(page, file) {
    const [chooser] = await Promise.all([page.waitForFileChooser(), page.click('#open')]);
    await chooser.accept([file]);
}

export const OFFER = 'Update puts the latest system software';

// A file chosen: waits until the page offers the update (or shows a message box instead).
export async function loadUntilOffered(page, file) {
    await openFile(page, file);
    return waitUntil(page, 'the update offer', (v) => v.updateEnabled && v.status[0] === OFFER);
}

// Counts the times Open... is locked from now on: a run that fails at once may lock and
// unlock the page between two looks at it.
export async function watchLocking(page) {
    await page.evaluate(() => {
        const t = window.__orventTest;
        t.lockedTimes = 0;
        if (!t.lockWatch) {
            t.lockWatch = new MutationObserver((records) => {
                t.lockedTimes += records.filter((r) => r.oldValue === null).length;
            });
            t.lockWatch.observe(document.getElementById('open'), {attributeFilter: ['disabled'], attributeOldValue: true});
        }
    });
}

export function runEnded(v) {
    return v.lockedTimes > 0 && v.openEnabled && !v.stopOpen;
}

// Update pressed: waits until the run has ended and the page is idle again.
export async function updateUntilEnded(page, timeoutMs = 30000) {
    await watchLocking(page);
    await page.click('#update');
    return waitUntil(page, 'the end of the update', runEnded, timeoutMs);
}

// What the user sees after a completed update of a file whose first block names device
// and version.
export function assertCompleted(v, device, version) {
    assert.equal(v.status[0], 'Update completed!', 'status row');
    assert.ok(v.details.includes(`${device} has been updated to ${version} successfully.`), `details ${v.details}`);
    assert.ok(v.details.includes('Turn it off and back on to use it.'), `details ${v.details}`);
    assert.ok(v.log.includes('Update Completed!'), `log ${v.log}`);
    assert.equal(v.progress[0], v.progress[1], 'the bar is full');
    assert.equal(v.message, null, 'no message box');
}

// Tab until the element with this id has the focus, as a keyboard user gets there.
export async function tabTo(page, id, most = 20) {
    for (let i = 0; i < most; i++) {
        if ((await page.evaluate(() => document.activeElement && document.activeElement.id)) === id) {
            return;
        }
        await page.keyboard.press('Tab');
    }
    assert.fail(`#${id} is not reached with Tab`);
}

// The accessible names of the page's controls and regions, role by role, as assistive
// technology reads them.
export async function accessibleNames(page) {
    const names = {};
    const walk = (node) => {
        if (node.role && node.name !== undefined) {
            (names[node.role] = names[node.role] || []).push(node.name);
        }
        (node.children || []).forEach(walk);
    };
    walk(await page.accessibility.snapshot({interestingOnly: false}));
    return names;
}
