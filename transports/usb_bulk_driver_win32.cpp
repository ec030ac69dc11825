// The maker's USB bulk driver reached through the device set-up service and file I/O.
// Each device is a device interface of the driver's class; each endpoint a pipe file.
#include "transports/usb_bulk_driver.h"

#include "platform/text.h"

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// {58DC2B45-40C4-11D6-992B-000001005982}
const GUID UsbBulkInterfaceClass = {
    0x58DC2B45, 0x40C4, 0x11D6, {0x99, 0x2B, 0x00, 0x00, 0x01, 0x00, 0x59, 0x82}};

HANDLE ToHandle(UsbHandle handle) {
    return (HANDLE)handle;
}

} // namespace

int UsbDriverInterfacePath(int index, char* path, size_t size) {
    HDEVINFO devices = SetupDiGetClassDevsA(&UsbBulkInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        return USB_DRIVER_PATH_END;
    }
    int result = USB_DRIVER_PATH_END;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    ZeroMemory(&interfaceData, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (SetupDiEnumDeviceInterfaces(devices, nullptr, &UsbBulkInterfaceClass, (DWORD)index,
                                    &interfaceData)) {
        // The first query only reports the size the detail record needs.
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, nullptr, 0, &needed, nullptr);
        // An interface whose detail cannot be had is skipped, not taken for the end.
        result = USB_DRIVER_PATH_SKIP;
        if (needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
                (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)malloc(needed);
            if (detail != nullptr) {
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                if (SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, detail, needed,
                                                     nullptr, nullptr)) {
                    size_t room = needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
                    size_t length = strnlen(detail->DevicePath, room);
                    if (length < room && length < size) {
                        TextCopy(path, size, detail->DevicePath);
                        result = USB_DRIVER_PATH_OK;
                    }
                }
                free(detail);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return result;
}

UsbHandle UsbDriverOpen(const char* path) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? USB_HANDLE_NONE : (UsbHandle)handle;
}

int UsbDriverRequest(UsbHandle device, uint32_t code, void* buffer, uint32_t inSize,
                     uint32_t outSize, uint32_t* returned) {
    DWORD count = 0;
    BOOL done =
        DeviceIoControl(ToHandle(device), code, buffer, inSize, buffer, outSize, &count, nullptr);
    *returned = count;
    return done ? 1 : 0;
}

int UsbDriverRead(UsbHandle file, void* buffer, uint32_t count, uint32_t* done) {
    DWORD got = 0;
    BOOL ok = ReadFile(ToHandle(file), buffer, count, &got, nullptr);
    *done = got;
    return ok ? 1 : 0;
}

int UsbDriverWrite(UsbHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    DWORD put = 0;
    BOOL ok = WriteFile(ToHandle(file), buffer, count, &put, nullptr);
    *done = put;
    return ok ? 1 : 0;
}

void UsbDriverClose(UsbHandle handle) {
    if (handle != USB_HANDLE_NONE) {
        CloseHandle(ToHandle(handle));
    }
}
