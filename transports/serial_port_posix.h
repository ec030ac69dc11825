// What only the POSIX half of the serial port offers: a program may say which device file
// a port number stands for (the command-line program opens the device its user names).
#pragma once

// From now on COM<portNumber> (1 to 4) is the device at path, before ORV_COM<n> and
// /dev/ttyS<n-1>; an empty path gives the port back to those. Called before SerialOpen.
void SerialOsNameDevice(int portNumber, const char* path);
