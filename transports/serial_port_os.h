// The operating-system half of the serial port transport: a handful of plain functions
// that serial_port.cpp is written against. serial_port_win32.cpp implements them with
// the Win32 communications calls, serial_port_posix.cpp with termios on device files.
#pragma once

#include <cstdint>

// A port is a handle value; SERIAL_NO_HANDLE marks "no port".
typedef intptr_t SerialHandle;
#define SERIAL_NO_HANDLE ((SerialHandle)-1)

// A write call, and a receive that hears nothing, give up after this long.
#define SERIAL_IO_TIMEOUT_MS 10000

// A single read call gives up after this long, so a receive can notice the user's stop
// between two reads instead of only at the end of the whole time-out.
#define SERIAL_READ_SLICE_MS 50

// Opens COM<portNumber> for reading and writing as an existing device, without sharing:
// while it is open no other opener gets it. SERIAL_NO_HANDLE on failure.
SerialHandle SerialOsOpen(int portNumber);

// Reads the port's current line settings into the OS half's record (GetCommState).
// 1 on success, 0 when the device has no line settings (not a serial port).
int SerialOsGetLineSettings(SerialHandle port);

// Takes the settings read last, sets baudRate, 8 data bits, no parity and 1 stop bit in
// them and writes them to the port (SetCommState). 1 on success, 0 on failure.
int SerialOsSetLineSettings(SerialHandle port, int baudRate);

// Bounds every later read call on the port by readMs and every write call by writeMs.
// 1 on success.
int SerialOsSetTimeouts(SerialHandle port, int readMs, int writeMs);

// Reads one byte: 1 with *byte set, 0 when nothing came within the time-out, -1 when the
// read call failed (including the other end hanging up).
int SerialOsReadByte(SerialHandle port, unsigned char* byte);

// Writes length bytes. 1 only when all of them were written within the time-out.
int SerialOsWrite(SerialHandle port, const unsigned char* data, int length);

void SerialOsClose(SerialHandle port);
