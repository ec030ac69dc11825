// The serial port on Windows: a COM port opened as a file, with the communications calls
// for its line settings and time-outs.
#include "transports/serial_port_os.h"

#include "platform/text.h"

#include <windows.h>

struct SerialOs {
    DCB settings; // as read by the last SerialOsGetLineSettings
};

static SerialOs s_os;

SerialHandle SerialOsOpen(int portNumber) {
    char name[16];
    TextFormat(name, sizeof name, "COM%1d", portNumber);
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return SERIAL_NO_HANDLE;
    }
    return (SerialHandle)port;
}

int SerialOsGetLineSettings(SerialHandle port) {
    if (port == SERIAL_NO_HANDLE) {
        return 0;
    }
    ZeroMemory(&s_os.settings, sizeof s_os.settings);
    s_os.settings.DCBlength = sizeof s_os.settings;
    return GetCommState((HANDLE)port, &s_os.settings) ? 1 : 0;
}

int SerialOsSetLineSettings(SerialHandle port, int baudRate) {
    if (port == SERIAL_NO_HANDLE) {
        return 0;
    }
    // Only the rate and the frame change; flow control and the special characters stay
    // as the port has them.
    DCB line = s_os.settings;
    line.BaudRate = (DWORD)baudRate;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    if (!SetCommState((HANDLE)port, &line)) {
        return 0;
    }
    s_os.settings = line;
    return 1;
}

int SerialOsSetTimeouts(SerialHandle port, int readMs, int writeMs) {
    if (port == SERIAL_NO_HANDLE) {
        return 0;
    }
    // No interval time-out and no per-byte share: every call returns at the latest
    // readMs or writeMs after it was made, with whatever has arrived.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = (DWORD)readMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = (DWORD)writeMs;
    return SetCommTimeouts((HANDLE)port, &timeouts) ? 1 : 0;
}

int SerialOsReadByte(SerialHandle port, unsigned char* byte) {
    if (port == SERIAL_NO_HANDLE) {
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile((HANDLE)port, byte, 1, &got, nullptr)) {
        return -1;
    }
    return got == 1 ? 1 : 0;
}

int SerialOsWrite(SerialHandle port, const unsigned char* data, int length) {
    if (port == SERIAL_NO_HANDLE || length < 0) {
        return 0;
    }
    DWORD written = 0;
    if (!WriteFile((HANDLE)port, data, (DWORD)length, &written, nullptr)) {
        return 0;
    }
    // A write time-out completes the call successfully with the rest unsent.
    return written == (DWORD)length ? 1 : 0;
}

void SerialOsClose(SerialHandle port) {
    if (port == SERIAL_NO_HANDLE) {
        return;
    }
    CloseHandle((HANDLE)port);
}
