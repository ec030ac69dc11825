// The serial port transport, absent (SERIAL absent).
#include "platform/text.h"
#include "transports/absent_transport.h"
#include "transports/serial_port.h"

int SerialOpen(int, int, char* errorText) {
    TextFormat(errorText, PATH_SIZE, ABSENT_TRANSPORT_TEXT, "The serial port");
    return 0;
}

void SerialClose(void) {}

int SerialSend(const unsigned char*, int) {
    return 0;
}

int SerialReceive(unsigned char*, int) {
    return 0;
}

void SerialAbortReceive(void) {}
