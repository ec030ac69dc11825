// The kernel USB-MIDI driver through the file and device I/O control calls. On a machine
// without the driver (and under Wine) no device name opens.
#include "transports/kernel_midi_driver.h"

#include <windows.h>

namespace {

// A synchronous read that has not yet reached the driver when CancelIoEx is called is
// not cancelled by it; remembering the handle lets that read fail before it blocks.
HANDLE volatile g_cancelledRead = INVALID_HANDLE_VALUE;

HANDLE ToHandle(KernelMidiHandle handle) {
    return (HANDLE)handle;
}

} // namespace

KernelMidiHandle KernelMidiDriverOpen(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return KERNEL_MIDI_NO_HANDLE;
    }
    return (KernelMidiHandle)h;
}

void KernelMidiDriverClose(KernelMidiHandle handle) {
    if (handle == KERNEL_MIDI_NO_HANDLE) {
        return;
    }
    if (g_cancelledRead == ToHandle(handle)) {
        g_cancelledRead = INVALID_HANDLE_VALUE;
    }
    CloseHandle(ToHandle(handle));
}

int KernelMidiDriverRequest(KernelMidiHandle handle, uint32_t code, uint32_t* value) {
    DWORD buffer = *value;
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(handle), code, &buffer, sizeof buffer, &buffer, sizeof buffer,
                         &returned, NULL)) {
        *value = 0;
        return 0;
    }
    *value = buffer;
    return 1;
}

int KernelMidiDriverRead(KernelMidiHandle handle, unsigned char* buffer, int length) {
    if (g_cancelledRead == ToHandle(handle) || length < 0) {
        return -1;
    }
    DWORD done = 0;
    if (!ReadFile(ToHandle(handle), buffer, (DWORD)length, &done, NULL)) {
        return -1;
    }
    return (int)done;
}

int KernelMidiDriverWrite(KernelMidiHandle handle, const unsigned char* bytes, int length) {
    if (length < 0) {
        return -1;
    }
    DWORD done = 0;
    if (!WriteFile(ToHandle(handle), bytes, (DWORD)length, &done, NULL)) {
        return -1;
    }
    return (int)done;
}

void KernelMidiDriverCancelRead(KernelMidiHandle handle) {
    g_cancelledRead = ToHandle(handle);
    CancelIoEx(ToHandle(handle), NULL);
}
