// The USB bulk pipe transport: the device manager (CUsbBulk) that finds the maker's
// devices, keeps their configuration descriptors and opens their pipes, and the
// application's transport to the update device on top of it.
#include "transports/usb_bulk.h"

#include "platform/platform_thread.h"
#include "platform/text.h"
#include "transports/usb_bulk_descriptors.h"
#include "transports/usb_bulk_driver.h"

#include <atomic>
#include <cstring>
#include <mutex>

#define USB_DESCRIPTOR_INTERFACE 4
#define USB_DESCRIPTOR_ENDPOINT 5
#define USB_DEVICE_DESCRIPTOR_SIZE 18
#define USB_ENDPOINT_DESCRIPTOR_SIZE 7
#define USB_PIPE_OPEN_ATTEMPTS 16
#define USB_PIPE_OPEN_WAIT_MS 10
// The device path, "\dpipe" and up to three digits of the endpoint number.
#define USB_PIPE_NAME_SIZE (PATH_SIZE + 16)

namespace {

struct UsbDeviceSlot {
    char devicePath[PATH_SIZE];
    UsbHandle handle;
    unsigned char configDescriptor[USB_CONFIG_DESCRIPTOR_SIZE];
    // firstEndpointOffset, endpointCount, and where the walk stopped: the pipe search
    // never looks beyond it.
    UsbConfigWalk walk;
};

struct CUsbBulk {
    std::mutex lock;
    UsbDeviceSlot slots[USB_MAX_DEVICES];
};

CUsbBulk s_cusbbulk;

struct UsbBulkTransport {
    int device;
    UsbHandle readPipe;
    UsbHandle writePipe;
    // The user's stop, from the main window's thread: the driver only cancels a read that
    // is already pending, so one that starts after the abort request must see this.
    std::atomic<int> receiveAborted;
};

UsbBulkTransport g_usbBulk = {USB_NO_DEVICE, USB_HANDLE_NONE, USB_HANDLE_NONE, {0}};

int ReadWord(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8);
}

UsbDeviceSlot* SlotOf(int device) {
    if (device < 0 || device >= USB_MAX_DEVICES) {
        return nullptr;
    }
    return &s_cusbbulk.slots[device];
}

void FreeSlotLocked(UsbDeviceSlot* slot) {
    if (slot->handle != USB_HANDLE_NONE) {
        UsbDriverClose(slot->handle);
        slot->handle = USB_HANDLE_NONE;
    }
    slot->devicePath[0] = '\0';
    slot->walk = UsbConfigWalk{0, 0, 0};
}

// Length of the descriptor at offset when it lies wholly inside the first `limit` bytes
// and is well formed, else 0. A bLength below 2 would never advance the walk, and an
// endpoint descriptor shorter than the standard 7 bytes has no packet size to read.
int DescriptorLength(const unsigned char* config, int offset, int limit) {
    if (offset < 0 || offset + 2 > limit) {
        return 0;
    }
    int length = config[offset];
    if (length < 2 || offset + length > limit) {
        return 0;
    }
    if (config[offset + 1] == USB_DESCRIPTOR_ENDPOINT && length < USB_ENDPOINT_DESCRIPTOR_SIZE) {
        return 0;
    }
    return length;
}

int StoreDevice(const char* path, UsbHandle handle) {
    std::lock_guard<std::mutex> hold(s_cusbbulk.lock);
    for (int device = 0; device < USB_MAX_DEVICES; device++) {
        UsbDeviceSlot* slot = &s_cusbbulk.slots[device];
        if (slot->handle != USB_HANDLE_NONE) {
            continue;
        }
        slot->handle = handle;
        TextCopy(slot->devicePath, sizeof slot->devicePath, path);
        // A failed request must not leave the previous occupant's descriptors behind.
        memset(slot->configDescriptor, 0, sizeof slot->configDescriptor);
        uint32_t received = 0;
        if (UsbDriverRequest(handle, IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR, slot->configDescriptor,
                             USB_CONFIG_DESCRIPTOR_SIZE, USB_CONFIG_DESCRIPTOR_SIZE,
                             &received) != 1) {
            received = 0;
        }
        if (received > USB_CONFIG_DESCRIPTOR_SIZE) {
            received = USB_CONFIG_DESCRIPTOR_SIZE;
        }
        UsbWalkConfiguration(slot->configDescriptor, (int)received, &slot->walk);
        return device;
    }
    return USB_NO_DEVICE;
}

int DeviceHasIds(UsbHandle handle, int vendorId, int productId) {
    unsigned char descriptor[USB_DEVICE_DESCRIPTOR_SIZE];
    memset(descriptor, 0, sizeof descriptor);
    uint32_t received = 0;
    if (UsbDriverRequest(handle, IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR, descriptor, sizeof descriptor,
                         sizeof descriptor, &received) != 1 ||
        received < 12) {
        return 0;
    }
    return ReadWord(descriptor + 8) == (vendorId & 0xFFFF) &&
           ReadWord(descriptor + 10) == (productId & 0xFFFF);
}

void CloseAndForget(UsbHandle* handle) {
    if (*handle != USB_HANDLE_NONE) {
        UsbDriverClose(*handle);
        *handle = USB_HANDLE_NONE;
    }
}

} // namespace

// How far a walk may read: the bytes held, or less when wTotalLength says so.
static int WalkLimit(const unsigned char* config, int received) {
    if (received >= 4 && ReadWord(config + 2) < received) {
        return ReadWord(config + 2);
    }
    return received;
}

void UsbWalkConfiguration(const unsigned char* config, int received, UsbConfigWalk* walk) {
    const int limit = WalkLimit(config, received);
    int offset = 0;
    int count = 0;
    int first = 0;
    int length;
    while ((length = DescriptorLength(config, offset, limit)) > 0) {
        if (config[offset + 1] == USB_DESCRIPTOR_ENDPOINT) {
            if (count == 0) {
                first = offset;
            }
            count++;
        }
        offset += length;
    }
    walk->firstEndpointOffset = first;
    walk->endpointCount = count;
    walk->walkedLength = offset;
}

int UsbFindPipe(const unsigned char* config, const UsbConfigWalk* walk, unsigned int selector,
                int* maxPacketSize) {
    int wantIn = (selector & USB_PIPE_IN) != 0;
    int wantType = (selector & USB_PIPE_INTERRUPT) ? 3 : 2;
    int ordinal = (int)(selector & USB_PIPE_ORDINAL_MASK);
    int offset = walk->firstEndpointOffset;
    int matched = 0;
    for (int passed = 0; passed < walk->endpointCount; passed++) {
        // Skip the class and vendor descriptors that may lie between endpoints.
        int length;
        while ((length = DescriptorLength(config, offset, walk->walkedLength)) > 0 &&
               config[offset + 1] != USB_DESCRIPTOR_ENDPOINT) {
            offset += length;
        }
        if (length == 0) {
            return -1;
        }
        const unsigned char* d = config + offset;
        if (((d[2] & 0x80) != 0) == wantIn && (d[3] & 0x03) == wantType) {
            if (matched == ordinal) {
                if (maxPacketSize != nullptr) {
                    *maxPacketSize = ReadWord(d + 4);
                }
                return passed;
            }
            matched++;
        }
        offset += length;
    }
    return -1;
}

int UsbFindPipeEndpoint(const unsigned char* config, int received, int pipe,
                        UsbPipeEndpoint* endpoint) {
    const int limit = WalkLimit(config, received);
    int interfaceNumber = 0;
    int alternate = 0;
    int passed = 0;
    int offset = 0;
    int length;
    while ((length = DescriptorLength(config, offset, limit)) > 0) {
        const unsigned char* d = config + offset;
        if (d[1] == USB_DESCRIPTOR_INTERFACE && length >= 4) {
            interfaceNumber = d[2];
            alternate = d[3];
        } else if (d[1] == USB_DESCRIPTOR_ENDPOINT) {
            if (passed == pipe) {
                *endpoint = {d[2], ReadWord(d + 4) & 0x7FF, interfaceNumber, alternate};
                return 1;
            }
            passed++;
        }
        offset += length;
    }
    return 0;
}

extern "C" {

void init_cusbbulk(void) {
    std::lock_guard<std::mutex> hold(s_cusbbulk.lock);
    for (int device = 0; device < USB_MAX_DEVICES; device++) {
        UsbDeviceSlot* slot = &s_cusbbulk.slots[device];
        slot->handle = USB_HANDLE_NONE;
        slot->devicePath[0] = '\0';
        slot->walk = UsbConfigWalk{0, 0, 0};
    }
}

void free_cusbbulk(void) {
    std::lock_guard<std::mutex> hold(s_cusbbulk.lock);
    for (int device = 0; device < USB_MAX_DEVICES; device++) {
        FreeSlotLocked(&s_cusbbulk.slots[device]);
    }
}

int UsbOpenDevice(int productId) {
    return UsbOpenDeviceVID(DEFAULT_VENDOR_ID, productId);
}

int UsbOpenDeviceVID(int vendorId, int productId) {
    char path[PATH_SIZE];
    for (int index = 0;; index++) {
        int found = UsbDriverInterfacePath(index, path, sizeof path);
        if (found == USB_DRIVER_PATH_END) {
            return USB_NO_DEVICE;
        }
        // A cut path would name another file, or none: such a device cannot be held.
        if (found != USB_DRIVER_PATH_OK) {
            continue;
        }
        UsbHandle handle = UsbDriverOpen(path);
        if (handle == USB_HANDLE_NONE) {
            continue;
        }
        if (DeviceHasIds(handle, vendorId, productId)) {
            int device = StoreDevice(path, handle);
            if (device != USB_NO_DEVICE) {
                return device;
            }
        }
        UsbDriverClose(handle);
    }
}

UsbHandle UsbOpenPipe(int device, unsigned int selector, int* maxPacketSize) {
    UsbDeviceSlot* slot = SlotOf(device);
    if (slot == nullptr || slot->handle == USB_HANDLE_NONE) {
        return USB_HANDLE_NONE;
    }
    int pipe = UsbFindPipe(slot->configDescriptor, &slot->walk, selector, maxPacketSize);
    if (pipe < 0) {
        return USB_HANDLE_NONE;
    }
    char pipeName[USB_PIPE_NAME_SIZE];
    TextFormat(pipeName, sizeof pipeName, "%s\\dpipe%02d", slot->devicePath, pipe);
    // The driver may still be creating the pipe files of a device that just arrived.
    for (int attempt = 0; attempt < USB_PIPE_OPEN_ATTEMPTS; attempt++) {
        UsbHandle handle = UsbDriverOpen(pipeName);
        if (handle != USB_HANDLE_NONE) {
            return handle;
        }
        PlatformSleep(USB_PIPE_OPEN_WAIT_MS);
    }
    return USB_HANDLE_NONE;
}

void UsbCloseDevice(int device) {
    UsbDeviceSlot* slot = SlotOf(device);
    if (slot == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(s_cusbbulk.lock);
    FreeSlotLocked(slot);
}

int UsbAbortPipe(int device) {
    UsbDeviceSlot* slot = SlotOf(device);
    if (slot == nullptr || slot->handle == USB_HANDLE_NONE) {
        return 0;
    }
    uint32_t returned = 0;
    return UsbDriverRequest(slot->handle, IOCTL_USBBULK_ABORT_PIPE, nullptr, 0, 0, &returned);
}

int UsbCheckDevice(int device) {
    UsbDeviceSlot* slot = SlotOf(device);
    if (slot == nullptr || slot->handle == USB_HANDLE_NONE) {
        return 0;
    }
    unsigned char state[4] = {(unsigned char)(device & 0xFF), (unsigned char)(device >> 8),
                              (unsigned char)(device >> 16), (unsigned char)(device >> 24)};
    uint32_t returned = 0;
    if (UsbDriverRequest(slot->handle, IOCTL_USBBULK_CHECK_DEVICE, state, sizeof state,
                         sizeof state, &returned) != 1) {
        return 0;
    }
    return (state[0] & 0x01) != 0;
}

} // extern "C"

int UsbBulkOpen(char* errorText) {
    int device = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
    if (device == USB_NO_DEVICE) {
        TextCopy(errorText, PATH_SIZE, "Usb Open Error!(Can't find VerUp Device)");
        return 0;
    }
    UsbHandle readPipe = UsbOpenPipe(device, USB_PIPE_IN, nullptr);
    if (readPipe == USB_HANDLE_NONE) {
        TextCopy(errorText, PATH_SIZE, "Usb Open Error!(Failed to open read-pipe)");
        UsbCloseDevice(device);
        return 0;
    }
    UsbHandle writePipe = UsbOpenPipe(device, 0x00, nullptr);
    if (writePipe == USB_HANDLE_NONE) {
        TextCopy(errorText, PATH_SIZE, "Usb Open Error!(Failed to open write-pipe)");
        UsbDriverClose(readPipe);
        UsbCloseDevice(device);
        return 0;
    }
    g_usbBulk.device = device;
    g_usbBulk.readPipe = readPipe;
    g_usbBulk.writePipe = writePipe;
    g_usbBulk.receiveAborted.store(0);
    return 1;
}

void UsbBulkClose(void) {
    if (g_usbBulk.device == USB_NO_DEVICE) {
        return;
    }
    CloseAndForget(&g_usbBulk.writePipe);
    CloseAndForget(&g_usbBulk.readPipe);
    UsbCloseDevice(g_usbBulk.device);
    g_usbBulk.device = USB_NO_DEVICE;
}

int UsbBulkSend(const unsigned char* data, int length) {
    if (g_usbBulk.writePipe == USB_HANDLE_NONE || data == nullptr || length < 0) {
        return 0;
    }
    // A write that stops short left the instrument with a cut message it never answers.
    uint32_t written = 0;
    return UsbDriverWrite(g_usbBulk.writePipe, data, (uint32_t)length, &written) == 1 &&
           written == (uint32_t)length;
}

int UsbBulkReceive(unsigned char* buffer) {
    if (g_usbBulk.readPipe == USB_HANDLE_NONE || buffer == nullptr) {
        return 0;
    }
    if (g_usbBulk.receiveAborted.load()) {
        return -2;
    }
    uint32_t received = 0;
    if (UsbDriverRead(g_usbBulk.readPipe, buffer, USB_BULK_READ_SIZE, &received) == 1) {
        return 1;
    }
    return g_usbBulk.receiveAborted.load() ? -2 : 0;
}

void UsbBulkAbort(void) {
    if (g_usbBulk.device != USB_NO_DEVICE) {
        g_usbBulk.receiveAborted.store(1);
        UsbAbortPipe(g_usbBulk.device);
    }
}
