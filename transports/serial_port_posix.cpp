// The serial port on a POSIX device file. COM1..COM4 are /dev/ttyS0..3 unless a program
// named other devices (SerialOsNameDevice) or the environment does in ORV_COM1..ORV_COM4
// (a USB adapter, a pseudo-terminal).
// A handle is the file descriptor, so tools may use these functions on a device they
// opened themselves.
#include "transports/serial_port_os.h"
#include "transports/serial_port_posix.h"

#include "platform/platform_poll.h"
#include "platform/text.h"

// termios2 carries the bit rate as a number, which a rate such as 31250 needs: the classic
// termios interface only knows the standard Bnnn rates. Its header clashes with
// <termios.h>, which is therefore not used here at all.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

struct SerialOs {
    struct termios2 settings; // as read by the last SerialOsGetLineSettings
    int readTimeoutMs;
    int writeTimeoutMs;
    // The last failure of a read or write, for the program to say why its run ended; the
    // protocol thread writes it, the program reads it once that thread has ended.
    int portError;
};

static SerialOs s_os = {{}, SERIAL_IO_TIMEOUT_MS, SERIAL_IO_TIMEOUT_MS, 0};

int SerialOsPortError(void) {
    return s_os.portError;
}

// Keeps why the port failed and gives the read's or write's failure result.
static int PortFailed(int error, int result) {
    s_os.portError = error;
    return result;
}

// Devices a program named itself; an empty name leaves the port to the environment.
static char s_namedDevices[4][PATH_SIZE];

void SerialOsNameDevice(int portNumber, const char* path) {
    if (portNumber >= 1 && portNumber <= 4) {
        TextCopy(s_namedDevices[portNumber - 1], PATH_SIZE, path != nullptr ? path : "");
    }
}

void SerialOsDevicePath(int portNumber, char* path, size_t size) {
    if (portNumber < 1 || portNumber > 4) {
        TextCopy(path, size, "");
        return;
    }
    if (s_namedDevices[portNumber - 1][0] != '\0') {
        TextCopy(path, size, s_namedDevices[portNumber - 1]);
        return;
    }
    char name[16];
    TextFormat(name, sizeof name, "ORV_COM%d", portNumber);
    const char* configured = getenv(name);
    if (configured != nullptr && configured[0] != '\0') {
        TextCopy(path, size, configured);
    } else {
        TextFormat(path, size, "/dev/ttyS%d", portNumber - 1);
    }
}

SerialHandle SerialOsOpen(int portNumber) {
    if (portNumber < 1 || portNumber > 4) {
        return SERIAL_NO_HANDLE;
    }
    char path[260];
    SerialOsDevicePath(portNumber, path, sizeof path);
    // O_NONBLOCK: a port without carrier must not hold up the open; reads and writes wait
    // in poll() with the port's time-out instead.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        s_os.portError = errno;
        return SERIAL_NO_HANDLE;
    }
    // Windows opens a COM port without sharing. The advisory lock shuts out every other
    // opener that asks for it (a second copy of this program included, whatever its
    // rights); TIOCEXCL shuts out other unprivileged openers of a terminal.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        // EWOULDBLOCK would read "Resource temporarily unavailable": the port is taken.
        s_os.portError = EBUSY;
        return SERIAL_NO_HANDLE;
    }
    ioctl(fd, TIOCEXCL);
    s_os.portError = 0;
    return (SerialHandle)fd;
}

int SerialOsGetLineSettings(SerialHandle port) {
    if (port == SERIAL_NO_HANDLE) {
        return 0;
    }
    // Fails with ENOTTY on a device that is no serial line.
    return ioctl((int)port, TCGETS2, &s_os.settings) == 0 ? 1 : PortFailed(errno, 0);
}

struct StandardRate {
    int rate;
    tcflag_t code;
};

static const StandardRate kStandardRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// A standard rate keeps its classic code, which every reader of the line's settings
// understands; only the others (31250) need the rate as a number.
static tcflag_t RateCode(int baudRate) {
    for (const StandardRate& r : kStandardRates) {
        if (r.rate == baudRate) {
            return r.code;
        }
    }
    return BOTHER;
}

int SerialOsSetLineSettings(SerialHandle port, int baudRate) {
    // A rate of 0 would hang the line up instead of setting a speed.
    if (port == SERIAL_NO_HANDLE || baudRate <= 0) {
        return 0;
    }
    struct termios2 line = s_os.settings;
    line.c_cflag &= ~(tcflag_t)(CBAUD | CIBAUD | CSIZE | PARENB | CSTOPB);
    line.c_cflag |= RateCode(baudRate) | CS8;
    line.c_ispeed = (speed_t)baudRate;
    line.c_ospeed = (speed_t)baudRate;
    // A Windows COM port passes every byte as it is; a terminal does not unless told so.
    // Receiving (CREAD) and ignoring the modem lines (CLOCAL) are what a COM port does
    // without being asked. Hardware flow control is left as the port has it, but software
    // flow control and the line editing would eat or change protocol bytes (0x11, 0x13,
    // 0x0D in packet numbers and raw data), so they go.
    line.c_cflag |= CREAD | CLOCAL;
    line.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                IXON | IXOFF | IXANY | IMAXBEL);
    line.c_oflag &= ~(tcflag_t)OPOST;
    line.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (ioctl((int)port, TCSETS2, &line) != 0) {
        return 0;
    }
    // A Windows COM port starts empty at every open. A terminal keeps what came while
    // nobody read it: the instrument's late answer to a run stopped in mid-exchange, which
    // the next run would take for the answer to its own first request.
    ioctl((int)port, TCFLSH, TCIFLUSH);
    s_os.settings = line;
    return 1;
}

int SerialOsSetTimeouts(SerialHandle port, int readMs, int writeMs) {
    if (port == SERIAL_NO_HANDLE || readMs < 0 || writeMs < 0) {
        return 0;
    }
    s_os.readTimeoutMs = readMs;
    s_os.writeTimeoutMs = writeMs;
    return 1;
}

int SerialOsReadByte(SerialHandle port, unsigned char* byte) {
    if (port == SERIAL_NO_HANDLE) {
        return -1;
    }
    int fd = (int)port;
    const uint64_t deadline = PlatformDeadlineAfterMs(s_os.readTimeoutMs);
    for (;;) {
        struct pollfd waitFor = {fd, POLLIN, 0};
        int ready = PlatformPollUntil(&waitFor, 1, deadline);
        if (ready < 0) {
            return PortFailed(errno, -1);
        }
        if (ready == 0) {
            return 0;
        }
        if ((waitFor.revents & POLLIN) == 0) {
            // Hang-up or error without data: the port stays in this state, so waiting on
            // would only spin until the time-out.
            return PortFailed(EIO, -1);
        }
        ssize_t n = read(fd, byte, 1);
        if (n == 1) {
            return 1;
        }
        if (n == 0) {
            return PortFailed(EIO, -1); // a terminal that hung up reads as ended
        }
        if (errno != EAGAIN && errno != EINTR) {
            return PortFailed(errno, -1); // EIO: the other end of the line hung up
        }
        if (PlatformTimeLeftMs(deadline) == 0) {
            return 0;
        }
    }
}

int SerialOsWrite(SerialHandle port, const unsigned char* data, int length) {
    if (port == SERIAL_NO_HANDLE || length < 0) {
        return 0;
    }
    int fd = (int)port;
    const uint64_t deadline = PlatformDeadlineAfterMs(s_os.writeTimeoutMs);
    int done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, (size_t)(length - done));
        if (n > 0) {
            done += (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return PortFailed(errno, 0);
        }
        struct pollfd waitFor = {fd, POLLOUT, 0};
        int ready = PlatformPollUntil(&waitFor, 1, deadline);
        if (ready < 0) {
            return PortFailed(errno, 0);
        }
        if (ready == 0) {
            return 0; // time-out with bytes still unsent: the line is slow, not gone
        }
        if ((waitFor.revents & POLLOUT) == 0) {
            return PortFailed(EIO, 0); // hang-up or error with bytes still unsent
        }
    }
    return 1;
}

void SerialOsClose(SerialHandle port) {
    if (port == SERIAL_NO_HANDLE) {
        return;
    }
    // The exclusive mark outlives this descriptor while anyone else keeps the terminal
    // open (a pseudo-terminal's other side); the next opener must not find it set.
    ioctl((int)port, TIOCNXCL);
    close((int)port);
}
