// The maker's USB bulk devices reached through libusb-1.0 off Windows: usbfs gives us the
// device and its endpoints, so no kernel driver of ours is needed. What the Windows driver
// offers is played here:
//   - an interface path is "/dev/bus/usb/BBB/AAA", one for every attached device of our
//     vendor id (the devices the maker's driver serves), in bus and address order;
//   - the pipe file "<path>\dpipeNN" is endpoint descriptor NN of the configuration,
//     counted as the device manager counts them; opening it claims its interface;
//   - the descriptor requests read the device's own descriptors, the check request asks
//     the device for its status, the abort request cancels the transfers pending on the
//     device's pipes;
//   - pipe reads and writes are bulk transfers without a time-out: the Windows pipe waits
//     until the device answers or the read is aborted, and the transport relies on that.
#include "transports/usb_bulk_driver.h"
#include "transports/usb_bulk_driver_libusb.h"

#include "platform/text.h"
#include "transports/usb_bulk_descriptors.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

const char kPathFormat[] = "/dev/bus/usb/%03d/%03d";
const char kPipeSuffix[] = "\\dpipe";
const int kMaxDevices = 64;
const int kMaxFiles = 128;
const int kMaxListed = 128;
const UsbHandle kFirstHandle = 0x100;
const int kControlTimeoutMs = 1000;
// The largest bulk packet (SuperSpeed); a read takes one packet at a time.
const int kPacketRoom = 1024;
const int kConfigRoom = 1024;
const int kMaxInterfaces = 32;

struct OpenDevice {
    int users; // files open on it and transfers under way; 0 when the entry is free
    int bus;
    int address;
    libusb_device_handle* handle;
    uint32_t claimed; // interfaces claimed for its pipes, one bit per interface number
};

struct OpenFile {
    int used;
    int device;   // entry in devices
    int endpoint; // bEndpointAddress of a pipe; -1 for the device itself
    int packetSize;
    libusb_transfer* pending; // the transfer a read or write waits for, for the abort
    // The part of the last packet a read did not take, for the next read.
    unsigned char staged[kPacketRoom];
    int stagedAt;
    int stagedCount;
};

struct UsbLibusbDriver {
    std::mutex lock;
    int started; // 0 not tried yet, 1 the context runs, -1 libusb cannot reach the devices
    libusb_context* context;
    OpenDevice devices[kMaxDevices];
    OpenFile files[kMaxFiles];
};

UsbLibusbDriver g_usbLibusb;

struct Attached {
    int bus;
    int address;
};

// Started at the first call. Where there is no usbfs (a container) libusb cannot start,
// and then no device is ever listed or opened.
libusb_context* ContextLocked(void) {
    if (g_usbLibusb.started == 0) {
        g_usbLibusb.started = libusb_init(&g_usbLibusb.context) == 0 ? 1 : -1;
    }
    return g_usbLibusb.started == 1 ? g_usbLibusb.context : nullptr;
}

// The attached devices of this vendor (and product, unless productId is -1), in bus and
// address order: the order must not change between the calls that walk the list.
int ListAttached(int vendorId, int productId, Attached* out, int capacity) {
    libusb_context* context;
    {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        context = ContextLocked();
    }
    if (context == nullptr) {
        return 0;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    int found = 0;
    for (ssize_t i = 0; i < count && found < capacity; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendorId ||
            (productId >= 0 && d.idProduct != productId)) {
            continue;
        }
        out[found++] = {libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])};
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    std::sort(out, out + found, [](const Attached& a, const Attached& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
    });
    return found;
}

// The device a path names and its pipe number (-1 for the device itself); 0 when the
// path is not one this driver hands out.
int ParsePath(const char* path, int* bus, int* address, int* pipe) {
    int used = 0;
    if (sscanf(path, "/dev/bus/usb/%3d/%3d%n", bus, address, &used) != 2 || *bus <= 0 ||
        *address <= 0) {
        return 0;
    }
    char device[PATH_SIZE];
    TextFormat(device, sizeof device, kPathFormat, *bus, *address);
    if ((size_t)used != strlen(device) || strncmp(path, device, (size_t)used) != 0) {
        return 0;
    }
    const char* rest = path + used;
    *pipe = -1;
    if (*rest == '\0') {
        return 1;
    }
    if (strncmp(rest, kPipeSuffix, sizeof kPipeSuffix - 1) != 0) {
        return 0;
    }
    rest += sizeof kPipeSuffix - 1;
    int number = 0;
    int digits = 0;
    for (; rest[digits] >= '0' && rest[digits] <= '9' && digits < 3; digits++) {
        number = number * 10 + (rest[digits] - '0');
    }
    if (digits == 0 || rest[digits] != '\0') {
        return 0;
    }
    *pipe = number;
    return 1;
}

// The entry of the device at bus and address with one more user, opening the device when
// no file holds it yet; -1 when it cannot be opened.
int TakeDeviceLocked(int bus, int address) {
    int freeEntry = -1;
    for (int i = 0; i < kMaxDevices; i++) {
        OpenDevice& d = g_usbLibusb.devices[i];
        if (d.users > 0 && d.bus == bus && d.address == address) {
            d.users++;
            return i;
        }
        if (d.users == 0 && freeEntry < 0) {
            freeEntry = i;
        }
    }
    libusb_context* context = ContextLocked();
    if (freeEntry < 0 || context == nullptr) {
        return -1;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count; i++) {
        if (libusb_get_bus_number(list[i]) == bus &&
            libusb_get_device_address(list[i]) == address) {
            if (libusb_open(list[i], &handle) != 0) {
                handle = nullptr;
            }
            break;
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    if (handle == nullptr) {
        return -1;
    }
    // Should a kernel driver hold one of its interfaces, it steps aside while we do.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    g_usbLibusb.devices[freeEntry] = {1, bus, address, handle, 0};
    return freeEntry;
}

void ReleaseDeviceLocked(int device) {
    OpenDevice& d = g_usbLibusb.devices[device];
    if (--d.users > 0) {
        return;
    }
    for (int number = 0; number < kMaxInterfaces; number++) {
        if (d.claimed & (1u << number)) {
            libusb_release_interface(d.handle, number);
        }
    }
    libusb_close(d.handle);
    d = OpenDevice{0, 0, 0, nullptr, 0};
}

// The pipe's endpoint, from the configuration the device gives.
int FindEndpoint(libusb_device_handle* handle, int pipe, UsbPipeEndpoint* out) {
    unsigned char config[kConfigRoom];
    const int received = libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, config, kConfigRoom);
    return received > 0 && UsbFindPipeEndpoint(config, received, pipe, out);
}

int ClaimLocked(OpenDevice* device, const UsbPipeEndpoint& e) {
    if (e.interfaceNumber >= kMaxInterfaces) {
        return 0;
    }
    const uint32_t bit = 1u << e.interfaceNumber;
    if (device->claimed & bit) {
        return 1;
    }
    if (libusb_claim_interface(device->handle, e.interfaceNumber) != 0) {
        return 0;
    }
    device->claimed |= bit;
    return e.alternate == 0 ||
           libusb_set_interface_alt_setting(device->handle, e.interfaceNumber, e.alternate) == 0;
}

OpenFile* FileLocked(UsbHandle handle) {
    if (handle < kFirstHandle || handle >= kFirstHandle + kMaxFiles) {
        return nullptr;
    }
    OpenFile* f = &g_usbLibusb.files[handle - kFirstHandle];
    return f->used ? f : nullptr;
}

UsbHandle NewFileLocked(int device, const UsbPipeEndpoint& e) {
    for (int i = 0; i < kMaxFiles; i++) {
        OpenFile& f = g_usbLibusb.files[i];
        if (!f.used) {
            f.used = 1;
            f.device = device;
            f.endpoint = e.address;
            f.packetSize = e.maxPacketSize;
            f.pending = nullptr;
            f.stagedAt = 0;
            f.stagedCount = 0;
            return kFirstHandle + i;
        }
    }
    return USB_HANDLE_NONE;
}

// The device under an open file, with one more user until ReleaseDeviceLocked, so that a
// close from another thread cannot pull it away mid-call; -1 when the handle is none.
int HoldDevice(UsbHandle handle, int wantPipe) {
    std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
    OpenFile* f = FileLocked(handle);
    if (f == nullptr || (f->endpoint >= 0) != (wantPipe != 0)) {
        return -1;
    }
    g_usbLibusb.devices[f->device].users++;
    return f->device;
}

void LetGo(int device) {
    std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
    ReleaseDeviceLocked(device);
}

void LIBUSB_CALL TransferEnded(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// One bulk transfer on a pipe, waited for without a time-out: it ends when the device
// completes it, or fails when the abort request cancels it or the device goes away.
int RunTransfer(UsbHandle file, int wantIn, unsigned char* data, int length, int* moved) {
    *moved = 0;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return 0;
    }
    int ended = 0;
    int device = -1;
    int endpoint = 0;
    libusb_context* context = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        OpenFile* f = FileLocked(file);
        if (f != nullptr && f->endpoint >= 0 && ((f->endpoint & 0x80) != 0) == (wantIn != 0) &&
            f->pending == nullptr) {
            endpoint = f->endpoint;
            libusb_fill_bulk_transfer(transfer, g_usbLibusb.devices[f->device].handle,
                                      (unsigned char)endpoint, data, length, TransferEnded, &ended,
                                      0);
            if (libusb_submit_transfer(transfer) == 0) {
                f->pending = transfer;
                device = f->device;
                g_usbLibusb.devices[device].users++;
                context = g_usbLibusb.context;
            }
        }
    }
    if (device < 0) {
        libusb_free_transfer(transfer);
        return 0;
    }
    while (!ended) {
        const int result = libusb_handle_events_completed(context, &ended);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
            // Events can no longer be had: end the transfer, and wait for it to be reaped.
            libusb_cancel_transfer(transfer);
        }
    }
    const int status = transfer->status;
    *moved = transfer->actual_length;
    {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        OpenFile* f = FileLocked(file);
        if (f != nullptr && f->pending == transfer) {
            f->pending = nullptr;
        }
        // A halted pipe refuses every later transfer until the halt is cleared.
        if (status == LIBUSB_TRANSFER_STALL) {
            libusb_clear_halt(g_usbLibusb.devices[device].handle, (unsigned char)endpoint);
        }
        ReleaseDeviceLocked(device);
    }
    libusb_free_transfer(transfer);
    return status == LIBUSB_TRANSFER_COMPLETED;
}

int CopyOut(void* buffer, uint32_t size, const unsigned char* bytes, int length) {
    const int n = std::min(length, (int)std::min<uint32_t>(size, INT_MAX));
    if (n > 0) {
        memcpy(buffer, bytes, (size_t)n);
    }
    return n;
}

} // namespace

int UsbDriverLocate(int vendorId, int productId, int* bus, int* address) {
    Attached found[kMaxListed];
    if (ListAttached(vendorId & 0xFFFF, productId & 0xFFFF, found, kMaxListed) == 0) {
        return 0;
    }
    *bus = found[0].bus;
    *address = found[0].address;
    return 1;
}

int UsbDriverInterfacePath(int index, char* path, size_t size) {
    Attached found[kMaxListed];
    const int count = ListAttached(DEFAULT_VENDOR_ID, -1, found, kMaxListed);
    if (index < 0 || index >= count) {
        return USB_DRIVER_PATH_END;
    }
    char own[PATH_SIZE];
    TextFormat(own, sizeof own, kPathFormat, found[index].bus, found[index].address);
    if (strlen(own) >= size) {
        return USB_DRIVER_PATH_SKIP;
    }
    TextCopy(path, size, own);
    return USB_DRIVER_PATH_OK;
}

UsbHandle UsbDriverOpen(const char* path) {
    int bus = 0;
    int address = 0;
    int pipe = -1;
    if (path == nullptr || !ParsePath(path, &bus, &address, &pipe)) {
        return USB_HANDLE_NONE;
    }
    std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
    const int device = TakeDeviceLocked(bus, address);
    if (device < 0) {
        return USB_HANDLE_NONE;
    }
    OpenDevice* d = &g_usbLibusb.devices[device];
    UsbPipeEndpoint e = {-1, 0, 0, 0};
    UsbHandle handle = USB_HANDLE_NONE;
    if (pipe < 0 || (FindEndpoint(d->handle, pipe, &e) && ClaimLocked(d, e))) {
        handle = NewFileLocked(device, e);
    }
    if (handle == USB_HANDLE_NONE) {
        ReleaseDeviceLocked(device);
    }
    return handle;
}

int UsbDriverRequest(UsbHandle device, uint32_t code, void* buffer, uint32_t inSize,
                     uint32_t outSize, uint32_t* returned) {
    *returned = 0;
    const int held = HoldDevice(device, 0);
    if (held < 0) {
        return 0;
    }
    libusb_device_handle* handle = g_usbLibusb.devices[held].handle;
    const uint16_t room = (uint16_t)std::min<uint32_t>(outSize, 0xFFFF);
    int ok = 0;
    switch (code) {
    case IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR:
    case IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR: {
        if (buffer == nullptr || room == 0) {
            break;
        }
        const uint8_t type =
            code == IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR ? LIBUSB_DT_DEVICE : LIBUSB_DT_CONFIG;
        const int n = libusb_get_descriptor(handle, type, 0, (unsigned char*)buffer, room);
        if (n >= 0) {
            *returned = (uint32_t)n;
            ok = 1;
        }
        break;
    }
    case IOCTL_USBBULK_CHECK_DEVICE: {
        if (buffer == nullptr || inSize < 4 || outSize < 4) {
            break;
        }
        // Connected is what answers a standard status request now.
        unsigned char status[2];
        const int answered =
            libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_STATUS, 0, 0,
                                    status, sizeof status, kControlTimeoutMs) >= 0;
        const unsigned char state[4] = {(unsigned char)answered, 0, 0, 0};
        *returned = (uint32_t)CopyOut(buffer, outSize, state, sizeof state);
        ok = 1;
        break;
    }
    case IOCTL_USBBULK_ABORT_PIPE: {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        for (OpenFile& f : g_usbLibusb.files) {
            if (f.used && f.device == held && f.pending != nullptr) {
                libusb_cancel_transfer(f.pending);
            }
        }
        ok = 1;
        break;
    }
    default:
        break;
    }
    LetGo(held);
    return ok;
}

int UsbDriverRead(UsbHandle file, void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    int packetSize = 0;
    {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        OpenFile* f = FileLocked(file);
        if (buffer == nullptr || f == nullptr || f->endpoint < 0 || (f->endpoint & 0x80) == 0) {
            return 0;
        }
        if (f->stagedCount > 0 || count == 0) {
            const int n = CopyOut(buffer, count, f->staged + f->stagedAt, f->stagedCount);
            f->stagedAt += n;
            f->stagedCount -= n;
            *done = (uint32_t)n;
            return 1;
        }
        packetSize = f->packetSize > 0 && f->packetSize <= kPacketRoom ? f->packetSize : 64;
    }
    // One packet at a time: asking for less than the device sends would overflow, asking
    // for more would wait for the next packet. What the caller does not take now is kept
    // for its next read.
    unsigned char packet[kPacketRoom];
    int moved = 0;
    if (!RunTransfer(file, 1, packet, packetSize, &moved)) {
        return 0;
    }
    const int n = CopyOut(buffer, count, packet, moved);
    *done = (uint32_t)n;
    if (moved > n) {
        std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
        OpenFile* f = FileLocked(file);
        if (f != nullptr) {
            memcpy(f->staged, packet + n, (size_t)(moved - n));
            f->stagedAt = 0;
            f->stagedCount = moved - n;
        }
    }
    return 1;
}

int UsbDriverWrite(UsbHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    if (buffer == nullptr || count > INT_MAX) {
        return 0;
    }
    // libusb takes one buffer for both directions; an OUT transfer only reads it.
    int moved = 0;
    const int ok =
        RunTransfer(file, 0, (unsigned char*)const_cast<void*>(buffer), (int)count, &moved);
    *done = (uint32_t)moved;
    return ok;
}

void UsbDriverClose(UsbHandle handle) {
    std::lock_guard<std::mutex> hold(g_usbLibusb.lock);
    OpenFile* f = FileLocked(handle);
    if (f == nullptr) {
        return;
    }
    // A transfer still waiting holds the device itself and lets go when it ends.
    if (f->pending != nullptr) {
        libusb_cancel_transfer(f->pending);
    }
    f->used = 0;
    f->pending = nullptr;
    f->stagedCount = 0;
    ReleaseDeviceLocked(f->device);
}
