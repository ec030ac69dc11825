#include "tests/doubles/unused_transports.h"
#include "transports/serial_port.h"

int SerialSend(const unsigned char*, int) {
    return 0;
}

int SerialReceive(unsigned char*, int) {
    return 0;
}

void SerialAbortReceive(void) {}
