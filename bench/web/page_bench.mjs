// The page's benchmark: the figures the page is held to, measured in headless Chromium over the
// stand-ins for Web MIDI, Web Serial and WebUSB, with the browser tests' harness (web/tests).
//
//   node bench/web/page_bench.mjs [--site build/web/site] [--bench-core DIR] [--packets N]
//                                 [--turnaround MS,MS,...] [--loads N] [--brief]
//
// - The packet cycle: a whole update of a one-block file of N packets over each transport,
//   the instrument's reply coming each given turnaround after its request; the time between
//   two successive data packets reaching the stand-in (median and 95th percentile) against the
//   protocol's pace, the pause after an acknowledgement (20 ms, none over USB) plus the
//   turnaround. Then once over MIDI in a hidden tab, the browser's timer throttling left on.
//   The notes split each cycle in two: from the packet's send to its acknowledgement's
//   hand-over, and from there to the next packet's send. A reply due after a turnaround comes
//   on the stand-in's setTimeout, which the browser holds to at least 4 ms once timers nest
//   five deep: over USB, where no pause on the page's worker breaks the chain, the first half
//   is the stand-in's, not the page's.
// - The size: every file the page fetched to be ready and to run an update over a real
//   instrument's transport, and apart from those the virtual instrument's, each gzipped
//   (level 9, node's zlib); scripts and WebAssembly counted apart from the rest.
// - Ready for a file: from the navigation's start to window.orventPage.ready settling
//   (performance.now() in the page), the page on its own (no stand-ins), each load in a fresh
//   browser context.
// - Heap calls per data packet: the same update over each transport with the bench build of
//   the core (orvent-bench: --bench-core, build/web/bench beside the site unless given) in
//   place of the page's orvent.js and orvent.wasm; its malloc, calloc, realloc and free calls
//   between the first data packet and the last, per packet, and apart from them the calls
//   the runtime's script made through Module._malloc.
// --brief runs each once and small (the test command's run, proving the bench works).
// The figures are printed, not asserted: the exit status says only whether every run
// completed.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import {launchBrowser, openPage, serveSite, sleep, timeOwnTimersWhenHidden} from '../../web/tests/harness.mjs';
import {assertCompleted, chooseTransport, loadUntilOffered, runEnded, updateUntilEnded, waitUntil,
        watchLocking} from '../../web/tests/page.mjs';
import {vsbBlock, vsbFile} from '../../web/tests/vsb.mjs';

// The engine's pause after an acknowledgement (none over USB bulk), and the instrument's
// packet size unless it is told another.
const PAUSE_MS = 20;
const PACKET_BYTES = 256;

const CYCLE_TARGET = 1.05;
const SIZE_TARGET_BYTES = 150 * 1000;
const READY_TARGET_MS = 1000;

// The data packet's message: F0, three bytes of maker and product, then its code.
const SYSEX_START = 0xf0;
const MSG_DATA = 0x06;

const TRANSPORTS = ['midi', 'serial', 'usb'];
const TRANSPORT_NAMES = {midi: 'MIDI', serial: 'serial', usb: 'USB'};

function options() {
    const o = {site: 'build/web/site', benchCore: null, packets: 300, turnarounds: [0, 1, 5],
               loads: 7, brief: false};
    const args = process.argv.slice(2);
    const value = (i) => {
        if (i + 1 >= args.length) {
            usage(`${args[i]} takes a value`);
        }
        return args[i + 1];
    };
    const count = (text, least) => {
        const n = Number(text);
        if (!Number.isInteger(n) || n < least) {
            usage(`not a count of at least ${least}: ${text}`);
        }
        return n;
    };
    const given = {};
    for (let i = 0; i < args.length; i++) {
        switch (args[i]) {
        case '--site': o.site = value(i++); break;
        case '--bench-core': o.benchCore = value(i++); break;
        case '--packets': o.packets = given.packets = count(value(i++), 2); break;
        case '--loads': o.loads = given.loads = count(value(i++), 1); break;
        case '--turnaround':
            o.turnarounds = given.turnarounds = value(i++).split(',').map((t) => count(t, 0));
            break;
        case '--brief': o.brief = true; break;
        default: usage(`unknown option ${args[i]}`);
        }
    }
    if (o.brief) {
        Object.assign(o, {packets: 20, turnarounds: [0], loads: 3}, given);
    }
    o.site = path.resolve(o.site);
    o.benchCore = path.resolve(o.benchCore || path.join(o.site, '..', 'bench'));
    // Enough packets that most of them go out after the switch to the other tab, however
    // long the browser takes for it.
    o.hiddenPackets = Math.max(o.packets, 100);
    return o;
}

function usage(problem) {
    console.error(`page_bench: ${problem}\nusage: node bench/web/page_bench.mjs [--site DIR] ` +
                  '[--bench-core DIR] [--packets N] [--turnaround MS,MS,...] [--loads N] [--brief]');
    process.exit(2);
}

// ---- Figures ----

function percentile(sorted, fraction) {
    const i = Math.round(fraction * (sorted.length - 1));
    return sorted[Math.min(Math.max(i, 0), sorted.length - 1)];
}

function gapsOf(times) {
    return times.slice(1).map((t, i) => t - times[i]).sort((a, b) => a - b);
}

function ms(value) {
    return `${value.toFixed(1)} ms`;
}

// "median 20.6 ms (1.030), 95th 21.3 ms (1.065)": the ratios to the pace where there is one.
function cycleText(gaps, paceMs) {
    const part = (name, v) => `${name} ${ms(v)}` + (paceMs > 0 ? ` (${(v / paceMs).toFixed(3)})` : '');
    return `${part('median', percentile(gaps, 0.5))}, ${part('95th', percentile(gaps, 0.95))}`;
}

function kb(bytes) {
    return `${(bytes / 1000).toFixed(1)} KB`;
}

// ---- The page ----

// A one-block file of this many packets, as the instrument fits itself to it.
function fileOf(packets) {
    return vsbFile([vsbBlock({code: 1, major: 1, minor: 5, size: packets * PACKET_BYTES})]);
}

// When each data packet reached the stand-in, from what the stand-ins recorded as sent (a
// packet may reach a USB endpoint in pieces: its first counts).
async function dataPacketTimes(page) {
    return page.evaluate(
        (start, code) => window.__orventTest.navigator.sent
                             .filter((s) => s.bytes[0] === start && s.bytes[4] === code)
                             .map((s) => s.at),
        SYSEX_START, MSG_DATA);
}

// The update of the loaded file, to its end; fails unless it completed.
async function updateToEnd(page, packets, paceMs) {
    const v = await updateUntilEnded(page, 20000 + packets * (paceMs + 20));
    assertCompleted(v, 'ORVENT', '1.05');
}

// Marks when the stand-ins hand each reply over to the page, on whichever way it comes: a
// MIDI message event, a chunk on the serial port's readable stream, a piece for the USB IN
// endpoint. Reaches into the stand-ins' own objects; 0 when they are not as this expects.
function watchReplies() {
    const record = window.__orventTest.navigator;
    const replies = [];
    window.__orventTest.benchReplies = replies;
    const mark = () => replies.push(performance.now());
    const input = record.midiAccess.inputs.values().next().value;
    const port = record.serialPort;
    const device = record.usbDevice;
    if (typeof input.receive !== 'function' || !('controller' in port) || !Array.isArray(device.ready)) {
        return 0;
    }
    const receive = input.receive.bind(input);
    input.receive = (bytes) => {
        mark();
        receive(bytes);
    };
    let controller = port.controller;
    Object.defineProperty(port, 'controller', {
        configurable: true,
        get: () => controller,
        set(c) {
            if (c && !c.benchMarked) {
                const enqueue = c.enqueue.bind(c);
                c.enqueue = (chunk) => {
                    mark();
                    enqueue(chunk);
                };
                c.benchMarked = true;
            }
            controller = c;
        },
    });
    const push = device.ready.push;
    device.ready.push = function (...pieces) {
        mark();
        return push.apply(this, pieces);
    };
    return 1;
}

// Splits each cycle in two: from a data packet's send to its acknowledgement's hand-over,
// beyond the turnaround asked for (the stand-in's lateness: its timer, the instrument's
// work), and from that hand-over to the next packet's send, beyond the pause (the page's own
// share).
function cycleShares(times, replies, pauseMs, turnaroundMs) {
    const late = [];
    const page = [];
    let r = 0;
    for (let i = 0; i + 1 < times.length; i++) {
        while (r < replies.length && replies[r] < times[i]) {
            r++;
        }
        if (r === replies.length || replies[r] > times[i + 1]) {
            return null;
        }
        late.push(replies[r] - times[i] - turnaroundMs);
        page.push(times[i + 1] - replies[r] - pauseMs);
    }
    const sorted = (a) => a.sort((x, y) => x - y);
    return {late: sorted(late), page: sorted(page)};
}

async function cycleRun(bench, transport, turnaroundMs) {
    const {session, packets} = bench;
    const bytes = fileOf(packets);
    const file = bench.writeFile('cycle.vsb', bytes);
    const page = await openPage(session, {file: bytes, settings: [['reply-delay', String(turnaroundMs)]]});
    try {
        await page.bringToFront();
        const loaded = session.server.requests.length;
        const watched = await page.evaluate(watchReplies);
        await chooseTransport(page, transport);
        await loadUntilOffered(page, file);
        const pauseMs = transport === 'usb' ? 0 : PAUSE_MS;
        await updateToEnd(page, packets, pauseMs + turnaroundMs);
        // Whatever the page fetched to run the update, beyond what it fetched to be ready.
        session.server.requests.slice(loaded).forEach((r) => bench.updateRequests.add(r));
        const times = await dataPacketTimes(page);
        if (times.length !== packets) {
            throw new Error(`${times.length} data packets reached the instrument, not ${packets}`);
        }
        const replies = watched ? await page.evaluate(() => window.__orventTest.benchReplies) : [];
        return {
            paceMs: pauseMs + turnaroundMs,
            gaps: gapsOf(times),
            shares: watched ? cycleShares(times, replies, pauseMs, turnaroundMs) : null,
        };
    } finally {
        await page.close();
    }
}

// The update over MIDI, the page hidden behind another tab once it has started. Gives the
// gaps between the packets sent while hidden, and how late the page's own 20 ms timers came
// then (throttling on: near a second).
async function hiddenRun(bench) {
    const {session} = bench;
    const packets = bench.hiddenPackets;
    const bytes = fileOf(packets);
    const file = bench.writeFile('hidden.vsb', bytes);
    const page = await openPage(session, {file: bytes});
    let other = null;
    try {
        await page.bringToFront();
        await chooseTransport(page, 'midi');
        await loadUntilOffered(page, file);
        await timeOwnTimersWhenHidden(page);
        await watchLocking(page);
        await page.click('#update');
        other = await session.browser.newPage();
        await other.bringToFront();
        const v = await waitUntil(page, 'the end of the update', runEnded, 20000 + packets * 40);
        assertCompleted(v, 'ORVENT', '1.05');
        const hidden = await page.evaluate(() => ({
            at: window.__orventTest.hiddenAt,
            stillHidden: document.hidden,
        }));
        if (!hidden.at || !hidden.stillHidden) {
            throw new Error('the page did not stay hidden behind the other tab');
        }
        // The last of the page's own timers may still be waiting for its throttled turn.
        let own = [];
        for (let i = 0; i < 60 && own.length < 3; i++) {
            own = await page.evaluate(() => window.__orventTest.ownTimers);
            await sleep(50);
        }
        const times = (await dataPacketTimes(page)).filter((t) => t > hidden.at);
        if (times.length < 10) {
            throw new Error(`only ${times.length} packets went out while the page was hidden`);
        }
        return {packets: times.length, gaps: gapsOf(times), ownTimers: own};
    } finally {
        if (other) {
            await other.close();
        }
        await page.close();
    }
}

// The files the page fetched to be ready for a file, and then those the virtual
// instrument's choice fetched for a rehearsed update. Paths as the server saw them.
async function pageFiles(bench) {
    const {session} = bench;
    const requests = session.server.requests;
    const start = requests.length;
    const page = await openPage(session, {standIns: false});
    try {
        // The timer's worker is started as the core starts, its script fetched on its own.
        await sleep(300);
        const load = new Set(requests.slice(start));
        const bytes = fileOf(4);
        const file = bench.writeFile('rehearsal.vsb', bytes);
        const mark = requests.length;
        await chooseTransport(page, 'vi');
        await loadUntilOffered(page, file);
        await updateToEnd(page, 4, PAUSE_MS);
        const vi = new Set(requests.slice(mark).filter((r) => !load.has(r)));
        return {load, vi};
    } finally {
        await page.close();
    }
}

function isCode(file) {
    return /\.(m?js|wasm)$/.test(file);
}

// Each file's size gzipped at level 9; a path the site does not hold (a request that found
// nothing) is left out.
function gzipped(site, paths) {
    const files = [];
    for (const p of paths) {
        const file = path.join(site, decodeURIComponent(p === '/' ? '/index.html' : p));
        if (fs.existsSync(file) && fs.statSync(file).isFile()) {
            files.push({name: path.basename(file), bytes: zlib.gzipSync(fs.readFileSync(file), {level: 9}).length});
        }
    }
    return files.sort((a, b) => a.name.localeCompare(b.name));
}

function sum(files) {
    return files.reduce((total, f) => total + f.bytes, 0);
}

function names(files) {
    return files.map((f) => `${f.name} ${kb(f.bytes)}`).join(', ');
}

// When window.orventPage.ready settles, taken in the page as app.js hands the promise over.
function watchReady() {
    let page;
    Object.defineProperty(window, 'orventPage', {
        configurable: true,
        get: () => page,
        set(value) {
            page = value;
            let ready = value.ready;
            Object.defineProperty(value, 'ready', {
                configurable: true,
                enumerable: true,
                get: () => ready,
                set(promise) {
                    ready = promise;
                    Promise.resolve(promise).then(
                        () => { window.__benchReadyAt = performance.now(); },
                        (e) => { window.__benchReadyError = String((e && e.stack) || e); });
                },
            });
        },
    });
}

async function readyTimes(bench) {
    const {session} = bench;
    const times = [];
    for (let i = 0; i < bench.loads; i++) {
        const context = await session.browser.createBrowserContext();
        try {
            const page = await context.newPage();
            await page.bringToFront();
            await page.evaluateOnNewDocument(watchReady);
            await page.goto(session.origin + '/index.html', {waitUntil: 'load'});
            await page.waitForFunction(() => window.__benchReadyAt !== undefined ||
                                              window.__benchReadyError !== undefined,
                                       {timeout: 20000});
            const r = await page.evaluate(() => ({at: window.__benchReadyAt, error: window.__benchReadyError}));
            if (r.error) {
                throw new Error(`the page did not become ready: ${r.error}`);
            }
            times.push(r.at);
        } finally {
            await context.close();
        }
    }
    return times;
}

// The site with the bench build's orvent.js and orvent.wasm in place of its own, in a folder
// of its own to be served.
function benchSite(bench) {
    const core = ['orvent.js', 'orvent.wasm'].map((f) => path.join(bench.benchCore, f));
    if (!core.every((f) => fs.existsSync(f))) {
        return null;
    }
    const dir = path.join(bench.tmp, 'bench-site');
    fs.mkdirSync(dir);
    for (const f of fs.readdirSync(bench.site)) {
        fs.copyFileSync(path.join(bench.site, f), path.join(dir, f));
    }
    core.forEach((f) => fs.copyFileSync(f, path.join(dir, path.basename(f))));
    return dir;
}

// The heap calls between the first data packet's send and the last's, per packet: counted at
// each data packet as the stand-in records it.
async function heapRun(bench, session, transport) {
    const packets = bench.packets;
    const bytes = fileOf(packets);
    const file = bench.writeFile('heap.vsb', bytes);
    const page = await openPage(session, {file: bytes});
    try {
        await page.bringToFront();
        const hooked = await page.evaluate((start, code) => {
            const core = window.orventPage.core;
            if (!core || typeof core.orventBenchHeap !== 'function') {
                return false;
            }
            core.orventBenchHeap();
            const sent = window.__orventTest.navigator.sent;
            const marks = [];
            window.__orventTest.benchHeapMarks = marks;
            const push = sent.push;
            sent.push = function (entry) {
                if (entry.bytes[0] === start && entry.bytes[4] === code) {
                    marks.push(core.orventBenchHeap());
                }
                return push.apply(this, arguments);
            };
            return true;
        }, SYSEX_START, MSG_DATA);
        if (!hooked) {
            throw new Error(`${bench.benchCore}/orvent.js is not the bench build of the core`);
        }
        await chooseTransport(page, transport);
        await loadUntilOffered(page, file);
        await updateToEnd(page, packets, transport === 'usb' ? 0 : PAUSE_MS);
        const marks = await page.evaluate(() => window.__orventTest.benchHeapMarks);
        if (marks.length !== packets) {
            throw new Error(`${marks.length} data packets reached the instrument, not ${packets}`);
        }
        const first = marks[0];
        const last = marks[marks.length - 1];
        const calls = (k) => last[k] - first[k];
        return {
            before: first,
            cycles: packets - 1,
            core: calls('malloc') + calls('calloc') + calls('realloc') + calls('free') -
                      calls('jsMalloc') - calls('jsFree'),
            js: calls('jsMalloc'),
            jsFree: calls('jsFree'),
        };
    } finally {
        await page.close();
    }
}

// ---- The run ----

const rows = [];
const notes = [];

function row(figure, measured, target) {
    rows.push([figure, measured, target]);
    console.error(`${figure}: ${measured}`);
}

function note(text) {
    notes.push(text);
}

function printTable() {
    const header = ['figure', 'measured', 'target'];
    const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
    const line = (r) => r.map((c, i) => c.padEnd(widths[i])).join('  ').trimEnd();
    console.log(line(header));
    console.log(line(widths.map((w) => '-'.repeat(w))));
    rows.forEach((r) => console.log(line(r)));
    notes.forEach((n) => console.log(n));
}

async function main() {
    const o = options();
    if (!fs.existsSync(path.join(o.site, 'index.html'))) {
        usage(`no site at ${o.site}: build it with cmake --build --preset web`);
    }
    const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orv-page-bench-'));
    const bench = {
        ...o,
        tmp,
        updateRequests: new Set(),
        writeFile(name, bytes) {
            const file = path.join(tmp, name);
            fs.writeFileSync(file, bytes);
            return file;
        },
    };
    const load = os.loadavg().map((l) => l.toFixed(2)).join(', ');
    console.log(`page bench: ${o.site}, ${o.packets} packets of ${PACKET_BYTES} bytes, ` +
                `turnaround ${o.turnarounds.join(', ')} ms, ${o.loads} loads; load average ${load}`);
    const started = Date.now();
    const server = await serveSite(o.site);
    const browser = await launchBrowser();
    let benchServer = null;
    bench.session = {browser, server, origin: server.origin};
    try {
        const ready = (await readyTimes(bench)).sort((a, b) => a - b);
        row(`ready for a file, median of ${ready.length} loads`, ms(percentile(ready, 0.5)),
            `< ${READY_TARGET_MS} ms`);
        note(`ready for a file: ${ready.map((t) => t.toFixed(1)).join(', ')} ms`);
        note('times in the page are to 0.1 ms, as Chromium gives them to a page without ' +
             'cross-origin isolation');

        const files = await pageFiles(bench);
        for (const transport of TRANSPORTS) {
            for (const turnaroundMs of o.turnarounds) {
                const r = await cycleRun(bench, transport, turnaroundMs);
                const name = `${TRANSPORT_NAMES[transport]}, turnaround ${turnaroundMs} ms`;
                row(`packet cycle, ${name}, pace ${r.paceMs} ms`, cycleText(r.gaps, r.paceMs),
                    r.paceMs > 0 ? `<= ${CYCLE_TARGET} x pace` : '-');
                if (r.paceMs === 0) {
                    note(`${name}: no pause and an instrument that answers at once: no pace to ` +
                         'compare with');
                }
                if (r.shares) {
                    const split = (a) => `median ${ms(percentile(a, 0.5))}, 95th ${ms(percentile(a, 0.95))}`;
                    note(`${name}: the stand-in's reply late by ${split(r.shares.late)}; the page ` +
                         `from the reply to the next packet, beyond the pause, ${split(r.shares.page)}`);
                }
            }
        }
        const hidden = await hiddenRun(bench);
        row(`packet cycle, MIDI, hidden tab, turnaround 0 ms, pace ${PAUSE_MS} ms`,
            cycleText(hidden.gaps, PAUSE_MS), `<= ${CYCLE_TARGET} x pace`);
        note(`hidden tab: ${hidden.packets} packets sent while hidden; the page's own 20 ms ` +
             `timers came after ${hidden.ownTimers.map((t) => t.toFixed(0)).join(', ')} ms`);

        const real = gzipped(o.site, new Set([...files.load, ...bench.updateRequests]));
        const vi = gzipped(o.site, [...files.vi].filter((p) => !files.load.has(p)));
        const code = real.filter((f) => isCode(f.name));
        const viCode = vi.filter((f) => isCode(f.name));
        const rest = real.filter((f) => !isCode(f.name));
        row('scripts and wasm, gzip -9, real instrument', kb(sum(code)), `<= ${kb(SIZE_TARGET_BYTES)}`);
        row('  with the virtual instrument\'s', kb(sum(code) + sum(viCode)), `<= ${kb(SIZE_TARGET_BYTES)}`);
        row('  the page\'s other files, gzip -9', kb(sum(rest)), '-');
        note(`real instrument: ${names(code)}`);
        note(`virtual instrument besides: ${names(viCode)}`);
        note(`other files: ${names(rest)}`);

        const benchDir = benchSite(bench);
        if (!benchDir) {
            row('core heap calls per data packet', 'not measured', '0');
            note(`no bench build of the core in ${o.benchCore}: ` +
                 'cmake --build --preset web --target orvent-bench');
        } else {
            benchServer = await serveSite(benchDir);
            const session = {browser, server: benchServer, origin: benchServer.origin};
            for (const transport of TRANSPORTS) {
                const h = await heapRun(bench, session, transport);
                const name = TRANSPORT_NAMES[transport];
                row(`core heap calls per data packet, ${name}`, (h.core / h.cycles).toFixed(3), '0');
                row(`  script _malloc per data packet, ${name}`, (h.js / h.cycles).toFixed(3), '0');
                note(`heap, ${name}: over ${h.cycles} packets ${h.core} calls of the core, ` +
                     `${h.js} _malloc and ${h.jsFree} _free of the script; before the first ` +
                     `packet ${h.before.malloc} malloc (${h.before.jsMalloc} of them the ` +
                     `script's), ${h.before.free} free`);
            }
        }
    } finally {
        await browser.close().catch(() => {});
        await server.close();
        if (benchServer) {
            await benchServer.close();
        }
        fs.rmSync(tmp, {recursive: true, force: true});
    }
    const after = os.loadavg().map((l) => l.toFixed(2)).join(', ');
    note(`${((Date.now() - started) / 1000).toFixed(1)} s; load average ${after}`);
    printTable();
}

main().catch((e) => {
    console.error(`page_bench: ${(e && e.stack) || e}`);
    process.exit(1);
});
