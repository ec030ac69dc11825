// What only the POSIX half of the serial port offers: a program may say which device file
// a port number stands for (the command-line program opens the device its user names).
#pragma once

#include <cstddef>

// From now on COM<portNumber> (1 to 4) is the device at path, before ORV_COM<n> and
// /dev/ttyS<n-1>; an empty path gives the port back to those. Called before SerialOpen.
void SerialOsNameDevice(int portNumber, const char* path);

// Why the last read or write on the port opened last failed: the system's error number
// (EIO when the other end of the line hung up: the cable pulled, the instrument switched
// off); 0 while none has failed since it opened. The transport's results cannot carry it.
// After a failed open, why it failed (EBUSY when another program holds the port).
int SerialOsPortError(void);

// The device file COM<portNumber> (1 to 4) stands for now.
void SerialOsDevicePath(int portNumber, char* path, size_t size);
