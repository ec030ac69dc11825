#include "cli/serial_devices.h"

#include "sim/instrument_options.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

std::string RootFrom(const char* variable, const char* standard) {
    const char* configured = getenv(variable);
    return configured != nullptr && configured[0] != '\0' ? configured : standard;
}

// The file a path ends at, links followed; "" when it leads nowhere.
std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

int ReadHexFile(const std::string& path, int* value) {
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        return 0;
    }
    unsigned int read = 0;
    const int ok = fscanf(f, "%x", &read) == 1 && read <= 0xFFFF;
    fclose(f);
    *value = (int)read;
    return ok;
}

// Several links may name one device (a udev rule of the user's own beside the standard
// one): the first by name, so that the same one is shown every time.
std::string FindById(const std::string& device, const std::string& devRoot) {
    const std::string target = RealPath(device);
    const std::string folder = devRoot + "/serial/by-id";
    DIR* links = target.empty() ? nullptr : opendir(folder.c_str());
    if (links == nullptr) {
        return "";
    }
    std::vector<std::string> names;
    for (const struct dirent* entry = readdir(links); entry != nullptr; entry = readdir(links)) {
        if (entry->d_name[0] != '.' && RealPath(folder + "/" + entry->d_name) == target) {
            names.push_back(entry->d_name);
        }
    }
    closedir(links);
    return names.empty() ? "" : folder + "/" + *std::min_element(names.begin(), names.end());
}

// The tty's device node in sysfs is the adapter's interface (ttyACM) or a port below it
// (ttyUSB); the USB device that carries the ids is the first folder above with idVendor.
// The walk stays inside the sysfs root.
void FindUsbIds(const std::string& name, const std::string& sysRoot, SerialDeviceInfo* info) {
    const std::string root = RealPath(sysRoot);
    std::string at = RealPath(sysRoot + "/class/tty/" + name + "/device");
    while (!root.empty() && at.size() > root.size() && at.compare(0, root.size(), root) == 0) {
        int vendor = 0;
        int product = 0;
        if (ReadHexFile(at + "/idVendor", &vendor) && ReadHexFile(at + "/idProduct", &product)) {
            info->usbVendor = vendor;
            info->usbProduct = product;
            return;
        }
        at.erase(at.rfind('/'));
    }
}

} // namespace

std::string SerialDevRoot(void) {
    return RootFrom("ORV_DEV_ROOT", "/dev");
}

std::string SerialSysRoot(void) {
    return RootFrom("ORV_SYS_ROOT", "/sys");
}

void ListSerialDevices(std::vector<std::string>* devices) {
    const std::string root = SerialDevRoot();
    AddMatches((root + "/ttyUSB*").c_str(), false, devices);
    AddMatches((root + "/ttyACM*").c_str(), false, devices);
    AddMatches((root + "/ttyS*").c_str(), true, devices);
}

void DescribeSerialDevice(const std::string& path, const std::string& devRoot,
                          const std::string& sysRoot, SerialDeviceInfo* info) {
    info->byId = FindById(path, devRoot);
    info->usbVendor = -1;
    info->usbProduct = -1;
    FindUsbIds(path.substr(path.rfind('/') + 1), sysRoot, info);
}

std::string SerialDeviceLine(const std::string& path) {
    SerialDeviceInfo info;
    DescribeSerialDevice(path, SerialDevRoot(), SerialSysRoot(), &info);
    std::string line = path;
    if (info.usbVendor >= 0) {
        char ids[32];
        snprintf(ids, sizeof ids, "  USB %04x:%04x", info.usbVendor, info.usbProduct);
        line += ids;
    }
    if (!info.byId.empty()) {
        line += "  " + info.byId;
    }
    return line;
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
