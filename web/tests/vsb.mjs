// System files (*.vsb) for the browser tests, written here rather than by the native
// vsb-writer so the web build's tests need no native build: blocks of a 256-byte header
// and generated data, and on request files broken in the ways the reader must catch.

const HEADER_SIZE = 256;
const MAGIC = 'MAVO SYSTEM FILE';

// Device "ORVENT", block "MAIN", code 1, version 1.00, product id 3C, no member id,
// address and offset 0, pseudo-random data from a seed of the block code.
export function vsbBlock(fields) {
    const b = {
        device: 'ORVENT',
        name: 'MAIN',
        code: 1,
        major: 1,
        minor: 0,
        productId: [0x3c, 0xff, 0xff],
        memberId: 0xff,
        address: 0,
        offset: 0,
        size: 1024,
        seed: 0,
        badMagic: false,
        headerBytes: HEADER_SIZE, // fewer: the header is cut there (the file ends)
        missing: 0,               // the data's last bytes left out, the header unchanged
        ...fields,
    };
    if (!b.seed) {
        b.seed = b.code * 7919;
    }
    return b;
}

// The block's data as a correct file carries it: xorshift32 bytes that seldom repeat, so a
// packet that lands in the wrong place or twice shows in the flash.
export function vsbBlockData(b) {
    const out = new Uint8Array(b.size);
    let x = b.seed >>> 0 || 1;
    for (let i = 0; i < out.length; i++) {
        x ^= x << 13;
        x >>>= 0;
        x ^= x >>> 17;
        x ^= x << 5;
        x >>>= 0;
        out[i] = x & 0xff;
    }
    return out;
}

function putText(header, at, length, text) {
    for (let i = 0; i < Math.min(length, text.length); i++) {
        header[at + i] = text.charCodeAt(i) & 0xff;
    }
}

function put32(header, at, value) {
    new DataView(header.buffer, header.byteOffset).setUint32(at, value >>> 0, true);
}

export function vsbBlockHeader(b) {
    const h = new Uint8Array(HEADER_SIZE);
    putText(h, 0, 16, b.badMagic ? MAGIC.slice(0, 15) + 'e' : MAGIC);
    putText(h, 16, 16, b.device);
    putText(h, 32, 8, b.name);
    h[41] = b.code;
    h[42] = b.major;
    h[43] = b.minor;
    h.set(b.productId, 44);
    h[47] = b.memberId;
    put32(h, 48, b.address);
    put32(h, 56, b.offset);
    put32(h, 60, b.size);
    return h;
}

// The blocks back to back, then surplus bytes of surplusValue.
export function vsbFile(blocks, surplus = 0, surplusValue = 0x55) {
    const parts = [];
    for (const b of blocks) {
        parts.push(vsbBlockHeader(b).subarray(0, b.headerBytes));
        if (b.headerBytes === HEADER_SIZE) {
            parts.push(vsbBlockData(b).subarray(0, b.size - b.missing));
        }
    }
    parts.push(new Uint8Array(surplus).fill(surplusValue));
    return Buffer.concat(parts);
}
