// The browser test cases: each drives the page as a user would and checks what the user
// notices, and what the instrument behind the stand-ins received and holds.
// A case: { run(session), timeout (seconds, for CTest), lang }.

import assert from 'node:assert/strict';
import {faultRowInstrument, faultRowOn, faultRows, pathExceptions} from './fault_rows.mjs';
import {instrumentState, openPage, sleep, switchInstrumentOn, timeOwnTimersWhenHidden} from './harness.mjs';
import {
    OFFER,
    accessibleNames,
    assertCompleted,
    chooseTransport,
    loadUntilOffered,
    openFile,
    runEnded,
    tabTo,
    updateUntilEnded,
    visible,
    waitUntil,
    watchLocking,
} from './page.mjs';
import {vsbBlock, vsbBlockData, vsbFile} from './vsb.mjs';

// How long after a run's end the instrument is watched for anything sent late.
const QUIET_MS = 300;

// A file of three blocks in three places of the flash, one of them with an offset, as a
// whole update sends them.
const SEVERAL_BLOCKS = [
    vsbBlock({code: 1, name: 'MAIN', major: 1, minor: 5, address: 0x000000, size: 4096}),
    vsbBlock({code: 2, name: 'SOUND', major: 2, minor: 10, address: 0x020000, size: 2048}),
    vsbBlock({code: 3, name: 'PANEL', major: 1, minor: 1, address: 0x040000, offset: 512, size: 1024}),
];

// One block long enough (64 packets, more than a second) to stop it on its way.
const LONG_BLOCK = [vsbBlock({code: 1, major: 1, minor: 5, size: 16384})];

// The instrument's flash holds every block's data where the block says, and every block's
// version is the file's.
async function assertFlashHoldsFile(page, blocks, which) {
    const s = await instrumentState(page, {
        which,
        flash: blocks.map((b) => [b.address + b.offset, b.size]),
        versions: blocks.map((b) => b.code),
    });
    blocks.forEach((b, i) => {
        assert.deepEqual(s.flash[i], Array.from(vsbBlockData(b)), `flash of block ${b.code}`);
        assert.deepEqual(s.versions[i], {major: b.major, minor: b.minor}, `version of block ${b.code}`);
    });
    return s;
}

// Nothing reaches the instrument once the run has ended: its count of messages holds.
async function assertQuietAfterEnd(page, messages) {
    await sleep(QUIET_MS);
    const s = await instrumentState(page);
    assert.equal(s.messages, messages, 'messages the instrument received');
    return s;
}

// ---- Whole updates ----

function wholeUpdate(transport) {
    return {
        async run(session) {
            const bytes = vsbFile(SEVERAL_BLOCKS);
            const file = session.writeFile('several.vsb', bytes);
            const onNavigator = transport !== 'vi';
            const page = await openPage(session, {file: onNavigator ? bytes : undefined, standIns: onNavigator});
            await chooseTransport(page, transport);
            const offered = await loadUntilOffered(page, file);
            assert.deepEqual(offered.details, [
                'Name : ORVENT',
                'Block : MAIN',
                'Software Version : 0.00 (needs update)',
                'Latest Software Version : 1.05',
            ]);
            assert.equal(offered.status[1], 'on your ORVENT.');
            const v = await updateUntilEnded(page);
            assertCompleted(v, 'ORVENT', '1.05');
            await assertFlashHoldsFile(page, SEVERAL_BLOCKS, onNavigator ? 'navigator' : 'page');
            assert.deepEqual(page.foreignRequests, [], 'the page asks for nothing but its own files');
        },
    };
}

const alreadyCurrent = {
    async run(session) {
        const bytes = vsbFile(SEVERAL_BLOCKS);
        const file = session.writeFile('current.vsb', bytes);
        const page = await openPage(session, {file: bytes, settings: [['version', '1=1.05,2=2.10,3=1.01']]});
        await chooseTransport(page, 'midi');
        await openFile(page, file);
        const v = await waitUntil(page, 'the version answer', (v) => v.status[0] !== '' && v.openEnabled);
        assert.equal(v.status[0], 'Already the latest version.');
        assert.equal(v.details[2], 'Software Version : 1.05');
        assert.equal(v.updateEnabled, false, 'Update stays disabled');
        // The inquiry and the version request, and no set mode.
        const s = await assertQuietAfterEnd(page, 2);
        assert.equal(s.packets, 0);
    },
};

// ---- The fault matrix ----

// Over MIDI every row; a row whose reply is lost after the inquiry waits 50 s there, so it
// runs over the serial line, which gives up after 10 s in the same words. A cell that ends
// otherwise on a path of its own runs on that path too.
const MATRIX_BLOCK = [vsbBlock({code: 1, major: 1, minor: 5, size: 1024})];

function faultCell(row, transport) {
    return {
        timeout: row.silence ? 60 : 40,
        async run(session) {
            const c = faultRowOn(row, transport);
            const {base, fault} = faultRowInstrument(c);
            const file = session.writeFile('matrix.vsb', vsbFile(MATRIX_BLOCK));
            const page = await openPage(session, {settings: base});
            await chooseTransport(page, transport);
            const offered = await loadUntilOffered(page, file);
            assert.equal(offered.details[2], 'Software Version : 1.03 (needs update)');

            // The instrument is switched on again with its fault, so that its messages are
            // counted from the run's inquiry, as the matrix counts them.
            try {
                await switchInstrumentOn(page, [...base, ...fault]);
            } catch (e) {
                // A fault the in-process instrument has but names for no front end.
                if (/takes no fault /.test(e.message)) {
                    throw new Skipped(`the virtual instrument in the page cannot inject ${c.fault}`);
                }
                throw e;
            }
            if (c.failSendAt >= 0) {
                await failMidiSend(page, c.failSendAt);
            }
            const v = await updateUntilEnded(page, 20000);
            if (c.expected === null) {
                assertCompleted(v, 'ORVENT', '1.05');
            } else {
                assert.equal(v.status[0], c.expected, 'the status row');
                assert.ok(v.log.includes(c.expected), `the log ${JSON.stringify(v.log)}`);
                assert.ok(!v.log.includes('Update Completed!'));
            }
            const s = await assertQuietAfterEnd(page, c.lastMessage + 1);
            assert.equal(s.packets, c.acknowledged, 'packets acknowledged');
            // The acknowledged packets are in the flash, and not one byte more.
            const [flash] = (await instrumentState(page, {flash: [[0, 1024]]})).flash;
            const written = c.acknowledged * 256;
            const data = Array.from(vsbBlockData(MATRIX_BLOCK[0]));
            assert.deepEqual(flash.slice(0, written), data.slice(0, written), 'flash written');
            assert.ok(flash.slice(written).every((b) => b === 0xff), 'flash beyond the acknowledged packets is erased');
        },
    };
}

export class Skipped extends Error {}

// The MIDI driver's send fails at the given send of the run, as a port gone away would.
async function failMidiSend(page, at) {
    await page.evaluate((at) => {
        const output = window.__orventTest.navigator.midiAccess.outputs.values().next().value;
        const send = output.send.bind(output);
        let n = 0;
        output.send = (data) => {
            if (n++ === at) {
                throw new DOMException('The port is disconnected.', 'InvalidStateError');
            }
            return send(data);
        };
    }, at);
}

function matrixCases() {
    const cells = {};
    for (const row of faultRows) {
        const transport = row.silence && row.lastMessage >= 2 ? 'serial' : 'midi';
        cells[`fault.${row.name}`] = faultCell(row, transport);
    }
    for (const x of pathExceptions) {
        if (x.transport === 'usb' || x.transport === 'serial') {
            cells[`fault.${x.transport}.${x.row}`] = faultCell(faultRows.find((r) => r.name === x.row), x.transport);
        }
    }
    return cells;
}

// ---- Stop ----

// The long block's update under way: at least `packets` packets acknowledged, and Stop...
// offered.
async function startLongUpdate(session, transport, {packets = 3, ...options} = {}) {
    const bytes = vsbFile(LONG_BLOCK);
    const file = session.writeFile('long.vsb', bytes);
    const page = await openPage(session, {file: bytes, ...options});
    await chooseTransport(page, transport);
    await loadUntilOffered(page, file);
    await watchLocking(page);
    await page.click('#update');
    for (let i = 0; ; i++) {
        const [v, s] = [await visible(page), await instrumentState(page)];
        if (v.stopEnabled && s.packets >= packets) {
            break;
        }
        assert.ok(i < 400, `the transfer did not get under way: ${JSON.stringify(v)}`);
        await sleep(10);
    }
    return {page, bytes};
}

const STOP_DIALOG_EN = {
    caption: 'Stop to transfar',
    labels: [
        "If you abort to transfer,device can't to start up normally.",
        '(Then you should transer system file again and complete it.)',
        'Are you sure to abort to transfer?',
    ],
    abort: 'Abort',
    continue: 'Contiune',
};

async function stopDialogTexts(page) {
    return page.evaluate(() => {
        const t = (id) => document.getElementById(id).textContent;
        return {
            caption: t('stop-caption'),
            labels: [t('stop-label-0'), t('stop-label-1'), t('stop-label-2')],
            abort: t('stop-abort'),
            continue: t('stop-continue'),
            focused: document.activeElement && document.activeElement.id,
        };
    });
}

// Stop... pauses after the packet on its way; Enter keeps the default "Contiune", and the
// update goes on to its end.
const stopThenContinue = {
    async run(session) {
        const {page} = await startLongUpdate(session, 'midi');
        await page.click('#stop');
        await waitUntil(page, 'the Stop dialog', (v) => v.stopOpen, 2000);
        const texts = await stopDialogTexts(page);
        assert.deepEqual({...texts, focused: undefined}, {...STOP_DIALOG_EN, focused: undefined});
        assert.equal(texts.focused, 'stop-continue', 'the default button has the focus');
        const names = await accessibleNames(page);
        assert.ok(names.dialog && names.dialog.includes('Stop to transfar'), `dialogs ${names.dialog}`);
        for (const button of ['Abort', 'Contiune']) {
            assert.ok(names.button.includes(button), `buttons ${names.button}`);
        }
        await sleep(150);
        const paused = (await instrumentState(page)).packets;
        await sleep(400);
        assert.equal((await instrumentState(page)).packets, paused, 'no packet goes out while the dialog is open');
        assert.ok(paused < 64, 'paused before the end');

        await page.keyboard.press('Enter');
        const v = await waitUntil(page, 'the end of the update', runEnded, 20000);
        assertCompleted(v, 'ORVENT', '1.05');
        await assertFlashHoldsFile(page, LONG_BLOCK, 'navigator');
    },
};

// An instrument that has gone silent holds the run in a wait for its reply; Abort ends that
// wait at once, on every transport.
function stopThenAbortSilent(transport) {
    return {
        async run(session) {
            // Silent from the ninth packet on: over USB, with no pause between packets,
            // the instrument has to fall silent by itself to be caught still running.
            const {page} = await startLongUpdate(session, transport, {
                packets: 8,
                settings: [['fault', 'silent-from-packet'], ['fault-at', 8]],
            });
            await sleep(100); // the run is waiting for a reply that does not come
            await page.click('#stop');
            await waitUntil(page, 'the Stop dialog', (v) => v.stopOpen, 2000);
            const before = await instrumentState(page);
            const chosen = Date.now();
            await page.click('#stop-abort');
            const v = await waitUntil(page, 'the end of the update', runEnded, 5000);
            const ms = Date.now() - chosen;
            console.log(`the update ended ${ms} ms after Abort`);
            assert.ok(ms < 1000, `the update ended ${ms} ms after Abort`);
            assert.equal(v.status[0], 'User aborted.');
            assert.ok(v.log.includes('User aborted.'), `the log ${JSON.stringify(v.log)}`);
            await assertQuietAfterEnd(page, before.messages);
        },
    };
}

// ---- The keyboard alone ----

// The controls carry the window's words as their names, and a rehearsal runs without the
// mouse: the virtual instrument chosen with the arrow keys, the file with Ctrl+O, Update
// with Tab and Enter.
const keyboardAlone = {
    async run(session) {
        const page = await openPage(session, {standIns: false});
        const names = await accessibleNames(page);
        for (const button of ['Open...', 'Stop...', 'Update']) {
            assert.ok(names.button.includes(button), `buttons ${names.button}`);
        }
        assert.deepEqual(names.radio, ['Use Serial Port', 'Use MIDI', 'Use USB', 'Virtual instrument']);
        assert.ok(names.status && names.log, 'a status and a log region');

        await tabTo(page, 'transport-midi');
        await page.keyboard.press('ArrowDown');
        await page.keyboard.press('ArrowDown');
        assert.equal(await page.$eval('#transport-vi', (e) => e.checked), true, 'Virtual instrument chosen');
        const file = session.writeFile('keyboard.vsb', vsbFile(SEVERAL_BLOCKS));
        const [chooser] = await Promise.all([page.waitForFileChooser(), page.keyboard.down('Control').then(() => page.keyboard.press('o'))]);
        await page.keyboard.up('Control');
        await chooser.accept([file]);
        await waitUntil(page, 'the update offer', (v) => v.updateEnabled && v.status[0] === OFFER);
        await watchLocking(page);
        await tabTo(page, 'update');
        await page.keyboard.press('Enter');
        const v = await waitUntil(page, 'the end of the update', runEnded, 30000);
        assertCompleted(v, 'ORVENT', '1.05');
        await assertFlashHoldsFile(page, SEVERAL_BLOCKS, 'page');
    },
};

// ---- What the browser refuses ----

const REFUSED = 'The browser did not allow System Exclusive messages to MIDI instruments.';
const NO_WEB_MIDI = 'This browser cannot reach MIDI instruments (no Web MIDI).';

// The file is described, then the page says why it cannot reach the instrument, and
// sends nothing.
function midiRefused(options, text) {
    return {
        async run(session) {
            const file = session.writeFile('refused.vsb', vsbFile(MATRIX_BLOCK));
            const page = await openPage(session, {options});
            await chooseTransport(page, 'midi');
            await openFile(page, file);
            const v = await waitUntil(page, 'a message box', (v) => v.message !== null, 5000);
            assert.equal(v.message, text);
            assert.equal(v.details[0], 'Name : ORVENT');
            assert.equal(v.updateEnabled, false);
            await page.keyboard.press('Enter');
            await waitUntil(page, 'the message box to close', (v) => v.message === null && v.openEnabled, 2000);
            await assertQuietAfterEnd(page, 0);
        },
    };
}

// The user closes the browser's chooser without a choice: the page says so, and a file
// chosen then is not sent anywhere.
function chooserCancelled(transport) {
    return {
        async run(session) {
            const file = session.writeFile('cancelled.vsb', vsbFile(MATRIX_BLOCK));
            const page = await openPage(session, {options: {chooserCancelled: transport}});
            await chooseTransport(page, transport);
            let v = await waitUntil(page, 'a message box', (v) => v.message !== null, 5000);
            assert.equal(v.message, 'No port was chosen.');
            await page.click('#message-ok');
            await waitUntil(page, 'the message box to close', (v) => v.message === null, 2000);
            const name = await page.$eval(`#${transport === 'usb' ? 'usb-device-name' : 'serial-port-name'}`, (e) => e.textContent);
            assert.equal(name, 'No port chosen');
            await openFile(page, file);
            v = await waitUntil(page, 'the load to end', (v) => v.openEnabled && (v.message !== null || v.status[0] !== ''), 5000);
            assert.equal(v.updateEnabled, false);
            // Without a chosen port the page says so; without a device the USB transport
            // finds none to open, in the window's words.
            assert.equal(v.message, transport === 'usb' ? "Usb Open Error!(Can't find VerUp Device)" : 'No port was chosen.');
            await assertQuietAfterEnd(page, 0);
        },
    };
}

// ---- Bad files ----

// A file whose first block header is bad is described as not usable, in the analysis's
// words, and no instrument is asked.
function badFirstBlock(blocks) {
    return {
        async run(session) {
            const file = session.writeFile('bad.vsb', vsbFile(blocks));
            const page = await openPage(session);
            await chooseTransport(page, 'midi');
            await openFile(page, file);
            const v = await waitUntil(page, 'the analysis', (v) => v.details[0] !== '' && v.openEnabled, 5000);
            assert.equal(v.details[0], 'File Analyze Error');
            assert.deepEqual(v.log, ['File Analyze  Error - bad.vsb']);
            assert.equal(v.updateEnabled, false);
            assert.equal(v.message, null);
            await assertQuietAfterEnd(page, 0);
        },
    };
}

// A file whose first block is good but what follows it is not: the first block is sent,
// then the run ends with the reader's text.
function badLaterBlock(blocks, surplus, text) {
    return {
        async run(session) {
            const file = session.writeFile('bad.vsb', vsbFile(blocks, surplus));
            const page = await openPage(session);
            await chooseTransport(page, 'midi');
            await loadUntilOffered(page, file);
            const v = await updateUntilEnded(page);
            assert.equal(v.status[0], text);
            assert.ok(v.log.includes(text), `the log ${JSON.stringify(v.log)}`);
            const first = blocks[0];
            const s = await instrumentState(page, {flash: [[first.address, first.size]]});
            assert.deepEqual(s.flash[0], Array.from(vsbBlockData(first)), 'the first block is in the flash');
            assert.equal(s.packets, first.size / 256);
        },
    };
}

const GOOD = vsbBlock({code: 1, major: 1, minor: 5, size: 1024});
const SECOND = {code: 2, major: 1, minor: 5, address: 0x10000, size: 1024};

// ---- Japanese ----

// A Japanese browser gets the product's Japanese texts, and the update runs the same.
const japanese = {
    lang: 'ja-JP',
    async run(session) {
        const {page} = await startLongUpdate(session, 'midi', {lang: 'ja-JP'});
        const texts = await page.evaluate(() => ({
            lang: document.documentElement.lang,
            vi: document.getElementById('transport-vi-text').textContent,
        }));
        assert.deepEqual(texts, {lang: 'ja', vi: '仮想楽器'});
        await page.click('#stop');
        await waitUntil(page, 'the Stop dialog', (v) => v.stopOpen, 2000);
        const stop = await stopDialogTexts(page);
        assert.deepEqual(stop.labels, [
            '転送中に停止すると、通常起動ができなくなります。',
            '(再度ＩＰＬモードでシステム転送を完了してください)',
            '転送を停止してもよろしいですか？',
        ]);
        assert.equal(stop.abort, '停止');
        assert.equal(stop.continue, '続行');
        await page.click('#stop-continue');
        const v = await waitUntil(page, 'the end of the update', runEnded, 20000);
        assert.ok(v.log.includes('Update Completed!'), `the log ${JSON.stringify(v.log)}`);
        await assertFlashHoldsFile(page, LONG_BLOCK, 'navigator');
    },
};

// ---- A hidden tab ----

// Polls fn in the page (without the page's throttled timers) until it gives a truthy value.
async function waitFor(page, fn, timeoutMs = 10000) {
    const end = Date.now() + timeoutMs;
    for (;;) {
        const value = await page.evaluate(fn);
        if (value) {
            return value;
        }
        assert.ok(Date.now() < end, `waited ${timeoutMs} ms for ${fn}`);
        await sleep(50);
    }
}

// The user starts the update and turns to another tab: the browser holds the hidden page's
// own timers to one a second, and the pause between packets must still be about 20 ms.
const hiddenTab = {
    timeout: 90,
    async run(session) {
        // 128 packets: most of them go out after the switch to the other tab, however long
        // the browser takes for it.
        const blocks = [vsbBlock({code: 1, major: 1, minor: 5, size: 32768})];
        const bytes = vsbFile(blocks);
        const file = session.writeFile('hidden.vsb', bytes);
        const page = await openPage(session, {file: bytes});
        await chooseTransport(page, 'midi');
        await loadUntilOffered(page, file);
        // When the page went hidden, and how late its own 20 ms timers then come: the
        // proof that the browser's throttling was on.
        await timeOwnTimersWhenHidden(page);
        await watchLocking(page);
        await page.click('#update');
        const other = await session.browser.newPage();
        await other.bringToFront();
        const v = await waitUntil(page, 'the end of the update', runEnded, 60000);
        assert.ok(v.log.includes('Update Completed!'), `the log ${JSON.stringify(v.log)}`);
        const hiddenAt = await page.evaluate(() => document.hidden && window.__orventTest.hiddenAt);
        assert.ok(hiddenAt, 'the page was hidden');
        const own = await waitFor(page, () => window.__orventTest.ownTimers.length >= 3 && window.__orventTest.ownTimers);
        console.log(`the page's own 20 ms timers came after ${own.map(Math.round).join(', ')} ms`);
        assert.ok(Math.max(...own) > 500, `the page's own 20 ms timers came after ${own} ms: no throttling`);
        const s = await instrumentState(page);
        const packets = s.sent.filter((m) => m.code === 0x06 && m.at > hiddenAt).map((m) => m.at);
        const gaps = packets.slice(1).map((t, i) => t - packets[i]).sort((a, b) => a - b);
        const median = gaps[Math.floor(gaps.length / 2)];
        console.log(`${packets.length} packets in the hidden tab, pause median ${median.toFixed(1)} ms, ` +
                    `shortest ${gaps[0].toFixed(1)} ms, longest ${gaps[gaps.length - 1].toFixed(1)} ms`);
        assert.ok(packets.length >= 40, `${packets.length} packets sent while hidden`);
        assert.ok(gaps[0] >= 19, `a pause of ${gaps[0]} ms, shorter than 20 ms`);
        assert.ok(median < 40, `the pause between packets is ${median} ms in the median`);
        await assertFlashHoldsFile(page, blocks, 'navigator');
    },
};

export const cases = {
    'update.midi': wholeUpdate('midi'),
    'update.serial': wholeUpdate('serial'),
    'update.usb': wholeUpdate('usb'),
    'update.virtual-instrument': wholeUpdate('vi'),
    'already-current': alreadyCurrent,
    ...matrixCases(),
    'stop.continue': stopThenContinue,
    'stop.abort-silent.midi': stopThenAbortSilent('midi'),
    'stop.abort-silent.serial': stopThenAbortSilent('serial'),
    'stop.abort-silent.usb': stopThenAbortSilent('usb'),
    'keyboard-alone': keyboardAlone,
    'midi.sysex-refused': midiRefused({sysexRefused: true}, REFUSED),
    'midi.unsupported': midiRefused({midiUnsupported: true}, NO_WEB_MIDI),
    'midi.none': midiRefused({noWebMidi: true}, NO_WEB_MIDI),
    'chooser-cancelled.serial': chooserCancelled('serial'),
    'chooser-cancelled.usb': chooserCancelled('usb'),
    'bad-file.short-header': badFirstBlock([vsbBlock({headerBytes: 100})]),
    'bad-file.illegal-header': badFirstBlock([vsbBlock({badMagic: true})]),
    'bad-file.short-data': badFirstBlock([vsbBlock({missing: 1})]),
    'bad-file.surplus-short': badLaterBlock([GOOD], 100, 'Error - Header lengrh is too short.'),
    'bad-file.surplus-illegal': badLaterBlock([GOOD], 300, 'Error - Illegal header string.'),
    'bad-file.second-block-short': badLaterBlock([GOOD, vsbBlock({...SECOND, missing: 256})], 0,
                                                 'Filesize Error(shorter than header paramter).'),
    japanese,
    'hidden-tab': hiddenTab,
};
