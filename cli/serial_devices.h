// The serial devices of this machine an instrument could be on, for `orvent-update ports`.
#pragma once

#include <string>
#include <vector>

// USB serial adapters (/dev/ttyUSB*, /dev/ttyACM*) and the built-in ports (/dev/ttyS*)
// that have a serial chip behind them, in name order.
void ListSerialDevices(std::vector<std::string>* devices);

// The window program's rate when its settings name none.
#define SERIAL_DEFAULT_BAUD_RATE 38400

// Splits DEV@RATE; the rate is SERIAL_DEFAULT_BAUD_RATE when none is given. 0 when the
// device is empty or the rate is no positive number.
int ParseSerialDevice(const std::string& text, std::string* device, int* baudRate);
