// The system's raw MIDI ports through alsa-lib: the listing from each card's control
// interface, and the ports themselves opened without blocking and waited on with poll.
#include "midi/midi_rawmidi.h"

#include "platform/platform_poll.h"
#include "platform/text.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>

#include <cstring>

#include <new>

namespace {

#define RAWMIDI_POLL_FDS 4

struct RawMidiPort {
    snd_rawmidi_t* input;
    snd_rawmidi_t* output;
};

RawMidiPort* Port(RawMidiHandle handle) {
    return reinterpret_cast<RawMidiPort*>(handle);
}

// Waits for `events` on the stream's descriptors until the deadline (PlatformPollUntil's
// clock): 1 when they came, 0 on time-out, the error number negated on failure or when the
// port reports an error or hang-up instead.
int WaitFor(snd_rawmidi_t* stream, short events, uint64_t deadline) {
    struct pollfd fds[RAWMIDI_POLL_FDS];
    int count = snd_rawmidi_poll_descriptors_count(stream);
    if (count <= 0 || count > RAWMIDI_POLL_FDS) {
        return -EINVAL;
    }
    count = snd_rawmidi_poll_descriptors(stream, fds, (unsigned int)count);
    if (count <= 0) {
        return -EINVAL;
    }
    for (;;) {
        int ready = PlatformPollUntil(fds, count, deadline);
        if (ready < 0) {
            return -errno;
        }
        if (ready == 0) {
            return 0;
        }
        unsigned short revents = 0;
        int result =
            snd_rawmidi_poll_descriptors_revents(stream, fds, (unsigned int)count, &revents);
        if (result < 0) {
            return result;
        }
        if (revents & events) {
            return 1;
        }
        // An unplugged device reports only these, and keeps reporting them; its reads and
        // writes fail with ENODEV.
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            return -ENODEV;
        }
    }
}

// The port's name as the listing gives it: the subdevice's, else the device's.
void PortName(snd_rawmidi_info_t* info, char* name, size_t size) {
    const char* subdevice = snd_rawmidi_info_get_subdevice_name(info);
    if (subdevice != nullptr && subdevice[0] != '\0') {
        TextCopy(name, size, subdevice);
    } else {
        const char* device = snd_rawmidi_info_get_name(info);
        TextCopy(name, size, device != nullptr ? device : "");
    }
}

// Subdevices of one direction of a device; 0 when the device has no such direction.
int SubdeviceCount(snd_ctl_t* control, snd_rawmidi_info_t* info, int device,
                   snd_rawmidi_stream_t stream) {
    snd_rawmidi_info_set_device(info, (unsigned int)device);
    snd_rawmidi_info_set_subdevice(info, 0);
    snd_rawmidi_info_set_stream(info, stream);
    if (snd_ctl_rawmidi_info(control, info) < 0) {
        return 0;
    }
    return (int)snd_rawmidi_info_get_subdevices_count(info);
}

// The name of one direction of a subdevice; empty when it cannot be read.
void SubdeviceName(snd_ctl_t* control, snd_rawmidi_info_t* info, int device, int sub,
                   snd_rawmidi_stream_t stream, char* name, size_t size) {
    name[0] = '\0';
    snd_rawmidi_info_set_device(info, (unsigned int)device);
    snd_rawmidi_info_set_subdevice(info, (unsigned int)sub);
    snd_rawmidi_info_set_stream(info, stream);
    if (snd_ctl_rawmidi_info(control, info) >= 0) {
        PortName(info, name, size);
    }
}

// Counts one port and fills it in when it fits.
int AddPort(RawMidiPortInfo* ports, int capacity, int count, int card, int device, int sub,
            int canInput, int canOutput, const char* name) {
    if (ports != nullptr && count < capacity) {
        RawMidiPortInfo& port = ports[count];
        port.card = card;
        port.device = device;
        port.subdevice = sub;
        port.canInput = canInput;
        port.canOutput = canOutput;
        TextFormat(port.id, sizeof port.id, "hw:%d,%d,%d", card, device, sub);
        TextCopy(port.name, sizeof port.name, name);
    }
    return count + 1;
}

// Adds the subdevices of one device. A subdevice that goes both ways is one port, unless
// its two directions have names of their own (an instrument's "SOUND" out and "KEYBOARD"
// in): then it is listed once for each, so that either name finds it.
int ListDevice(snd_ctl_t* control, snd_rawmidi_info_t* info, int card, int device,
               RawMidiPortInfo* ports, int capacity, int count) {
    int inputs = SubdeviceCount(control, info, device, SND_RAWMIDI_STREAM_INPUT);
    int outputs = SubdeviceCount(control, info, device, SND_RAWMIDI_STREAM_OUTPUT);
    int subdevices = inputs > outputs ? inputs : outputs;
    for (int sub = 0; sub < subdevices; sub++) {
        char inName[RAWMIDI_NAME_SIZE] = "";
        char outName[RAWMIDI_NAME_SIZE] = "";
        if (sub < inputs) {
            SubdeviceName(control, info, device, sub, SND_RAWMIDI_STREAM_INPUT, inName,
                          sizeof inName);
        }
        if (sub < outputs) {
            SubdeviceName(control, info, device, sub, SND_RAWMIDI_STREAM_OUTPUT, outName,
                          sizeof outName);
        }
        if (sub < inputs && sub < outputs && strcmp(inName, outName) != 0) {
            count = AddPort(ports, capacity, count, card, device, sub, 1, 0, inName);
            count = AddPort(ports, capacity, count, card, device, sub, 0, 1, outName);
        } else {
            count = AddPort(ports, capacity, count, card, device, sub, sub < inputs, sub < outputs,
                            sub < inputs ? inName : outName);
        }
    }
    return count;
}

void CloseStreams(RawMidiPort* port) {
    if (port->input != nullptr) {
        snd_rawmidi_close(port->input);
    }
    if (port->output != nullptr) {
        snd_rawmidi_close(port->output);
    }
}

} // namespace

int RawMidiListPorts(RawMidiPortInfo* ports, int capacity) {
    int count = 0;
    int card = -1;
    // No card at all (no /dev/snd) ends the walk at once with card -1.
    while (snd_card_next(&card) >= 0 && card >= 0) {
        char name[32];
        TextFormat(name, sizeof name, "hw:%d", card);
        snd_ctl_t* control = nullptr;
        if (snd_ctl_open(&control, name, 0) < 0) {
            continue;
        }
        snd_rawmidi_info_t* info = nullptr;
        if (snd_rawmidi_info_malloc(&info) == 0) {
            int device = -1;
            while (snd_ctl_rawmidi_next_device(control, &device) >= 0 && device >= 0) {
                count = ListDevice(control, info, card, device, ports, capacity, count);
            }
            snd_rawmidi_info_free(info);
        }
        snd_ctl_close(control);
    }
    return count;
}

int RawMidiOpen(const char* device, int directions, RawMidiHandle* handle, int* error) {
    *handle = RAWMIDI_NO_HANDLE;
    RawMidiPort* port = new (std::nothrow) RawMidiPort();
    if (port == nullptr) {
        *error = ENOMEM;
        return 0;
    }
    // Without blocking: a port another program holds is refused at once instead of
    // holding up the open; reads and writes wait in poll instead.
    int result = snd_rawmidi_open((directions & RAWMIDI_INPUT) ? &port->input : nullptr,
                                  (directions & RAWMIDI_OUTPUT) ? &port->output : nullptr, device,
                                  SND_RAWMIDI_NONBLOCK);
    if (result < 0) {
        delete port;
        *error = -result;
        return 0;
    }
    // Active sensing on close would put a byte on the wire that an instrument in update
    // mode must not get.
    if (port->output != nullptr) {
        snd_rawmidi_params_t* params = nullptr;
        if (snd_rawmidi_params_malloc(&params) == 0) {
            if (snd_rawmidi_params_current(port->output, params) == 0 &&
                snd_rawmidi_params_set_no_active_sensing(port->output, params, 1) == 0) {
                snd_rawmidi_params(port->output, params);
            }
            snd_rawmidi_params_free(params);
        }
    }
    *handle = reinterpret_cast<RawMidiHandle>(port);
    return 1;
}

int RawMidiRead(RawMidiHandle handle, unsigned char* bytes, int capacity, int timeoutMs) {
    RawMidiPort* port = Port(handle);
    if (port == nullptr || port->input == nullptr || capacity <= 0) {
        return -EBADF;
    }
    const uint64_t deadline = PlatformDeadlineAfterMs(timeoutMs);
    for (;;) {
        ssize_t n = snd_rawmidi_read(port->input, bytes, (size_t)capacity);
        if (n > 0) {
            return (int)n;
        }
        if (n != -EAGAIN && n != -EINTR) {
            return n < 0 ? (int)n : -EIO;
        }
        // A wait that found the port ready but no byte in it goes on for the time left.
        if (PlatformTimeLeftMs(deadline) == 0) {
            return 0;
        }
        int ready = WaitFor(port->input, POLLIN, deadline);
        if (ready <= 0) {
            return ready;
        }
    }
}

int RawMidiWrite(RawMidiHandle handle, const unsigned char* bytes, int length) {
    RawMidiPort* port = Port(handle);
    if (port == nullptr || port->output == nullptr) {
        return -EBADF;
    }
    if (bytes == nullptr || length < 0) {
        return -EINVAL;
    }
    const uint64_t deadline = PlatformDeadlineAfterMs(RAWMIDI_WRITE_TIMEOUT_MS);
    int done = 0;
    while (done < length) {
        ssize_t n = snd_rawmidi_write(port->output, bytes + done, (size_t)(length - done));
        if (n > 0) {
            done += (int)n;
            continue;
        }
        if (n != -EAGAIN && n != -EINTR && n != 0) {
            return (int)n;
        }
        if (PlatformTimeLeftMs(deadline) == 0) {
            return 0;
        }
        int ready = WaitFor(port->output, POLLOUT, deadline);
        if (ready <= 0) {
            return ready;
        }
    }
    return 1;
}

void RawMidiClose(RawMidiHandle handle) {
    RawMidiPort* port = Port(handle);
    if (port == nullptr) {
        return;
    }
    CloseStreams(port);
    delete port;
}
