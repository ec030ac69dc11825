// The serial devices of this machine an instrument could be on, for `orvent-update ports`,
// and what tells one USB serial adapter from another: its stable name under
// /dev/serial/by-id and its USB ids.
#pragma once

#include <string>
#include <vector>

// Where device files and the kernel's device tree are looked for: /dev and /sys, unless
// the environment names other roots in ORV_DEV_ROOT and ORV_SYS_ROOT (for tests, which
// build trees of their own).
std::string SerialDevRoot(void);
std::string SerialSysRoot(void);

// USB serial adapters (ttyUSB*, ttyACM*) and the built-in ports (ttyS*) that have a
// serial chip behind them, under SerialDevRoot(), in name order.
void ListSerialDevices(std::vector<std::string>* devices);

struct SerialDeviceInfo {
    std::string byId; // the link under DEV/serial/by-id naming the same device; "" for none
    int usbVendor;    // the adapter's USB ids; -1 when the device is no USB device
    int usbProduct;
};

// What DEV/serial/by-id and SYS/class/tty/<name>/device tell of the device at path.
void DescribeSerialDevice(const std::string& path, const std::string& devRoot,
                          const std::string& sysRoot, SerialDeviceInfo* info);

// The line `ports` shows for a device: "/dev/ttyUSB0  USB 0403:6001  /dev/serial/by-id/...".
std::string SerialDeviceLine(const std::string& path);

// The window program's rate when its settings name none.
#define SERIAL_DEFAULT_BAUD_RATE 38400

// Splits DEV@RATE; the rate is SERIAL_DEFAULT_BAUD_RATE when none is given. 0 when the
// device is empty or the rate is no positive number.
int ParseSerialDevice(const std::string& text, std::string* device, int* baudRate);
