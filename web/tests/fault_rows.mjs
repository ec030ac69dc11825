// The fault matrix's rows, read from tests/fault_matrix.cpp itself, so that the page meets
// every fault the other front ends meet, with the same expected ends: a row added there is a
// browser case here without a second table to keep.

import fs from 'node:fs';
import {fileURLToPath} from 'node:url';

const SOURCE = fileURLToPath(new URL('../../tests/fault_matrix.cpp', import.meta.url));

// The brace-enclosed initialisers of a C array, each split into its fields.
function initialisers(source, arrayName) {
    const start = source.indexOf(arrayName);
    const end = source.indexOf('};', start);
    if (start < 0 || end < 0) {
        throw new Error(`${arrayName} not found in ${SOURCE}`);
    }
    const body = source.slice(source.indexOf('{', start) + 1, end);
    const rows = [];
    const entry = /\{((?:"(?:[^"\\]|\\.)*"|[^{}"])*)\}/g;
    let m;
    while ((m = entry.exec(body.replace(/\/\/[^\n]*/g, ''))) !== null) {
        const fields = m[1].match(/"(?:[^"\\]|\\.)*"|[^,\s][^,]*/g).map((f) => f.trim());
        rows.push(fields.map(value));
    }
    return rows;
}

function value(field) {
    if (field.startsWith('"')) {
        return JSON.parse(field);
    }
    if (field === 'nullptr') {
        return null;
    }
    if (/^-?(0x[0-9a-f]+|\d+)$/i.test(field)) {
        return Number(field);
    }
    return field; // an enumerator
}

// The virtual instrument's name of a fault, as serial-instrument's --fault spells it.
function faultName(enumerator) {
    return enumerator.replace(/^VI_FAULT_/, '').toLowerCase().replace(/_/g, '-');
}

const TRANSPORT_OF_DEVICE = {
    DEVICE_TYPE_SERIAL: 'serial',
    DEVICE_TYPE_MIDI: 'midi',
    DEVICE_TYPE_USB_BULK: 'usb',
    DEVICE_TYPE_KERNEL_MIDI: 'kernel-midi',
};

function readRows() {
    const source = fs.readFileSync(SOURCE, 'utf8');
    const rows = initialisers(source, 'kFaultRows[]').map((f) => ({
        name: f[0],
        fault: f[1],
        faultName: faultName(f[1]),
        at: f[2],
        status: f[3],
        text: f[4],
        writeSteps: f[5],
        failSendAt: f[6],
        slow: f[7],
        expected: f[8],
        silence: f[9] === 'SILENCE',
        lastMessage: f[10],
        acknowledged: f[11],
    }));
    const exceptions = initialisers(source, 'kPathExceptions[]').map((f) => ({
        row: f[0],
        transport: TRANSPORT_OF_DEVICE[f[1]],
        expected: f[2],
        lastMessage: f[3],
        acknowledged: f[4],
    }));
    return {rows, exceptions};
}

export const {rows: faultRows, exceptions: pathExceptions} = readRows();

// The row as it must end over a transport of the page: a reply that never comes in that
// transport's words, and the cells that end otherwise than their row.
export function faultRowOn(row, transport) {
    const c = {...row};
    if (c.silence) {
        c.expected = transport === 'usb' ? 'Recieve Error' : 'Recieve Error(Timeout)';
    }
    for (const x of pathExceptions) {
        if (x.row === c.name && x.transport === transport) {
            Object.assign(c, {expected: x.expected, lastMessage: x.lastMessage, acknowledged: x.acknowledged});
        }
    }
    return c;
}

// The instrument of a cell, as [name, value] settings: the matrix's block of code 1 held at
// 1.03, a 64 KiB flash, and the row's fault. The fault is given separately so that a test can
// switch the instrument on with it only once the page has asked for its version.
export function faultRowInstrument(row, {protocol = 0, raw = false} = {}) {
    const base = [
        ['version', '1=1.03'],
        ['protocol', protocol],
        ['flags', raw ? 1 : 0],
        ['block-size', '1=1024'],
        ['flash', '0:0x10000'],
        ['fault-delay', 50],
        ['other-product-id', '3D'],
    ];
    if (row.writeSteps) {
        base.push(['write-steps', row.writeSteps]);
    }
    const fault = row.faultName !== 'none' ? [['fault', row.faultName], ['fault-at', row.at]] : [];
    if (row.status) {
        fault.push(['fault-status', row.status]);
    }
    if (row.text) {
        fault.push(['fault-text', row.text]);
    }
    return {base, fault};
}
