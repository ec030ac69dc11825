// Stand-ins for the browser's Web MIDI, Web Serial and WebUSB with the virtual instrument
// (orvent-vi.js) at their far end, shaped like the real objects closely enough for the
// page's core and its browser halves. The browser tests install them on navigator before
// the page's own scripts run; the page's "virtual instrument" choice installs them on an
// object of its own and takes the MIDIAccess from there.
//
//   const record = OrventStandins.install(target, vi, options);
//
// target gets requestMIDIAccess, serial and usb (own properties, so that they shadow the
// browser's on navigator); vi is a loaded OrventVirtualInstrument instance. Options:
//   file             the system file's bytes (Uint8Array): the instrument fits it
//   settings         the instrument's settings by serial-instrument's names, as an object
//                    or [name, value] pairs: { fault: "status", "fault-at": "3" }
//                    (with neither, the instrument is left as the caller configured it)
//   silent           the instrument answers nothing (record.silent switches it later)
//   sysexRefused     requestMIDIAccess({sysex: true}) fails with NotAllowedError
//   midiUnsupported  requestMIDIAccess fails with InvalidStateError
//   noWebMidi        there is no requestMIDIAccess at all
//   chooserCancelled true, "serial" or "usb": the chooser fails with NotFoundError
//   midiNames        { output, input }: the names of the instrument's MIDI ports
//                    ("ORVENT 1 SOUND" and "ORVENT 1 KEYBOARD" unless given)
//   serialInfo       what SerialPort.getInfo() gives ({} unless given)
//   timer            (callback, ms) => void for replies that come late (unless given, the
//                    page's timer worker, or setTimeout outside a page); replies due at
//                    once come without a timer
//   recordSent       false: keep no copy of what was sent (the page's rehearsal)
// The record: sent ({ via: "midi" | "serial" | "usb", bytes, at } in order), silent,
// configure({ file, settings }) to switch the instrument on afresh, messageCount(),
// packetCount(), version(blockCode) ({ major, minor }), flash(address, length) (a
// Uint8Array, null outside the flash), unplug() (every port and device goes away), and the
// objects themselves: midiAccess, serialPort, usbDevice.
(function(root) {
"use strict";

const VENDOR_ID = 0x2F3C;  // DEFAULT_VENDOR_ID
const PRODUCT_ID = 0x1001; // USB_VERUP_PRODUCT_ID
const PACKET_SIZE = 64;
const MAX_REPLY = 1024; // VI_MAX_REPLY

function domError(name, message) {
    return new DOMException(message, name);
}

function now() {
    return typeof performance !== "undefined" ? performance.now() : Date.now();
}

function toBytes(data) {
    if (data instanceof Uint8Array) {
        return data.slice();
    }
    if (ArrayBuffer.isView(data)) {
        return new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
    }
    if (data instanceof ArrayBuffer) {
        return new Uint8Array(data.slice(0));
    }
    return Uint8Array.from(data);
}

// In a page, late replies timed by the page's timer worker (timer-worker.js beside the
// page), as the core times its pause: the page's own timers come 4 ms late at the least once
// they nest, and once a second in a hidden tab, which would be the stand-in's delay and
// not the instrument's. Null where there is no such worker (Node).
function workerTimer() {
    if (typeof Worker === "undefined" || typeof document === "undefined") {
        return null;
    }
    let worker;
    try {
        worker = new Worker(new URL("timer-worker.js", document.baseURI));
    } catch (e) {
        return null;
    }
    const waiting = new Map();
    let next = 1;
    worker.onmessage = (e) => {
        const callback = waiting.get(e.data);
        waiting.delete(e.data);
        if (callback) {
            callback();
        }
    };
    return (callback, ms) => {
        const id = next++;
        waiting.set(id, callback);
        worker.postMessage([id, performance.now() + ms, performance.timeOrigin]);
    };
}

// The virtual instrument's module, and the order its replies come in for each way it is
// reached: a reply never overtakes an earlier one.
function makeInstrument(vi, record, options) {
    const replyAt = vi._malloc(MAX_REPLY + 4);
    let scratch = 0;
    let scratchSize = 0;
    const timer = options.timer || workerTimer() || ((callback, ms) => setTimeout(callback, ms));

    function put(bytes) {
        if (bytes.length > scratchSize) {
            if (scratch) {
                vi._free(scratch);
            }
            scratchSize = Math.max(bytes.length, 1024);
            scratch = vi._malloc(scratchSize);
        }
        vi.HEAPU8.set(bytes, scratch);
        return scratch;
    }

    function withText(text, use) {
        const bytes = new TextEncoder().encode(String(text) + "\0");
        const at = vi._malloc(bytes.length);
        vi.HEAPU8.set(bytes, at);
        try {
            return use(at);
        } finally {
            vi._free(at);
        }
    }

    function channel(deliver) {
        const queue = [];
        let armed = false;
        let lastDue = 0;
        function run() {
            armed = false;
            while (queue.length > 0 && queue[0].due <= now() + 1) {
                deliver(queue.shift().bytes);
            }
            arm();
        }
        function arm() {
            if (armed || queue.length === 0) {
                return;
            }
            armed = true;
            const wait = queue[0].due - now();
            if (wait <= 0) {
                queueMicrotask(run);
            } else {
                timer(run, wait);
            }
        }
        return {
            push(bytes, delayMs) {
                lastDue = Math.max(now() + delayMs, lastDue);
                queue.push({bytes, due: lastDue});
                arm();
            },
            clear() {
                queue.length = 0;
            },
        };
    }

    function collect(way) {
        let length;
        while ((length = vi._vi_take_reply(replyAt, MAX_REPLY, replyAt + MAX_REPLY)) > 0) {
            const bytes = vi.HEAPU8.slice(replyAt, replyAt + length);
            const delayMs = vi.HEAPU32[(replyAt + MAX_REPLY) >> 2];
            if (!record.silent) {
                way.push(bytes, delayMs);
            }
        }
    }

    return {
        channel,
        configure(config) {
            config = config || {};
            vi._vi_reset_default();
            if (config.file && !vi._vi_fit_to_file(put(config.file), config.file.length)) {
                throw new Error("the virtual instrument cannot fit that file");
            }
            const settings = config.settings || [];
            const pairs = Array.isArray(settings) ? settings : Object.entries(settings);
            for (const [name, value] of pairs) {
                const taken = withText(name, (n) => withText(value, (v) => vi._vi_set(n, v)));
                if (!taken) {
                    throw new Error("the virtual instrument takes no " + name + " " + value);
                }
            }
            vi._vi_start();
        },
        message(bytes, way) {
            vi._vi_message(put(bytes), bytes.length);
            collect(way);
        },
        feed(bytes, way) {
            vi._vi_feed(put(bytes), bytes.length);
            collect(way);
        },
    };
}

function noteSent(record, via, bytes) {
    if (record.recordSent) {
        record.sent.push({via, bytes, at: now()});
    }
}

// ---- Web MIDI

class StandinMidiPort extends EventTarget {
    constructor(access, type, id, name) {
        super();
        this.access = access;
        this.type = type;
        this.id = id;
        this.name = name;
        this.manufacturer = "";
        this.version = "";
        this.state = "connected";
        this.connection = "closed";
        this.onstatechange = null;
    }

    changed() {
        for (const target of [this, this.access]) {
            const event = new Event("statechange");
            event.port = this;
            target.dispatchEvent(event);
            if (typeof target.onstatechange === "function") {
                target.onstatechange(event);
            }
        }
    }

    async open() {
        if (this.state === "disconnected") {
            throw domError("InvalidStateError", "The port is disconnected.");
        }
        if (this.connection !== "open") {
            this.connection = "open";
            this.changed();
        }
        return this;
    }

    async close() {
        if (this.connection !== "closed") {
            this.connection = "closed";
            this.changed();
        }
        return this;
    }
}

class StandinMidiInput extends StandinMidiPort {
    constructor(access, id, name) {
        super(access, "input", id, name);
        this.handler = null;
    }

    get onmidimessage() {
        return this.handler;
    }

    set onmidimessage(handler) {
        this.handler = handler;
        this.connection = "open";
    }

    addEventListener(type, listener, options) {
        if (type === "midimessage") {
            this.connection = "open";
        }
        super.addEventListener(type, listener, options);
    }

    receive(bytes) {
        if (this.state !== "connected" || this.connection !== "open") {
            return;
        }
        const event = new Event("midimessage");
        event.data = bytes;
        event.receivedTime = now();
        this.dispatchEvent(event);
        if (typeof this.handler === "function") {
            this.handler(event);
        }
    }
}

// Whether bytes are MIDI a browser would send: a status byte inside a System Exclusive
// message (other than its end and the real-time bytes) is refused.
function validMidi(bytes) {
    let inSysex = false;
    for (const b of bytes) {
        if (!Number.isInteger(b) || b < 0 || b > 0xFF) {
            return false;
        }
        if (b === 0xF0) {
            if (inSysex) {
                return false;
            }
            inSysex = true;
        } else if (b === 0xF7) {
            inSysex = false;
        } else if (inSysex && b >= 0x80 && b < 0xF8) {
            return false;
        }
    }
    return true;
}

class StandinMidiOutput extends StandinMidiPort {
    constructor(access, id, name, send) {
        super(access, "output", id, name);
        this.sendTo = send;
    }

    send(data) {
        const bytes = toBytes(data);
        if (this.state !== "connected") {
            throw domError("InvalidStateError", "The port is disconnected.");
        }
        if (bytes.includes(0xF0) && !this.access.sysexEnabled) {
            throw domError("InvalidAccessError", "System exclusive message is not allowed.");
        }
        if (!validMidi(bytes)) {
            throw new TypeError("Invalid MIDI message.");
        }
        this.connection = "open";
        this.sendTo(bytes);
    }

    clear() {}
}

function makeMidi(instrument, record, options) {
    const names = Object.assign({output: "ORVENT 1 SOUND", input: "ORVENT 1 KEYBOARD"},
                                options.midiNames || {});
    const access = new EventTarget();
    access.onstatechange = null;
    access.sysexEnabled = true;
    const input = new StandinMidiInput(access, "orvent-in", names.input);
    const way = instrument.channel((bytes) => input.receive(bytes));
    const output = new StandinMidiOutput(access, "orvent-out", names.output, (bytes) => {
        noteSent(record, "midi", bytes);
        const whole = bytes.length >= 2 && bytes[0] === 0xF0 && bytes[bytes.length - 1] === 0xF7 &&
                      bytes.indexOf(0xF7) === bytes.length - 1;
        if (whole) {
            instrument.message(bytes, way);
        } else {
            instrument.feed(bytes, way);
        }
    });
    access.inputs = new Map([[input.id, input]]);
    access.outputs = new Map([[output.id, output]]);

    async function requestMIDIAccess(request) {
        if (options.midiUnsupported) {
            throw domError("InvalidStateError", "Platform dependent initialization failed.");
        }
        const sysex = !!(request && request.sysex);
        if (sysex && options.sysexRefused) {
            throw domError("NotAllowedError", "Permission denied.");
        }
        access.sysexEnabled = sysex;
        return access;
    }

    function unplug() {
        way.clear();
        for (const port of [input, output]) {
            if (port.state !== "disconnected") {
                port.state = "disconnected";
                port.changed();
            }
        }
    }

    return {access, requestMIDIAccess, unplug};
}

// ---- Web Serial

function filterMatches(filters, info) {
    if (!filters || filters.length === 0) {
        return true;
    }
    return filters.some((f) => Object.keys(f).every((key) => info[key] === f[key]));
}

class StandinSerialPort extends EventTarget {
    constructor(instrument, record, info) {
        super();
        this.info = info;
        this.record = record;
        this.readable = null;
        this.writable = null;
        this.gone = false;
        this.controller = null;
        this.onconnect = null;
        this.ondisconnect = null;
        this.way = instrument.channel((bytes) => {
            if (this.controller) {
                this.controller.enqueue(bytes);
            }
        });
        this.instrument = instrument;
    }

    getInfo() {
        return Object.assign({}, this.info);
    }

    async open(options) {
        if (this.gone) {
            throw domError("NetworkError", "Failed to open serial port.");
        }
        if (this.readable || this.writable) {
            throw domError("InvalidStateError", "The port is already open.");
        }
        if (!options || !(options.baudRate > 0)) {
            throw new TypeError("Failed to execute 'open' on 'SerialPort': invalid baudRate.");
        }
        this.record.serialBaudRate = options.baudRate;
        this.way.clear();
        this.readable = new ReadableStream({
            start: (controller) => {
                this.controller = controller;
            },
            cancel: () => {
                this.controller = null;
            },
        });
        this.writable = new WritableStream({
            write: (chunk) => {
                if (this.gone) {
                    throw domError("NetworkError", "The device has been lost.");
                }
                const bytes = toBytes(chunk);
                noteSent(this.record, "serial", bytes);
                this.instrument.feed(bytes, this.way);
            },
        });
    }

    async close() {
        if (!this.readable && !this.writable) {
            throw domError("InvalidStateError", "The port is already closed.");
        }
        if ((this.readable && this.readable.locked) || (this.writable && this.writable.locked)) {
            throw new TypeError("Cannot close a port whose streams are locked.");
        }
        const readable = this.readable;
        const writable = this.writable;
        this.readable = null;
        this.writable = null;
        this.controller = null;
        this.way.clear();
        if (readable) {
            await readable.cancel().catch(() => {});
        }
        if (writable) {
            await writable.close().catch(() => {});
        }
    }

    unplug() {
        this.gone = true;
        this.way.clear();
        if (this.controller) {
            this.controller.error(domError("NetworkError", "The device has been lost."));
            this.controller = null;
        }
        this.readable = null;
        this.writable = null;
        const event = new Event("disconnect");
        this.dispatchEvent(event);
        if (typeof this.ondisconnect === "function") {
            this.ondisconnect(event);
        }
    }
}

function makeSerial(instrument, record, options) {
    const port = new StandinSerialPort(instrument, record, options.serialInfo || {});
    const serial = new EventTarget();
    let granted = false;
    serial.onconnect = null;
    serial.ondisconnect = null;
    serial.requestPort = async function(request) {
        const cancelled = options.chooserCancelled === true || options.chooserCancelled === "serial";
        if (cancelled || !filterMatches(request && request.filters, port.info)) {
            throw domError("NotFoundError", "No port selected by the user.");
        }
        granted = true;
        return port;
    };
    serial.getPorts = async function() {
        return granted && !port.gone ? [port] : [];
    };
    return {serial, port};
}

// ---- WebUSB

function word(value) {
    return [value & 0xFF, (value >> 8) & 0xFF];
}

// One interface with a bulk OUT endpoint 0x01 and a bulk IN endpoint 0x82, as the device
// manager's walk finds them: the read pipe is endpoint descriptor 01, the write pipe 00.
const DEVICE_DESCRIPTOR = Uint8Array.from(
    [18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, ...word(VENDOR_ID), ...word(PRODUCT_ID), 0x00, 0x01, 1,
     2, 0, 1]);
const CONFIG_DESCRIPTOR = Uint8Array.from([
    9, 2, ...word(32), 1, 1, 0, 0x80, 50,                   // configuration
    9, 4, 0, 0, 2, 0xFF, 0, 0, 0,                           // interface 0
    7, 5, 0x01, 2, ...word(PACKET_SIZE), 0,                 // bulk OUT 1
    7, 5, 0x82, 2, ...word(PACKET_SIZE), 0,                 // bulk IN 2
]);

function usbConfiguration() {
    const endpoints = [
        {endpointNumber: 1, direction: "out", type: "bulk", packetSize: PACKET_SIZE},
        {endpointNumber: 2, direction: "in", type: "bulk", packetSize: PACKET_SIZE},
    ];
    const alternate = {alternateSetting: 0, interfaceClass: 0xFF, interfaceSubclass: 0,
                       interfaceProtocol: 0, interfaceName: null, endpoints};
    return {configurationValue: 1, configurationName: null,
            interfaces: [{interfaceNumber: 0, claimed: false, alternate, alternates: [alternate]}]};
}

class StandinUsbDevice {
    constructor(instrument, record) {
        this.vendorId = VENDOR_ID;
        this.productId = PRODUCT_ID;
        this.productName = "ORVENT";
        this.manufacturerName = null;
        this.serialNumber = null;
        this.usbVersionMajor = 2;
        this.usbVersionMinor = 0;
        this.deviceClass = 0xFF;
        this.opened = false;
        this.configurations = [usbConfiguration()];
        this.configuration = null;
        this.gone = false;
        this.instrument = instrument;
        this.record = record;
        this.ready = []; // pieces of replies the IN endpoint has for the host
        this.waiting = []; // transferIn calls waiting for a piece
        this.way = instrument.channel((bytes) => {
            this.ready.push(bytes);
            this.serve();
        });
    }

    check() {
        if (this.gone) {
            throw domError("NotFoundError", "The device was disconnected.");
        }
        if (!this.opened) {
            throw domError("InvalidStateError", "The device must be opened first.");
        }
    }

    endpoint(number, direction) {
        this.check();
        const iface = this.configuration && this.configuration.interfaces[0];
        const found = iface && iface.alternate.endpoints.find(
            (e) => e.endpointNumber === number && e.direction === direction);
        if (!found || !iface.claimed) {
            throw domError("NotFoundError",
                           "The specified endpoint is not part of a claimed and selected " +
                               "alternate interface.");
        }
        return found;
    }

    serve() {
        while (this.ready.length > 0 && this.waiting.length > 0) {
            const waiter = this.waiting.shift();
            const piece = this.ready[0];
            const n = Math.min(waiter.length, PACKET_SIZE, piece.length);
            if (n >= piece.length) {
                this.ready.shift();
            } else {
                this.ready[0] = piece.subarray(n);
            }
            waiter.resolve({status: "ok", data: new DataView(piece.slice(0, n).buffer)});
        }
    }

    failWaiting(error) {
        const waiting = this.waiting;
        this.waiting = [];
        waiting.forEach((waiter) => waiter.reject(error));
    }

    async open() {
        if (this.gone) {
            throw domError("NotFoundError", "The device was disconnected.");
        }
        this.opened = true;
    }

    async close() {
        if (this.gone) {
            throw domError("NotFoundError", "The device was disconnected.");
        }
        this.opened = false;
        if (this.configuration) {
            this.configuration.interfaces[0].claimed = false;
        }
        this.failWaiting(domError("AbortError", "The transfer was cancelled."));
    }

    async forget() {
        await this.close().catch(() => {});
    }

    async selectConfiguration(value) {
        this.check();
        const found = this.configurations.find((c) => c.configurationValue === value);
        if (!found) {
            throw domError("NotFoundError", "The configuration value provided is not supported.");
        }
        this.configuration = found;
    }

    async claimInterface(number) {
        this.check();
        const iface = this.configuration && this.configuration.interfaces.find(
            (i) => i.interfaceNumber === number);
        if (!iface) {
            throw domError("NotFoundError", "The interface number provided is not supported.");
        }
        iface.claimed = true;
    }

    async releaseInterface(number) {
        this.check();
        const iface = this.configuration && this.configuration.interfaces.find(
            (i) => i.interfaceNumber === number);
        if (iface) {
            iface.claimed = false;
        }
    }

    async selectAlternateInterface(number, alternate) {
        this.check();
        if (number !== 0 || alternate !== 0) {
            throw domError("NotFoundError", "The alternate setting provided is not supported.");
        }
    }

    async controlTransferIn(setup, length) {
        this.check();
        let bytes = null;
        if (setup.requestType === "standard" && setup.recipient === "device") {
            if (setup.request === 6 && setup.value >> 8 === 1) {
                bytes = DEVICE_DESCRIPTOR;
            } else if (setup.request === 6 && setup.value === 0x0200) {
                bytes = CONFIG_DESCRIPTOR;
            } else if (setup.request === 0) {
                bytes = Uint8Array.from([0, 0]);
            }
        }
        if (!bytes) {
            return {status: "stall", data: undefined};
        }
        return {status: "ok", data: new DataView(bytes.slice(0, Math.min(length, bytes.length)).buffer)};
    }

    async transferIn(number, length) {
        this.endpoint(number, "in");
        return new Promise((resolve, reject) => {
            this.waiting.push({length, resolve, reject});
            this.serve();
        });
    }

    async transferOut(number, data) {
        this.endpoint(number, "out");
        const bytes = toBytes(data);
        noteSent(this.record, "usb", bytes);
        this.instrument.feed(bytes, this.way);
        return {status: "ok", bytesWritten: bytes.length};
    }

    async clearHalt() {
        this.check();
    }

    async reset() {
        this.check();
        this.ready = [];
        this.way.clear();
        this.failWaiting(domError("AbortError", "The transfer was cancelled."));
    }

    unplug() {
        this.gone = true;
        this.opened = false;
        this.ready = [];
        this.way.clear();
        this.failWaiting(domError("NotFoundError", "The device was disconnected."));
    }
}

function makeUsb(instrument, record, options) {
    const device = new StandinUsbDevice(instrument, record);
    const usb = new EventTarget();
    let granted = false;
    usb.onconnect = null;
    usb.ondisconnect = null;
    usb.requestDevice = async function(request) {
        if (!request || !Array.isArray(request.filters)) {
            throw new TypeError("Failed to execute 'requestDevice' on 'USB': filters required.");
        }
        const cancelled = options.chooserCancelled === true || options.chooserCancelled === "usb";
        if (cancelled || !filterMatches(request.filters, device)) {
            throw domError("NotFoundError", "No device selected.");
        }
        granted = true;
        return device;
    };
    usb.getDevices = async function() {
        return granted && !device.gone ? [device] : [];
    };
    function unplug() {
        if (device.gone) {
            return;
        }
        device.unplug();
        const event = new Event("disconnect");
        event.device = device;
        usb.dispatchEvent(event);
        if (typeof usb.ondisconnect === "function") {
            usb.ondisconnect(event);
        }
    }
    return {usb, device, unplug};
}

// ---- Putting them in place

function define(target, name, value) {
    Object.defineProperty(target, name, {value, configurable: true, writable: true,
                                         enumerable: true});
}

// No Web MIDI: requestMIDIAccess neither on the target nor anywhere up its prototype chain.
function removeMidi(target) {
    for (let o = target; o; o = Object.getPrototypeOf(o)) {
        if (Object.prototype.hasOwnProperty.call(o, "requestMIDIAccess")) {
            delete o.requestMIDIAccess;
        }
    }
}

function install(target, vi, options) {
    options = options || {};
    const record = {
        sent: [],
        silent: !!options.silent,
        recordSent: options.recordSent !== false,
        serialBaudRate: 0,
    };
    const instrument = makeInstrument(vi, record, options);
    // Without a file or settings the instrument stays as the caller set it up.
    if (options.file || options.settings) {
        instrument.configure(options);
    }
    const midi = makeMidi(instrument, record, options);
    const serial = makeSerial(instrument, record, options);
    const usb = makeUsb(instrument, record, options);

    if (options.noWebMidi) {
        removeMidi(target);
    } else {
        define(target, "requestMIDIAccess", midi.requestMIDIAccess);
    }
    define(target, "serial", serial.serial);
    define(target, "usb", usb.usb);

    const scratch = (length, use) => {
        const at = vi._malloc(Math.max(length, 1));
        try {
            return use(at);
        } finally {
            vi._free(at);
        }
    };
    Object.assign(record, {
        midiAccess: midi.access,
        serialPort: serial.port,
        usbDevice: usb.device,
        configure(config) {
            instrument.configure(config);
            record.sent.length = 0;
        },
        messageCount: () => vi._vi_message_count(),
        packetCount: () => vi._vi_packet_count(),
        version(blockCode) {
            const v = vi._vi_version(blockCode);
            return {major: v >> 8, minor: v & 0xFF};
        },
        flash(address, length) {
            return scratch(length, (at) => vi._vi_flash_read(address >>> 0, at, length >>> 0)
                                               ? vi.HEAPU8.slice(at, at + length)
                                               : null);
        },
        unplug() {
            midi.unplug();
            serial.port.unplug();
            usb.unplug();
        },
    });
    return record;
}

root.OrventStandins = {install};
})(globalThis);
