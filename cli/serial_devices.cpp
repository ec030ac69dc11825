#include "cli/serial_devices.h"

#include "sim/instrument_options.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace {

// The kernel makes /dev/ttyS0 and more whether or not a chip is there; only a port whose
// chip it found reports a type.
bool HasSerialChip(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct serial_struct info;
    memset(&info, 0, sizeof info);
    const bool found = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return found;
}

void AddMatches(const char* pattern, bool needChip, std::vector<std::string>* devices) {
    glob_t found;
    if (glob(pattern, 0, nullptr, &found) != 0) {
        return;
    }
    for (size_t i = 0; i < found.gl_pathc; i++) {
        if (!needChip || HasSerialChip(found.gl_pathv[i])) {
            devices->push_back(found.gl_pathv[i]);
        }
    }
    globfree(&found);
}

} // namespace

void ListSerialDevices(std::vector<std::string>* devices) {
    AddMatches("/dev/ttyUSB*", false, devices);
    AddMatches("/dev/ttyACM*", false, devices);
    AddMatches("/dev/ttyS*", true, devices);
}

int ParseSerialDevice(const std::string& text, std::string* device, int* baudRate) {
    const size_t at = text.rfind('@');
    *device = text.substr(0, at);
    *baudRate = SERIAL_DEFAULT_BAUD_RATE;
    if (at == std::string::npos) {
        return device->empty() ? 0 : 1;
    }
    const std::string rate = text.substr(at + 1);
    return !device->empty() && InstrumentParseInt(rate.c_str(), baudRate) && *baudRate > 0;
}
