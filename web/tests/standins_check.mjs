// The stand-ins for Web MIDI, Web Serial and WebUSB (web/standins.js) with the virtual
// instrument's module behind them, in Node, without a browser: what the browser tests and
// the page's rehearsal take for granted about them.
//
//   node web/tests/standins_check.mjs [build/web/site]
//
// Exit status 0 when every check held.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {createRequire} from 'node:module';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const site = process.argv[2] || path.join(here, '../../build/web/site');
// Emscripten's loader cannot fetch a file path under Node: it is handed the bytes.
const OrventVirtualInstrument = createRequire(import.meta.url)(path.resolve(site, 'orvent-vi.js'));
const wasmBinary = fs.readFileSync(path.join(site, 'orvent-vi.wasm'));
await import(path.join(here, '../standins.js'));

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const PRODUCT = 0x3d; // the file's product: the instrument answers to it only once fitted
const inquiry = Uint8Array.from([0xf0, 0x42, 0x23, PRODUCT, 0x00, 0xf7]);

// One block of code 1 at 0x10000, 512 bytes of data.
function systemFile() {
    const file = new Uint8Array(256 + 512);
    file.set(new TextEncoder().encode('MAVO SYSTEM FILE' + 'ORVENT'), 0);
    file.set(new TextEncoder().encode('MAIN'), 32);
    file.set([1, 1, 0, PRODUCT, 0xff, 0xff, 0xff], 41);
    const view = new DataView(file.buffer);
    view.setUint32(48, 0x10000, true);
    view.setUint32(60, 512, true);
    return file;
}

async function standIns(options = {}) {
    const vi = await OrventVirtualInstrument({wasmBinary});
    const target = {};
    const record = OrventStandins.install(target, vi, {file: systemFile(), ...options});
    return {target, record};
}

// A reply to the inquiry: the instrument's inquiry reply (code 1) or a status (code 5).
function replyCode(bytes) {
    assert.equal(bytes[0], 0xf0);
    assert.equal(bytes[bytes.length - 1], 0xf7);
    assert.deepEqual(Array.from(bytes.slice(1, 4)), [0x42, 0x23, PRODUCT]);
    return bytes[4];
}

function nextMessage(input) {
    return new Promise((resolve) => input.addEventListener('midimessage', (e) => resolve(e.data), {once: true}));
}

const checks = {
    async 'MIDI: the fitted instrument answers an inquiry, on both kinds of listener'() {
        const {target, record} = await standIns();
        const access = await target.requestMIDIAccess({sysex: true});
        const input = [...access.inputs.values()][0];
        const output = [...access.outputs.values()][0];
        assert.deepEqual([input.name, output.name], ['ORVENT 1 KEYBOARD', 'ORVENT 1 SOUND']);
        let handled = null;
        input.onmidimessage = (e) => (handled = e.data);
        const reply = nextMessage(input);
        output.send(inquiry);
        assert.equal(replyCode(await reply), 0x01);
        assert.deepEqual(handled, await reply);
        assert.equal(record.messageCount(), 1);
        assert.deepEqual(record.sent.map((s) => [s.via, Array.from(s.bytes)]), [['midi', Array.from(inquiry)]]);
        assert.throws(() => output.send([0xf0, 0x42, 0x90, 0xf7]), TypeError);
    },

    async 'MIDI: refused, unsupported and missing Web MIDI'() {
        let {target} = await standIns({sysexRefused: true});
        await assert.rejects(target.requestMIDIAccess({sysex: true}), {name: 'NotAllowedError'});
        const plain = await target.requestMIDIAccess();
        assert.equal(plain.sysexEnabled, false);
        assert.throws(() => [...plain.outputs.values()][0].send(inquiry), {name: 'InvalidAccessError'});
        ({target} = await standIns({midiUnsupported: true}));
        await assert.rejects(target.requestMIDIAccess({sysex: true}), {name: 'InvalidStateError'});
        // As on navigator, where the browser's method lives on the prototype.
        const vi = await OrventVirtualInstrument({wasmBinary});
        const browser = Object.create({requestMIDIAccess() {}});
        OrventStandins.install(browser, vi, {noWebMidi: true});
        assert.equal(typeof browser.requestMIDIAccess, 'undefined');
        assert.ok(browser.serial && browser.usb);
    },

    async 'choosers: cancelled, filtered, granted'() {
        let {target} = await standIns({chooserCancelled: true});
        await assert.rejects(target.serial.requestPort(), {name: 'NotFoundError'});
        await assert.rejects(target.usb.requestDevice({filters: []}), {name: 'NotFoundError'});
        ({target} = await standIns({chooserCancelled: 'serial'}));
        await assert.rejects(target.serial.requestPort(), {name: 'NotFoundError'});
        await assert.rejects(target.usb.requestDevice({filters: [{vendorId: 0x1234}]}), {name: 'NotFoundError'});
        assert.deepEqual(await target.usb.getDevices(), []);
        const device = await target.usb.requestDevice({filters: [{vendorId: 0x2f3c, productId: 0x1001}]});
        assert.deepEqual(await target.usb.getDevices(), [device]);
    },

    async 'serial: a message written in pieces is answered on the readable stream'() {
        const {target, record} = await standIns();
        const port = await target.serial.requestPort();
        await port.open({baudRate: 31250});
        assert.equal(record.serialBaudRate, 31250);
        await assert.rejects(port.open({baudRate: 31250}), {name: 'InvalidStateError'});
        const writer = port.writable.getWriter();
        const reader = port.readable.getReader();
        await writer.write(inquiry.slice(0, 3));
        await writer.write(inquiry.slice(3));
        assert.equal(replyCode((await reader.read()).value), 0x01);
        await assert.rejects(port.close(), TypeError); // its streams are still locked
        reader.releaseLock();
        writer.releaseLock();
        await port.close();
        assert.equal(port.readable, null);
        await port.open({baudRate: 38400});
        await port.close();
    },

    async 'USB: descriptors the device manager walks, and the bulk pipes'() {
        const {target} = await standIns();
        const device = await target.usb.requestDevice({filters: [{vendorId: 0x2f3c, productId: 0x1001}]});
        await assert.rejects(device.controlTransferIn({}, 18), {name: 'InvalidStateError'});
        await device.open();
        await device.selectConfiguration(1);
        const setup = (type) => ({requestType: 'standard', recipient: 'device', request: 6, value: type << 8, index: 0});
        const d = (await device.controlTransferIn(setup(1), 18)).data;
        assert.deepEqual([d.byteLength, d.getUint16(8, true), d.getUint16(10, true)], [18, 0x2f3c, 0x1001]);
        const c = (await device.controlTransferIn(setup(2), 512)).data;
        assert.equal(c.getUint16(2, true), c.byteLength);
        // Endpoint descriptors in order: the first bulk OUT and the first bulk IN.
        const endpoints = [];
        for (let at = 0; at < c.byteLength; at += c.getUint8(at)) {
            if (c.getUint8(at + 1) === 5) {
                endpoints.push([c.getUint8(at + 2), c.getUint8(at + 3) & 3, c.getUint16(at + 4, true)]);
            }
        }
        assert.deepEqual(endpoints, [[0x01, 2, 64], [0x82, 2, 64]]);
        await assert.rejects(device.transferOut(1, inquiry), {name: 'NotFoundError'}); // not claimed
        await device.claimInterface(0);
        const first = device.transferIn(2, 4); // waits for the reply
        await device.transferOut(1, inquiry);
        const head = new Uint8Array((await first).data.buffer);
        assert.equal(head.length, 4);
        const rest = new Uint8Array((await device.transferIn(2, 64)).data.buffer);
        assert.equal(replyCode(Uint8Array.from([...head, ...rest])), 0x01);
        const waiting = device.transferIn(2, 64);
        await device.close();
        await assert.rejects(waiting, {name: 'AbortError'});
    },

    async 'the instrument: settings, silence, late replies, flash and versions'() {
        let {target, record} = await standIns({settings: {fault: 'wrong-code', 'fault-at': '0'}});
        let access = await target.requestMIDIAccess({sysex: true});
        let [input, output] = [[...access.inputs.values()][0], [...access.outputs.values()][0]];
        let reply = nextMessage(input);
        output.send(inquiry);
        assert.equal(replyCode(await reply), 0x21);
        assert.throws(() => record.configure({settings: [['no-such-setting', '1']]}), /no-such-setting/);

        record.configure({file: systemFile(), settings: [['reply-delay', '40']]});
        record.silent = true;
        let heard = 0;
        input.addEventListener('midimessage', () => heard++);
        output.send(inquiry);
        await sleep(80);
        assert.equal(heard, 0);
        record.silent = false;
        const sent = performance.now();
        reply = nextMessage(input);
        output.send(inquiry);
        assert.equal(replyCode(await reply), 0x01);
        assert.ok(performance.now() - sent >= 35, 'the reply came before its delay');
        assert.equal(record.messageCount(), 2);

        assert.deepEqual(Array.from(record.flash(0x10000, 4)), [0xff, 0xff, 0xff, 0xff]);
        assert.equal(record.flash(0x10000 + 64 * 1024 * 1024, 4), null);
        assert.deepEqual(record.version(1), {major: 0, minor: 0});
        assert.equal(record.packetCount(), 0);
    },

    async 'unplugged: every port and device goes away'() {
        const {target, record} = await standIns({silent: true});
        const access = await target.requestMIDIAccess({sysex: true});
        const output = [...access.outputs.values()][0];
        const port = await target.serial.requestPort();
        await port.open({baudRate: 31250});
        const reader = port.readable.getReader();
        const device = await target.usb.requestDevice({filters: [{vendorId: 0x2f3c}]});
        await device.open();
        await device.selectConfiguration(1);
        await device.claimInterface(0);
        const transfer = device.transferIn(2, 64);
        const states = [];
        access.addEventListener('statechange', (e) => states.push(e.port.state));
        record.unplug();
        assert.deepEqual(states, ['disconnected', 'disconnected']);
        assert.throws(() => output.send(inquiry), {name: 'InvalidStateError'});
        await assert.rejects(reader.read(), {name: 'NetworkError'});
        assert.equal(port.readable, null);
        await assert.rejects(transfer, {name: 'NotFoundError'});
        assert.equal(device.opened, false);
        assert.deepEqual(await target.usb.getDevices(), []);
    },
};

let failed = 0;
for (const [name, check] of Object.entries(checks)) {
    try {
        await check();
        console.log(`ok   ${name}`);
    } catch (e) {
        failed++;
        console.log(`FAIL ${name}\n${(e && e.stack) || e}`);
    }
}
process.exit(failed ? 1 : 0);
