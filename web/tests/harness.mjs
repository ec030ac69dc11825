// What every browser test stands on: the built site served on a free localhost port, Debian's
// Chromium driven headless, and the stand-ins for Web MIDI, Web Serial and WebUSB put on
// navigator before the page's own scripts run, so the page under test is the page that ships.

import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const MIME = {
    '.html': 'text/html; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.json': 'application/json; charset=utf-8',
    '.wasm': 'application/wasm',
    '.png': 'image/png',
    '.svg': 'image/svg+xml',
    '.ico': 'image/x-icon',
    '.txt': 'text/plain; charset=utf-8',
};

// Serves the site's files and nothing else; every path asked for is kept, so a test can
// tell the page fetched only its own files.
export async function serveSite(site) {
    const root = path.resolve(site);
    const requests = [];
    const server = http.createServer((req, res) => {
        const url = new URL(req.url, 'http://localhost');
        requests.push(url.pathname);
        let file = path.normalize(path.join(root, decodeURIComponent(url.pathname)));
        if (!file.startsWith(root)) {
            res.writeHead(403).end();
            return;
        }
        if (url.pathname.endsWith('/')) {
            file = path.join(file, 'index.html');
        }
        fs.readFile(file, (err, body) => {
            if (err) {
                res.writeHead(404, {'Content-Type': 'text/plain'}).end('not found');
                return;
            }
            res.writeHead(200, {
                'Content-Type': MIME[path.extname(file)] || 'application/octet-stream',
                'Cache-Control': 'no-store',
            });
            res.end(body);
        });
    });
    await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(0, '127.0.0.1', resolve);
    });
    // 127.0.0.1 is as trustworthy to the browser as localhost (Serial, USB and System
    // Exclusive need a secure context) and never resolves to an address nobody listens on.
    const origin = `http://127.0.0.1:${server.address().port}`;
    return {origin, requests, close: () => new Promise((r) => server.close(r))};
}

// Puppeteer's defaults switch background throttling off; a user's browser has it on, and
// the page must keep its pace in a hidden tab all the same.
const THROTTLING_OFF = [
    '--disable-background-timer-throttling',
    '--disable-renderer-backgrounding',
    '--disable-backgrounding-occluded-windows',
];

// puppeteer-core is loaded only when a browser is wanted, so that listing the cases (at the
// build's configure step) needs no npm install.
async function puppeteerCore() {
    try {
        return (await import('puppeteer-core')).default;
    } catch (e) {
        throw new Error(`puppeteer-core is not installed: run 'npm ci --prefix web' (scripts/setup.sh does) (${e.message})`);
    }
}

export async function launchBrowser({lang = 'en-US'} = {}) {
    const puppeteer = await puppeteerCore();
    const args = [`--lang=${lang}`];
    if (process.getuid && process.getuid() === 0) {
        args.push('--no-sandbox');
    }
    return puppeteer.launch({
        executablePath: process.env.ORV_CHROMIUM || '/usr/bin/chromium',
        headless: true,
        args,
        ignoreDefaultArgs: THROTTLING_OFF,
        env: {...process.env, LANGUAGE: lang.replace('-', '_')},
    });
}

// Runs in the page at document creation, before any of its scripts and before its
// Content-Security-Policy is read. Every OrventStandins.install the page makes is recorded
// (the virtual instrument choice installs its own). With cfg.navigator it loads the site's
// virtual instrument and stand-ins synchronously and installs them on navigator, so
// navigator is already the stand-ins' when the page first looks at it.
function installStandIns(cfg) {
    if (location.origin !== cfg.origin || window !== window.top) {
        return;
    }
    const test = {records: [], error: null};
    window.__orventTest = test;
    let standIns;
    Object.defineProperty(window, 'OrventStandins', {
        configurable: true,
        get: () => standIns,
        set(value) {
            const install = value.install;
            standIns = {
                ...value,
                install(target, vi, options) {
                    const record = install(target, vi, options);
                    test.records.push(record);
                    return record;
                },
            };
        },
    });
    if (!cfg.navigator) {
        return;
    }
    try {
        const get = (file, binary) => {
            const x = new XMLHttpRequest();
            x.open('GET', '/' + file, false);
            if (binary) {
                x.overrideMimeType('text/plain; charset=x-user-defined');
            }
            x.send();
            if (x.status !== 200) {
                throw new Error(`${file}: HTTP ${x.status}`);
            }
            return x.responseText;
        };
        (0, eval)(get('orvent-vi.js'));
        const wasm = Uint8Array.from(get('orvent-vi.wasm', true), (c) => c.charCodeAt(0) & 0xff);
        const vi = {
            print: (t) => console.log('[vi] ' + t),
            printErr: (t) => console.log('[vi] ' + t),
            // Synchronous, so the instrument is ready before the page's first script.
            instantiateWasm(imports, receive) {
                const instance = new WebAssembly.Instance(new WebAssembly.Module(wasm), imports);
                receive(instance);
                return instance.exports;
            },
        };
        OrventVirtualInstrument(vi);
        (0, eval)(get('standins.js'));
        const options = {...cfg.options, settings: cfg.settings};
        if (cfg.file) {
            options.file = Uint8Array.from(atob(cfg.file), (c) => c.charCodeAt(0));
        }
        test.navigator = OrventStandins.install(navigator, vi, options);
    } catch (e) {
        test.error = String((e && e.stack) || e);
        console.log('[stand-ins] ' + test.error);
    }
}

// A page of the site with the stand-ins on navigator (unless standIns is false). file: the
// bytes of a system file the instrument is fitted to; settings: [name, value] pairs as
// serial-instrument takes them; options: the stand-ins' own (sysexRefused, silent, ...).
export async function openPage(session, {file, settings = [], options = {}, lang, standIns = true} = {}) {
    const page = await session.browser.newPage();
    page.consoleLines = [];
    page.on('console', (m) => page.consoleLines.push(m.text()));
    page.on('pageerror', (e) => page.consoleLines.push('pageerror: ' + e.message));
    page.foreignRequests = [];
    page.on('request', (r) => {
        const url = r.url();
        if (!url.startsWith(session.origin + '/') && !url.startsWith('data:') && !url.startsWith('blob:')) {
            page.foreignRequests.push(url);
        }
    });
    if (lang) {
        const client = await page.createCDPSession();
        await client.send('Emulation.setUserAgentOverride', {
            userAgent: await session.browser.userAgent(),
            acceptLanguage: lang,
        });
        await client.send('Emulation.setLocaleOverride', {locale: lang});
    }
    await page.evaluateOnNewDocument(installStandIns, {
        origin: session.origin,
        navigator: standIns,
        file: file ? Buffer.from(file).toString('base64') : null,
        settings,
        options,
    });
    await page.setViewport({width: 1000, height: 820});
    await page.goto(session.origin + '/index.html', {waitUntil: 'load'});
    const error = await page.evaluate(() => window.__orventTest.error);
    if (error) {
        throw new Error('stand-ins not installed: ' + error);
    }
    await page.evaluate(() => window.orventPage && window.orventPage.ready);
    return page;
}

export async function openSession({site, lang} = {}) {
    const server = await serveSite(site);
    const browser = await launchBrowser({lang});
    const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orv-web-'));
    return {
        server,
        browser,
        origin: server.origin,
        tmp,
        // A system file on disk for the file input.
        writeFile(name, bytes) {
            const file = path.join(tmp, name);
            fs.writeFileSync(file, bytes);
            return file;
        },
        async close() {
            await browser.close().catch(() => {});
            await server.close();
            fs.rmSync(tmp, {recursive: true, force: true});
        },
    };
}

// What an instrument holds and received: the one behind navigator's stand-ins, or with
// which: 'page' the one the page's virtual instrument choice installed last. flash: [address,
// length] pairs to read.
export async function instrumentState(page, {which = 'navigator', flash = [], versions = []} = {}) {
    return page.evaluate(
        (which, flash, versions) => {
            const t = window.__orventTest;
            const r = which === 'navigator' ? t.navigator : t.records[t.records.length - 1];
            return {
                messages: r.messageCount(),
                packets: r.packetCount(),
                versions: versions.map((code) => r.version(code)),
                flash: flash.map(([address, length]) => Array.from(r.flash(address, length) || [])),
                sent: r.sent.map((s) => ({via: s.via, at: s.at, length: s.bytes.length, code: s.bytes[4]})),
            };
        },
        which,
        flash,
        versions
    );
}

// Switches the navigator stand-ins' instrument on afresh with these settings, fitted to
// file when one is given.
export async function switchInstrumentOn(page, settings, file) {
    await page.evaluate(
        (settings, file) => {
            const config = {settings};
            if (file) {
                config.file = Uint8Array.from(atob(file), (c) => c.charCodeAt(0));
            }
            window.__orventTest.navigator.configure(config);
        },
        settings,
        file ? Buffer.from(file).toString('base64') : null
    );
}

// When the page first went hidden (window.__orventTest.hiddenAt) and how late three of its
// own 20 ms timers then came (window.__orventTest.ownTimers): near a second when the browser
// throttles a hidden tab, which is what the core's own timer worker must not suffer.
export async function timeOwnTimersWhenHidden(page) {
    await page.evaluate(() => {
        const t = window.__orventTest;
        t.ownTimers = [];
        document.addEventListener('visibilitychange', () => {
            if (!document.hidden || t.hiddenAt) {
                return;
            }
            t.hiddenAt = performance.now();
            let last = performance.now();
            const tick = () => {
                const now = performance.now();
                t.ownTimers.push(now - last);
                last = now;
                if (t.ownTimers.length < 3) {
                    setTimeout(tick, 20);
                }
            };
            setTimeout(tick, 20);
        });
    });
}

export function sleep(ms) {
    return new Promise((r) => setTimeout(r, ms));
}
