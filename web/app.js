// The updater page's own script: the page's controls, the transport choice with the
// browser's choosers, the file input and the drop, the Stop dialog and the message box.
// What the page shows in its details, status and log rows, and what it enables, the core
// tells it (web/page_core.cpp through Module.orventPage); the texts are the product's own
// (texts.json, taken from its resources at build time).
//
// For tests and scripts, window.orventPage:
//   ready            a promise, settled once the page takes a file
//   loadFile(file)   loads a File as the file input does; a promise of 1 (the instrument
//                    answered) or 0
//   loadBytes(name, bytes)  the same for bytes
//   idle()           a promise, settled when nothing runs: no load, no update
//   state()          { uiState, updateEnabled, transferActive, loading, lastResult, lastText }
//   core, language, texts
'use strict';

(function () {
  // The core's values (web/page_core.cpp, update/device_type.h, update/update_observer.h,
  // midi/midi_rawmidi.h).
  const AREA_DETAILS = 0;
  const AREA_STATUS = 1;
  const AREA_LOG = 2;
  const UI_IDLE = 0;
  const UI_READY = 2;
  const UI_UPDATING = 3;
  const DEVICE_TYPE_SERIAL = 0;
  const DEVICE_TYPE_MIDI = 1;
  const DEVICE_TYPE_USB_BULK = 2;
  const RAWMIDI_INPUT = 1;
  const RAWMIDI_OUTPUT = 2;
  const LOG_ROWS = 16;
  // Where the chosen file goes in the core's in-memory file system.
  const FILES = '/vsb';
  // A path of the core holds 259 bytes.
  const NAME_LIMIT = 200;
  // How long a change of the transport settles before the file is loaded again.
  const RELOAD_DELAY_MS = 300;

  const $ = (id) => document.getElementById(id);

  const state = {
    uiState: UI_IDLE,
    updateEnabled: 0,
    transferActive: 0,
    loading: false,
    aborting: false,
    fileName: '',
    file: null,
    reloadTimer: 0,
    lastResult: null,
    lastText: '',
    rowElement: null,
    messages: [],
    idleWaiters: [],
  };
  const midi = { access: null, error: null };
  const vi = { target: null, record: null, access: null };
  let core = null;
  let texts = null;

  // ---- What the core tells the page ----

  const rows = { [AREA_DETAILS]: [], [AREA_STATUS]: [], [AREA_LOG]: [] };

  const hooks = {
    row(area, row) {
      const element = rows[area][row];
      element.replaceChildren();
      state.rowElement = element;
    },
    segment(x, bold, alignRight, text) {
      const span = document.createElement('span');
      span.textContent = text;
      if (bold) {
        span.className = 'bold';
      }
      // Where the window draws it: from x, or ending at x.
      if (alignRight) {
        span.style.right = 'calc(100% - ' + x + 'px)';
      } else if (x > 0) {
        span.style.left = x + 'px';
      }
      state.rowElement.appendChild(span);
    },
    progress(range, position) {
      const bar = $('progress');
      bar.max = range > 0 ? range : 1;
      bar.value = position;
    },
    transferActive(active) {
      state.transferActive = active;
      renderControls();
    },
    // The run's last word; the window ends it when the update thread has gone, which the
    // queue gives: PageUpdateEnd runs after the run's job.
    finished(result, text) {
      state.transferActive = 0;
      call('PageUpdateEnd', ['number'], [result]).then(() => {
        state.lastResult = result;
        state.lastText = text;
        state.aborting = false;
        closeStopDialog();
        renderControls();
        settle();
      });
    },
    message(text) {
      state.messages.push(text);
      showMessage();
    },
    controls(uiState, updateEnabled) {
      state.uiState = uiState;
      state.updateEnabled = updateEnabled;
      renderControls();
      settle();
    },
  };

  function call(name, types, args) {
    return core.orventCall(name, 'number', types, args);
  }

  // ---- Texts ----

  function pick(language) {
    const en = texts.en;
    const chosen = texts[language] || en;
    const merged = {};
    for (const kind of Object.keys(en)) {
      merged[kind] = Object.assign({}, en[kind], chosen[kind] || {});
    }
    return merged;
  }

  // A menu item's text: "&Open...\tCtrl+O" is the label "Open...", the access key O and
  // the shortcut Ctrl+O.
  function menuItem(text) {
    const [label, shortcut] = text.split('\t');
    const mnemonic = /&(.)/.exec(label);
    return { label: label.replace(/&(.)/, '$1'), key: mnemonic ? mnemonic[1].toLowerCase() : '', shortcut: shortcut || '' };
  }

  function setText(id, text) {
    $(id).textContent = text;
  }

  function applyTexts(t) {
    const config = t.dialogs.CONFIG_DIALOG;
    const stop = t.dialogs.STOP_DIALOG;
    document.title = t.version.ProductName;
    setText('title', t.version.ProductName);
    for (const [id, item] of [['open', t.menu.IDM_OPEN], ['stop', t.menu.IDM_STOP]]) {
      const m = menuItem(item);
      setText(id, m.label);
      $(id).accessKey = m.key;
      if (m.shortcut) {
        $(id).setAttribute('aria-keyshortcuts', m.shortcut.replace('Ctrl', 'Control'));
        $(id).title = m.shortcut;
      }
    }
    setText('update', t.window.updateButton);
    setText('transport-legend', config.labels[0]);
    setText('transport-serial-text', config.IDC_USE_SERIAL);
    setText('transport-midi-text', config.IDC_USE_MIDI);
    setText('transport-usb-text', config.IDC_USE_USB);
    setText('transport-vi-text', t.page.virtualInstrument);
    setText('midi-out-label', config.IDC_OUT_PORT_LABEL);
    setText('midi-in-label', config.IDC_IN_PORT_LABEL);
    setText('serial-port-label', config.IDC_PORT_GROUP);
    setText('baud-label', config.IDC_BAUDRATE_GROUP);
    setText('baud-38400-text', config.IDC_BAUD_38400);
    setText('baud-57600-text', config.IDC_BAUD_57600);
    setText('serial-choose', t.page.choosePort);
    setText('usb-choose', t.page.choosePort);
    $('serial-choose').setAttribute('aria-describedby', 'serial-port-label serial-port-name');
    $('usb-choose').setAttribute('aria-describedby', 'usb-device-name');
    setText('serial-port-name', t.page.noPort);
    setText('usb-device-name', t.page.noPort);
    const input = $('file-input');
    input.setAttribute('aria-label', t.window.openFileTitle);
    input.accept = t.window.fileFilters[0][1].replace(/^\*/, '');
    setText('drop-hint', t.page.dropHint);
    setText('stop-caption', stop.caption);
    stop.labels.forEach((label, i) => setText('stop-label-' + i, label));
    setText('stop-abort', stop.IDC_STOP_ABORT);
    setText('stop-continue', stop.IDC_STOP_CONTINUE);
    setText('message-ok', t.dialogs.ABOUTDIALOG.IDOK);
  }

  // ---- Controls ----

  function transport() {
    return document.querySelector('input[name="transport"]:checked').value;
  }

  function renderControls() {
    const ready = core !== null;
    const updating = state.uiState === UI_UPDATING;
    const locked = !ready || updating || state.loading;
    $('open').disabled = locked;
    $('update').disabled = locked || state.uiState !== UI_READY || !state.updateEnabled;
    $('stop').disabled = !updating || !state.transferActive;
    for (const element of document.querySelectorAll('#transport input, #transport select, #transport button')) {
      element.disabled = locked;
    }
    const chosen = transport();
    $('ports-midi').hidden = chosen !== 'midi';
    $('ports-serial').hidden = chosen !== 'serial';
    $('ports-usb').hidden = chosen !== 'usb';
  }

  function settle() {
    if (state.loading || state.uiState === UI_UPDATING || !core || !core.orventIdle()) {
      return;
    }
    const waiters = state.idleWaiters;
    state.idleWaiters = [];
    waiters.forEach((resolve) => resolve());
  }

  function showMessage() {
    const box = $('message');
    if (box.open || state.messages.length === 0) {
      return;
    }
    setText('message-text', state.messages.shift());
    box.showModal();
  }

  // ---- The transports ----

  function problemText(error) {
    const name = error && error.name ? error.name : String(error || '');
    return name === 'NotAllowedError' || name === 'SecurityError' ? 'midiRefused' : 'midiMissing';
  }

  // The browser's MIDI access with System Exclusive; null with midi.error set when the
  // browser refused it or has no Web MIDI. A refusal is asked again at the next load.
  async function browserMidiAccess() {
    if (midi.access) {
      return midi.access;
    }
    if (typeof navigator.requestMIDIAccess !== 'function') {
      midi.error = 'NotSupportedError';
      return null;
    }
    try {
      midi.access = await navigator.requestMIDIAccess({ sysex: true });
      midi.error = null;
    } catch (error) {
      midi.error = error;
    }
    return midi.access;
  }

  function handMidiAccess(access, error) {
    core.orventMidiAccess = access || null;
    core.orventMidiAccessError = access ? null : error;
  }

  // The ports of the access handed over, as the core lists them.
  function midiPorts() {
    const ports = [];
    const count = core._PageMidiPortCount();
    for (let i = 0; i < count; i++) {
      ports.push({ name: core.UTF8ToString(core._PageMidiPortName(i)), ways: core._PageMidiPortWays(i) });
    }
    return ports;
  }

  function fillSelect(select, names, preferred) {
    const keep = select.value;
    select.replaceChildren();
    for (const name of names) {
      const option = document.createElement('option');
      option.value = name;
      option.textContent = name;
      select.appendChild(option);
    }
    if (names.includes(keep)) {
      select.value = keep;
    } else if (names.includes(preferred)) {
      select.value = preferred;
    }
  }

  // Fills "Out Port" and "In Port"; a port that goes both ways is the first choice for both.
  function showMidiPorts(ports) {
    const outputs = ports.filter((p) => p.ways & RAWMIDI_OUTPUT).map((p) => p.name);
    const inputs = ports.filter((p) => p.ways & RAWMIDI_INPUT).map((p) => p.name);
    const both = ports.find((p) => (p.ways & RAWMIDI_INPUT) && (p.ways & RAWMIDI_OUTPUT));
    fillSelect($('midi-out'), outputs, both ? both.name : outputs[0]);
    fillSelect($('midi-in'), inputs, both ? both.name : inputs[0]);
  }

  async function refreshMidiPorts() {
    if (state.loading || state.uiState === UI_UPDATING) {
      return;
    }
    const access = await browserMidiAccess();
    if (access && !state.loading && state.uiState !== UI_UPDATING) {
      handMidiAccess(access, null);
      showMidiPorts(midiPorts());
    }
  }

  function loadScript(src) {
    return new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = src;
      script.onload = resolve;
      script.onerror = () => reject(new Error(src));
      document.head.appendChild(script);
    });
  }

  // The virtual instrument, fitted to the file, behind a MIDI stand-in of its own.
  async function virtualInstrumentAccess(bytes) {
    if (vi.record) {
      vi.record.configure({ file: bytes });
      return vi.access;
    }
    if (typeof window.OrventVirtualInstrument !== 'function') {
      await loadScript('orvent-vi.js');
    }
    if (!window.OrventStandins) {
      await loadScript('standins.js');
    }
    const module = await window.OrventVirtualInstrument({});
    const target = {};
    // Late replies on the core's timer, which keeps its pace in a hidden tab.
    const timer = (callback, ms) => core.orventDelay(ms).then(callback);
    vi.record = window.OrventStandins.install(target, module, { file: bytes, recordSent: false, timer });
    vi.access = await target.requestMIDIAccess({ sysex: true });
    return vi.access;
  }

  function portInfo(info) {
    const hex = (n) => n.toString(16).toUpperCase().padStart(4, '0');
    return info && info.usbVendorId !== undefined ? ' (' + hex(info.usbVendorId) + ':' + hex(info.usbProductId || 0) + ')' : '';
  }

  function showSerialPort(port) {
    core.orventSerialPort = port;
    const t = pick(page.language);
    setText('serial-port-name', t.dialogs.CONFIG_DIALOG.IDC_COM1 + portInfo(port.getInfo ? port.getInfo() : null));
  }

  function showUsbDevice(device) {
    core.orventUsbDevice = device;
    setText('usb-device-name', device.productName || portInfo({ usbVendorId: device.vendorId, usbProductId: device.productId }).trim());
  }

  function chooserFailed(error) {
    hooks.message(page.texts.page[error && error.name === 'NotFoundError' ? 'chooserCancelled' : 'deviceRefused']);
  }

  async function chooseSerialPort() {
    if (!navigator.serial) {
      hooks.message(page.texts.page.serialMissing);
      return;
    }
    try {
      showSerialPort(await navigator.serial.requestPort());
      reloadSoon();
    } catch (error) {
      chooserFailed(error);
    }
  }

  async function chooseUsbDevice() {
    if (!navigator.usb) {
      hooks.message(page.texts.page.usbMissing);
      return;
    }
    try {
      const filter = { vendorId: core._PageUsbVendorId(), productId: core._PageUsbProductId() };
      showUsbDevice(await navigator.usb.requestDevice({ filters: [filter] }));
      reloadSoon();
    } catch (error) {
      chooserFailed(error);
    }
  }

  // What the core opens for the chosen transport, once the browser's objects are handed
  // over; null when the browser gave none (the message is shown).
  async function prepareDevice(bytes) {
    const t = page.texts.page;
    const chosen = transport();
    if (chosen === 'serial') {
      if (!navigator.serial) {
        hooks.message(t.serialMissing);
        return null;
      }
      if (!core.orventSerialPort) {
        hooks.message(t.chooserCancelled);
        return null;
      }
      const baud = Number(document.querySelector('input[name="baud"]:checked').value);
      return { type: DEVICE_TYPE_SERIAL, output: '', input: '', baud };
    }
    if (chosen === 'usb') {
      if (!navigator.usb) {
        hooks.message(t.usbMissing);
        return null;
      }
      return { type: DEVICE_TYPE_USB_BULK, output: '', input: '', baud: 0 };
    }
    if (chosen === 'vi') {
      let access = null;
      try {
        access = await virtualInstrumentAccess(bytes);
      } catch (error) {
        console.error(error);
        hooks.message(t.instrumentMissing);
        return null;
      }
      handMidiAccess(access, null);
      const ports = midiPorts();
      const output = ports.find((p) => p.ways & RAWMIDI_OUTPUT);
      const input = ports.find((p) => p.ways & RAWMIDI_INPUT);
      return { type: DEVICE_TYPE_MIDI, output: output ? output.name : '', input: input ? input.name : '', baud: 0 };
    }
    const access = await browserMidiAccess();
    handMidiAccess(access, midi.error);
    if (!access) {
      hooks.message(t[problemText(midi.error)]);
      return null;
    }
    showMidiPorts(midiPorts());
    return { type: DEVICE_TYPE_MIDI, output: $('midi-out').value, input: $('midi-in').value, baud: 0 };
  }

  // ---- Loading a file ----

  function writeFile(name, bytes) {
    if (state.fileName && state.fileName !== name) {
      try {
        core.FS.unlink(state.fileName);
      } catch (e) {
        // already gone
      }
    }
    core.FS.writeFile(name, bytes);
    state.fileName = name;
  }

  function fileNameOf(name) {
    const plain = String(name || 'system.vsb').replace(/[\/\\\0]/g, '_');
    return plain.length > NAME_LIMIT ? plain.slice(plain.length - NAME_LIMIT) : plain;
  }

  async function loadFile(file) {
    await page.ready;
    if (!core || state.loading || state.uiState === UI_UPDATING) {
      return 0;
    }
    clearTimeout(state.reloadTimer);
    state.loading = true;
    renderControls();
    try {
      const bytes = new Uint8Array(await file.arrayBuffer());
      const name = fileNameOf(file.name);
      state.file = file;
      writeFile(name, bytes);
      if (!(await call('PageAnalyzeFile', ['string'], [name]))) {
        return 0;
      }
      const device = await prepareDevice(bytes);
      if (!device) {
        return 0;
      }
      return await call('PageOpenAndInquire', ['string', 'number', 'string', 'string', 'number'],
                        [name, device.type, device.output, device.input, device.baud]);
    } finally {
      state.loading = false;
      renderControls();
      settle();
    }
  }

  // Another transport or port, as the Config dialog's OK, loads the file again, so that the
  // update offered is always the one over the choice shown. A choice still without its
  // port waits for the chooser; arrowing through the choices loads once, at the last.
  function reloadSoon() {
    clearTimeout(state.reloadTimer);
    const file = state.file;
    if (!file) {
      return;
    }
    state.reloadTimer = setTimeout(() => {
      const chosen = transport();
      const waiting = (chosen === 'serial' && !core.orventSerialPort) || (chosen === 'usb' && !core.orventUsbDevice);
      if (file === state.file && !waiting && !state.loading && state.uiState !== UI_UPDATING) {
        loadFile(file);
      }
    }, RELOAD_DELAY_MS);
  }

  // ---- The Stop dialog ----

  function openStopDialog() {
    if (state.uiState !== UI_UPDATING || !state.transferActive) {
      return;
    }
    core._PagePause();
    $('stop-abort').disabled = false;
    $('stop-continue').disabled = false;
    $('stop-dialog').showModal();
    $('stop-continue').focus();
  }

  function closeStopDialog() {
    if ($('stop-dialog').open) {
      $('stop-dialog').close();
    }
  }

  function stopContinue() {
    if (state.aborting) {
      return;
    }
    core._PageContinue();
    closeStopDialog();
  }

  // The run ends itself once the abort reaches it, and says so (finished); the dialog
  // stays until then, as the window's waits for the update thread's end.
  function stopAbort() {
    state.aborting = true;
    $('stop-abort').disabled = true;
    $('stop-continue').disabled = true;
    if (core._PageAbort()) {
      state.aborting = false;
      closeStopDialog();
    }
  }

  // ---- Wiring ----

  function wire() {
    const input = $('file-input');
    $('open').addEventListener('click', () => input.click());
    input.addEventListener('change', () => {
      const file = input.files[0];
      input.value = '';
      if (file) {
        loadFile(file);
      }
    });
    // As in the window's user modes, the file is opened again for another update.
    $('update').addEventListener('click', () => {
      if (!$('update').disabled) {
        state.file = null;
        call('PageUpdate', [], []);
      }
    });
    $('stop').addEventListener('click', openStopDialog);
    $('stop-continue').addEventListener('click', stopContinue);
    $('stop-abort').addEventListener('click', stopAbort);
    $('stop-dialog').addEventListener('cancel', (event) => {
      event.preventDefault();
      stopContinue();
    });
    $('message-ok').addEventListener('click', () => {
      $('message').close();
    });
    $('message').addEventListener('close', showMessage);
    for (const radio of document.querySelectorAll('input[name="transport"]')) {
      radio.addEventListener('change', () => {
        renderControls();
        if (transport() === 'midi' && midi.access) {
          refreshMidiPorts();
        }
        reloadSoon();
      });
    }
    for (const id of ['midi-out', 'midi-in']) {
      $(id).addEventListener('focus', refreshMidiPorts);
      $(id).addEventListener('change', reloadSoon);
    }
    for (const radio of document.querySelectorAll('input[name="baud"]')) {
      radio.addEventListener('change', reloadSoon);
    }
    $('serial-choose').addEventListener('click', chooseSerialPort);
    $('usb-choose').addEventListener('click', chooseUsbDevice);

    document.addEventListener('keydown', (event) => {
      if ((event.ctrlKey || event.metaKey) && !event.shiftKey && !event.altKey && event.key.toLowerCase() === 'o') {
        event.preventDefault();
        if (!$('open').disabled) {
          input.click();
        }
      }
    });

    // The whole page takes a dropped file: a file dropped beside the window must not make
    // the browser leave the page for it.
    document.addEventListener('dragover', (event) => {
      event.preventDefault();
      const open = !$('open').disabled;
      event.dataTransfer.dropEffect = open ? 'copy' : 'none';
      $('client').classList.toggle('dragging', open);
    });
    document.addEventListener('dragleave', (event) => {
      if (!event.relatedTarget) {
        $('client').classList.remove('dragging');
      }
    });
    document.addEventListener('drop', (event) => {
      event.preventDefault();
      $('client').classList.remove('dragging');
      const file = event.dataTransfer.files[0];
      if (file && !$('open').disabled) {
        loadFile(file);
      }
    });

    // Leaving the page ends the transfer as pulling the cable would.
    window.addEventListener('beforeunload', (event) => {
      if (state.uiState === UI_UPDATING) {
        event.preventDefault();
        event.returnValue = '';
      }
    });
  }

  function makeLogRows() {
    for (let i = 0; i < 4; i++) {
      rows[AREA_DETAILS].push($('details-' + i));
    }
    for (let i = 0; i < 2; i++) {
      rows[AREA_STATUS].push($('status-' + i));
    }
    const log = $('log');
    for (let i = 0; i < LOG_ROWS; i++) {
      const row = document.createElement('div');
      row.className = 'row';
      row.id = 'log-' + i;
      log.appendChild(row);
      rows[AREA_LOG].push(row);
    }
  }

  // A serial port or USB device the user allowed on an earlier visit is there at once.
  async function takeGrantedDevices() {
    try {
      if (navigator.serial && !core.orventSerialPort) {
        const ports = await navigator.serial.getPorts();
        if (ports.length > 0) {
          showSerialPort(ports[0]);
        }
      }
      if (navigator.usb && !core.orventUsbDevice) {
        const filter = { vendorId: core._PageUsbVendorId(), productId: core._PageUsbProductId() };
        const devices = (await navigator.usb.getDevices()).filter((d) => d.vendorId === filter.vendorId && d.productId === filter.productId);
        if (devices.length > 0) {
          showUsbDevice(devices[0]);
        }
      }
    } catch (e) {
      // nothing granted
    }
  }

  async function start() {
    makeLogRows();
    wire();
    const language = /^ja\b/i.test(navigator.language || '') ? 'ja' : 'en';
    page.language = language;
    document.documentElement.lang = language;
    const loadTexts = fetch('texts.json').then((response) => response.json());
    let made;
    try {
      if (typeof window.OrventCore !== 'function') {
        throw new Error('orvent.js');
      }
      made = window.OrventCore({ orventPage: hooks });
    } catch (error) {
      made = Promise.reject(error);
    }
    texts = await loadTexts;
    const t = pick(language);
    page.texts = t;
    applyTexts(t);
    try {
      core = await made;
    } catch (error) {
      console.error(error);
      hooks.message(t.page.coreMissing);
      throw error;
    }
    page.core = core;
    core.FS.mkdir(FILES);
    core.FS.chdir(FILES);
    await call('PageStart', [], []);
    await takeGrantedDevices();
    renderControls();
    $('window').removeAttribute('aria-busy');
  }

  const page = {
    ready: null,
    core: null,
    language: 'en',
    texts: null,
    loadFile,
    loadBytes(name, bytes) {
      return loadFile(new File([bytes], name));
    },
    idle() {
      return new Promise((resolve) => {
        state.idleWaiters.push(resolve);
        settle();
      });
    },
    state() {
      return {
        uiState: state.uiState,
        updateEnabled: state.updateEnabled,
        transferActive: state.transferActive,
        loading: state.loading,
        lastResult: state.lastResult,
        lastText: state.lastText,
      };
    },
  };
  window.orventPage = page;
  page.ready = start();
})();
