#include "cli/hints.h"

#include "cli/terminal.h"
#include "platform/text.h"
#include "transports/serial_port_posix.h"
#include "update/transport.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The device file behind a raw MIDI port given as hw:C,D[,S]; a port given by its name
// has no file to look for without asking ALSA again, so it gets none.
int MidiDeviceFile(const char* port, char* path, size_t size) {
    int card = 0;
    int device = 0;
    if (sscanf(port, "hw:%d,%d", &card, &device) != 2) {
        return 0;
    }
    TextFormat(path, size, "/dev/snd/midiC%dD%d", card, device);
    return 1;
}

int IsNumber(const char* text) {
    if (*text == '\0') {
        return 0;
    }
    for (; *text != '\0'; text++) {
        if (!isdigit((unsigned char)*text)) {
            return 0;
        }
    }
    return 1;
}

// Whether one of the process's open files is target; other users' processes cannot be
// read and count as holding nothing.
int ProcessHolds(const char* pid, const char* target) {
    char fdDir[64];
    TextFormat(fdDir, sizeof fdDir, "/proc/%s/fd", pid);
    DIR* fds = opendir(fdDir);
    if (fds == nullptr) {
        return 0;
    }
    int holds = 0;
    while (!holds) {
        const struct dirent* fd = readdir(fds);
        if (fd == nullptr) {
            break;
        }
        char link[PATH_MAX];
        char opened[PATH_MAX];
        TextFormat(link, sizeof link, "%s/%s", fdDir, fd->d_name);
        const ssize_t n = readlink(link, opened, sizeof opened - 1);
        if (n > 0) {
            opened[n] = '\0';
            holds = strcmp(opened, target) == 0;
        }
    }
    closedir(fds);
    return holds;
}

void ProcessName(const char* pid, char* name, size_t size) {
    char path[64];
    TextFormat(path, sizeof path, "/proc/%s/comm", pid);
    TextCopy(name, size, "?");
    FILE* comm = fopen(path, "r");
    if (comm == nullptr) {
        return;
    }
    if (fgets(name, (int)size, comm) != nullptr) {
        name[strcspn(name, "\n")] = '\0';
    }
    fclose(comm);
}

} // namespace

int FindDeviceHolder(const char* device, char* out, size_t size) {
    TextCopy(out, size, "");
    // The links under /proc name the device's real path, not the symbolic link the user
    // may have given (/dev/serial/by-id/...).
    char target[PATH_MAX];
    if (realpath(device, target) == nullptr) {
        return 0;
    }
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return 0;
    }
    // Every holder: which of them keeps the others out cannot be told from here.
    int found = 0;
    for (;;) {
        const struct dirent* process = readdir(processes);
        if (process == nullptr) {
            break;
        }
        if (IsNumber(process->d_name) && ProcessHolds(process->d_name, target)) {
            char name[64];
            char one[96];
            ProcessName(process->d_name, name, sizeof name);
            TextFormat(one, sizeof one, "%sPID %s (%s)", found ? ", " : "", process->d_name, name);
            TextAppend(out, size, one);
            found++;
        }
    }
    closedir(processes);
    return found;
}

int FormatOpenHint(int kind, const char* device, int error, char* out, size_t size) {
    TextCopy(out, size, "");
    if (error == 0) {
        return 0;
    }
    const char* reason = strerror(error);
    const char* group = kind == HINT_MIDI ? "audio" : "dialout";
    switch (error) {
    case EACCES:
    case EPERM:
        TextFormat(out, size,
                   "%s: add yourself to the %s group: sudo usermod -aG %s $USER, then log in "
                   "again; or install the udev rule 60-orvent.rules",
                   reason, group, group);
        break;
    case EBUSY: {
        char file[PATH_SIZE] = "";
        char holder[TEXT_SIZE];
        if (kind == HINT_MIDI) {
            MidiDeviceFile(device, file, sizeof file);
        } else {
            TextCopy(file, sizeof file, device);
        }
        if (file[0] != '\0' && FindDeviceHolder(file, holder, sizeof holder)) {
            TextFormat(out, size, "%s: held by %s", reason, holder);
        } else {
            TextFormat(out, size, "%s: another program holds it", reason);
        }
        break;
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        TextFormat(out, size, "%s: see orvent-update ports", reason);
        break;
    case ENOTTY:
        TextFormat(out, size, "%s: %s is no serial line", reason, device);
        break;
    default:
        TextCopy(out, size, reason);
        break;
    }
    return 1;
}

void ReportOpenHint(const TransportChoice& choice, int error) {
    char device[PATH_SIZE];
    int kind = HINT_SERIAL;
    if (choice.deviceType == DEVICE_TYPE_SERIAL) {
        SerialOsDevicePath(choice.serialPort, device, sizeof device);
    } else if (choice.deviceType == DEVICE_TYPE_MIDI) {
        kind = HINT_MIDI;
        TextCopy(device, sizeof device, choice.midiOutput);
    } else {
        return; // the USB bulk transport's texts say what there is to say
    }
    char hint[TEXT_SIZE * 2];
    if (FormatOpenHint(kind, device, error, hint, sizeof hint)) {
        TerminalError("%s", hint);
    }
}

const char* FileOpenReason(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return "(no such file)";
        }
        return errno == EACCES ? "(no permission to read it)" : "";
    }
    if (S_ISDIR(st.st_mode)) {
        return "(a folder, not a file)";
    }
    if (access(path, R_OK) != 0 && errno == EACCES) {
        return "(no permission to read it)";
    }
    return "";
}

void AppendFileOpenReason(const char* path, char* text, size_t size) {
    const char* reason = FileOpenReason(path);
    if (reason[0] != '\0') {
        TextAppend(text, size, " ");
        TextAppend(text, size, reason);
    }
}
