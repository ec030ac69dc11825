// The maker's USB bulk devices in the browser, through WebUSB. What the Windows driver
// offers is played as the libusb half plays it:
//   - an interface path is "webusb:N", one for every device of our vendor id the page may
//     use: Module.orventUsbDevice (the USBDevice the page got from
//     navigator.usb.requestDevice(), put on the module before the open) first, then the
//     others navigator.usb.getDevices() gives; N is a number the half gives each device for
//     as long as the page lives, so a path read from one listing still names its device;
//   - the pipe file "<path>\dpipeNN" is endpoint descriptor NN of the configuration, counted
//     as the device manager counts them; opening it claims its interface;
//   - the descriptor requests are GET_DESCRIPTOR control transfers, the check request asks
//     whether the device is still open (a device that went away is not), the abort request
//     ends the reads waiting on the device's pipes;
//   - pipe reads and writes are transferIn and transferOut without a time-out: the Windows
//     pipe waits until the device answers or the read is aborted, and the transport relies
//     on that. A read takes one packet; what the caller does not take waits for its next
//     read without suspending.
// Every call that has to wait for the browser (the listing, opening, descriptor requests,
// transfers) suspends the caller's stack (EM_ASYNC_JS); the check, the abort and the
// closes do not. A close is not waited for: the next open of the device waits until it is
// done. When a call fails, Module.orventUsbProblem holds the name of the browser's error
// (SecurityError: the system keeps the device from the browser; NotFoundError: it went
// away; NetworkError: a transfer failed); "" after an open that went well.
#include "transports/usb_bulk_driver.h"

#include "platform/text.h"
#include "transports/usb_bulk_descriptors.h"

#include <emscripten.h>

#include <cstring>

namespace {

const char kPathPrefix[] = "webusb:";
const char kPipeSuffix[] = "\\dpipe";
const int kConfigRoom = 1024;
// The largest bulk packet a read asks for (SuperSpeed), and what a packet size of 0 or
// beyond it stands for.
const int kPacketRoom = 1024;
const int kDefaultPacketSize = 64;
const uint8_t kDescriptorDevice = 1;
const uint8_t kDescriptorConfig = 2;

} // namespace

// The script side is JavaScript, which the formatter would take for C++.
// clang-format off
// The half's own state lives on the module object: the devices by number, and the open
// handles (a device, or a pipe of one) by handle value.
EM_JS(void, UsbWebJsSetUp, (void), {
    if (Module['orventUsbHalf']) {
        return;
    }
    var s = {numbers : new Map(), next : 0, byNumber : [], records : [], files : [],
             nextHandle : 1};
    s.note = function(problem) { Module['orventUsbProblem'] = problem; };
    s.note("");
    s.failed = function(error) {
        s.note(String(error && error.name || "Error"));
        return -1;
    };
    s.number = function(device) {
        var number = s.numbers.get(device);
        if (number === undefined) {
            number = s.next++;
            s.numbers.set(device, number);
            s.byNumber[number] = device;
        }
        return number;
    };
    s.add = function(file) {
        var handle = s.nextHandle++;
        s.files[handle] = file;
        return handle;
    };
    Module['orventUsbHalf'] = s;
});

// Only one stack can be suspended at a time: a call that would suspend while another stack
// is (a call from the page's script during an update) fails at once instead.
EM_JS(int, UsbWebJsMaySuspend, (void), {
    return typeof Asyncify === "undefined" || !Asyncify.currData ? 1 : 0;
});

// Takes a snapshot of the devices of vendorId the page may use; their count.
EM_ASYNC_JS(int, UsbWebJsList, (int vendorId), {
    var s = Module['orventUsbHalf'];
    var devices = [];
    var chosen = Module['orventUsbDevice'];
    if (chosen) {
        devices.push(chosen);
    }
    if (typeof navigator !== 'undefined' && navigator.usb &&
        typeof navigator.usb.getDevices === 'function') {
        try {
            (await navigator.usb.getDevices()).forEach(function(device) {
                if (devices.indexOf(device) < 0) {
                    devices.push(device);
                }
            });
        } catch (error) {
        }
    }
    s.listed = devices.filter(function(device) { return device.vendorId === vendorId; })
                   .map(function(device) { return s.number(device); });
    return s.listed.length;
});

EM_JS(int, UsbWebJsListed, (int index), { return Module['orventUsbHalf'].listed[index]; });

// Opens device `number` (selecting its first configuration when none is): a handle, or -1.
EM_ASYNC_JS(int, UsbWebJsOpenDevice, (int number), {
    var s = Module['orventUsbHalf'];
    var device = s.byNumber[number];
    if (!device) {
        s.note("NotFoundError");
        return -1;
    }
    var record = s.records[number];
    if (!record) {
        record = s.records[number] = {device : device, users : 0, claimed : {}, closing : null};
    }
    if (record.closing) {
        await record.closing;
    }
    try {
        if (!device.opened) {
            await device.open();
        }
        if (!device.configuration) {
            await device.selectConfiguration(device.configurations[0].configurationValue);
        }
    } catch (error) {
        return s.failed(error);
    }
    record.users++;
    s.note("");
    return s.add({record : record, endpoint : -1});
});

// Opens a pipe of the device held by deviceHandle: claims the interface, gives a handle.
EM_ASYNC_JS(int, UsbWebJsOpenPipe,
            (int deviceHandle, int address, int packetSize, int interfaceNumber, int alternate), {
    var s = Module['orventUsbHalf'];
    var held = s.files[deviceHandle];
    if (!held) {
        return -1;
    }
    var record = held.record;
    if (!record.claimed[interfaceNumber]) {
        try {
            await record.device.claimInterface(interfaceNumber);
            if (alternate !== 0) {
                await record.device.selectAlternateInterface(interfaceNumber, alternate);
            }
        } catch (error) {
            return s.failed(error);
        }
        record.claimed[interfaceNumber] = true;
    }
    record.users++;
    return s.add({record : record, endpoint : address, packetSize : packetSize,
                  pending : null, staged : null, abort : null});
});

// A standard GET_DESCRIPTOR of `type` into buffer: the bytes received, or -1.
EM_ASYNC_JS(int, UsbWebJsDescriptor, (int handle, int type, unsigned char* buffer, int size), {
    var s = Module['orventUsbHalf'];
    var file = s.files[handle];
    if (!file || file.endpoint >= 0) {
        return -1;
    }
    try {
        var got = await file.record.device.controlTransferIn(
            {requestType : "standard", recipient : "device", request : 6, value : type << 8,
             index : 0}, size);
        if (got.status !== "ok" || !got.data) {
            return -1;
        }
        var n = Math.min(got.data.byteLength, size);
        HEAPU8.set(new Uint8Array(got.data.buffer, got.data.byteOffset, n), buffer);
        return n;
    } catch (error) {
        return s.failed(error);
    }
});

// 1 while the device behind a device handle is open, 0 when it is not (it went away), -1
// for no such handle.
EM_JS(int, UsbWebJsConnected, (int handle), {
    var file = Module['orventUsbHalf'].files[handle];
    if (!file || file.endpoint >= 0) {
        return -1;
    }
    return file.record.device.opened ? 1 : 0;
});

// Ends the reads waiting on every pipe of the device behind a device handle.
EM_JS(int, UsbWebJsAbort, (int handle), {
    var s = Module['orventUsbHalf'];
    var held = s.files[handle];
    if (!held || held.endpoint >= 0) {
        return -1;
    }
    s.files.forEach(function(file) {
        if (file && file.record === held.record && file.abort) {
            file.abort();
        }
    });
    return 1;
});

// What the last packet left for the reader, up to count bytes: the count; -2 when nothing
// is left; -1 for a handle that is no IN pipe.
EM_JS(int, UsbWebJsTakeStaged, (int handle, unsigned char* buffer, int count), {
    var file = Module['orventUsbHalf'].files[handle];
    if (!file || file.endpoint < 0 || (file.endpoint & 0x80) === 0) {
        return -1;
    }
    if (!file.staged) {
        return count === 0 ? 0 : -2;
    }
    var n = Math.min(count, file.staged.length);
    HEAPU8.set(file.staged.subarray(0, n), buffer);
    file.staged = n < file.staged.length ? file.staged.subarray(n) : null;
    return n;
});

// One packet from an IN pipe: the bytes the caller takes, or -1. An aborted read leaves
// its transfer waiting, and the next read takes what it brings.
EM_ASYNC_JS(int, UsbWebJsTransferIn, (int handle, unsigned char* buffer, int count), {
    var s = Module['orventUsbHalf'];
    var file = s.files[handle];
    if (!file || file.endpoint < 0 || (file.endpoint & 0x80) === 0) {
        return -1;
    }
    var device = file.record.device;
    var number = file.endpoint & 0x0F;
    if (!file.pending) {
        file.pending = device.transferIn(number, file.packetSize)
                           .then(function(result) { return {result : result}; },
                                 function(error) { return {error : error}; });
    }
    var got = await Promise.race([
        file.pending, new Promise(function(resolve) { file.abort = resolve; })
    ]);
    file.abort = null;
    if (!got || s.files[handle] !== file) {
        return -1;
    }
    file.pending = null;
    if (got.error) {
        return s.failed(got.error);
    }
    if (got.result.status === "stall") {
        // A halted pipe refuses every later transfer until the halt is cleared.
        try {
            await device.clearHalt("in", number);
        } catch (error) {
        }
        return -1;
    }
    if (got.result.status !== "ok") {
        return -1;
    }
    var data = got.result.data;
    var bytes = data ? new Uint8Array(data.buffer, data.byteOffset, data.byteLength)
                     : new Uint8Array(0);
    var n = Math.min(count, bytes.length);
    HEAPU8.set(bytes.subarray(0, n), buffer);
    file.staged = n < bytes.length ? bytes.slice(n) : null;
    return n;
});

// The bytes an OUT pipe took, or -1.
EM_ASYNC_JS(int, UsbWebJsTransferOut, (int handle, const unsigned char* buffer, int count), {
    var s = Module['orventUsbHalf'];
    var file = s.files[handle];
    if (!file || file.endpoint < 0 || (file.endpoint & 0x80) !== 0) {
        return -1;
    }
    var device = file.record.device;
    var number = file.endpoint & 0x0F;
    try {
        var result = await device.transferOut(number, HEAPU8.slice(buffer, buffer + count));
        if (result.status === "stall") {
            try {
                await device.clearHalt("out", number);
            } catch (error) {
            }
            return -1;
        }
        return result.status === "ok" ? result.bytesWritten : -1;
    } catch (error) {
        return s.failed(error);
    }
});

EM_JS(void, UsbWebJsClose, (int handle), {
    var s = Module['orventUsbHalf'];
    var file = s.files[handle];
    if (!file) {
        return;
    }
    delete s.files[handle];
    if (file.abort) {
        file.abort();
    }
    var record = file.record;
    if (--record.users > 0) {
        return;
    }
    // The claims go with the device's close; a transfer still waiting fails with it.
    record.claimed = {};
    record.closing = Promise.resolve()
                         .then(function() { return record.device.close(); })
                         .catch(function() {})
                         .then(function() { record.closing = null; });
});
// clang-format on

namespace {

// Device number and pipe number (-1 for the device itself) of a path this half hands out;
// 0 for any other path.
int ParsePath(const char* path, int* number, int* pipe) {
    if (strncmp(path, kPathPrefix, sizeof kPathPrefix - 1) != 0) {
        return 0;
    }
    const char* p = path + sizeof kPathPrefix - 1;
    int digits = 0;
    *number = 0;
    for (; *p >= '0' && *p <= '9' && digits < 7; p++, digits++) {
        *number = *number * 10 + (*p - '0');
    }
    if (digits == 0) {
        return 0;
    }
    *pipe = -1;
    if (*p == '\0') {
        return 1;
    }
    if (strncmp(p, kPipeSuffix, sizeof kPipeSuffix - 1) != 0) {
        return 0;
    }
    p += sizeof kPipeSuffix - 1;
    int value = 0;
    for (digits = 0; *p >= '0' && *p <= '9' && digits < 3; p++, digits++) {
        value = value * 10 + (*p - '0');
    }
    if (digits == 0 || *p != '\0') {
        return 0;
    }
    *pipe = value;
    return 1;
}

UsbHandle OpenPipe(int number, int pipe) {
    const int device = UsbWebJsOpenDevice(number);
    if (device <= 0) {
        return USB_HANDLE_NONE;
    }
    unsigned char config[kConfigRoom];
    const int received = UsbWebJsDescriptor(device, kDescriptorConfig, config, kConfigRoom);
    UsbPipeEndpoint e = {0, 0, 0, 0};
    int file = -1;
    if (received > 0 && UsbFindPipeEndpoint(config, received, pipe, &e)) {
        const int packetSize = e.maxPacketSize > 0 && e.maxPacketSize <= kPacketRoom
                                   ? e.maxPacketSize
                                   : kDefaultPacketSize;
        file = UsbWebJsOpenPipe(device, e.address, packetSize, e.interfaceNumber, e.alternate);
    }
    // The pipe holds the device itself while it is open.
    UsbWebJsClose(device);
    return file > 0 ? (UsbHandle)file : USB_HANDLE_NONE;
}

} // namespace

// The devices of the listing the walk over the interfaces took at its index 0; the later
// indexes read the same list.
static int s_listed = 0;

int UsbDriverInterfacePath(int index, char* path, size_t size) {
    if (index < 0) {
        return USB_DRIVER_PATH_END;
    }
    UsbWebJsSetUp();
    if (index == 0) {
        s_listed = UsbWebJsMaySuspend() ? UsbWebJsList(DEFAULT_VENDOR_ID) : 0;
    }
    if (index >= s_listed) {
        return USB_DRIVER_PATH_END;
    }
    char own[32];
    TextFormat(own, sizeof own, "%s%d", kPathPrefix, UsbWebJsListed(index));
    if (strlen(own) >= size) {
        return USB_DRIVER_PATH_SKIP;
    }
    TextCopy(path, size, own);
    return USB_DRIVER_PATH_OK;
}

UsbHandle UsbDriverOpen(const char* path) {
    int number = 0;
    int pipe = -1;
    if (path == nullptr || !ParsePath(path, &number, &pipe)) {
        return USB_HANDLE_NONE;
    }
    UsbWebJsSetUp();
    if (!UsbWebJsMaySuspend()) {
        return USB_HANDLE_NONE;
    }
    if (pipe >= 0) {
        return OpenPipe(number, pipe);
    }
    const int device = UsbWebJsOpenDevice(number);
    return device > 0 ? (UsbHandle)device : USB_HANDLE_NONE;
}

int UsbDriverRequest(UsbHandle device, uint32_t code, void* buffer, uint32_t inSize,
                     uint32_t outSize, uint32_t* returned) {
    *returned = 0;
    if (device == USB_HANDLE_NONE) {
        return 0;
    }
    UsbWebJsSetUp();
    switch (code) {
    case IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR:
    case IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR: {
        if (buffer == nullptr || outSize == 0 || !UsbWebJsMaySuspend()) {
            return 0;
        }
        const uint8_t type =
            code == IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR ? kDescriptorDevice : kDescriptorConfig;
        const int room = outSize < 0xFFFF ? (int)outSize : 0xFFFF;
        const int n = UsbWebJsDescriptor((int)device, type, (unsigned char*)buffer, room);
        if (n < 0) {
            return 0;
        }
        *returned = (uint32_t)n;
        return 1;
    }
    case IOCTL_USBBULK_CHECK_DEVICE: {
        if (buffer == nullptr || inSize < 4 || outSize < 4) {
            return 0;
        }
        const int connected = UsbWebJsConnected((int)device);
        if (connected < 0) {
            return 0;
        }
        unsigned char* state = (unsigned char*)buffer;
        memset(state, 0, 4);
        state[0] = (unsigned char)connected;
        *returned = 4;
        return 1;
    }
    case IOCTL_USBBULK_ABORT_PIPE:
        return UsbWebJsAbort((int)device) > 0;
    default:
        return 0;
    }
}

int UsbDriverRead(UsbHandle file, void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    if (file == USB_HANDLE_NONE || buffer == nullptr) {
        return 0;
    }
    const int room = count < (uint32_t)kPacketRoom ? (int)count : kPacketRoom;
    unsigned char* bytes = (unsigned char*)buffer;
    int n = UsbWebJsTakeStaged((int)file, bytes, room);
    if (n == -2) {
        n = UsbWebJsMaySuspend() ? UsbWebJsTransferIn((int)file, bytes, room) : -1;
    }
    if (n < 0) {
        return 0;
    }
    *done = (uint32_t)n;
    return 1;
}

int UsbDriverWrite(UsbHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    if (file == USB_HANDLE_NONE || buffer == nullptr || count > 0x7FFFFFFFu ||
        !UsbWebJsMaySuspend()) {
        return 0;
    }
    const int n = UsbWebJsTransferOut((int)file, (const unsigned char*)buffer, (int)count);
    if (n < 0) {
        return 0;
    }
    *done = (uint32_t)n;
    return 1;
}

void UsbDriverClose(UsbHandle handle) {
    if (handle == USB_HANDLE_NONE) {
        return;
    }
    UsbWebJsSetUp();
    UsbWebJsClose((int)handle);
}
