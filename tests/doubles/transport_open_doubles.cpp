#include "tests/doubles/transport_open_doubles.h"

#include "midi/midi_transport.h"
#include "platform/text.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"

#include <cstring>

OpenDoubleState g_openDoubles;

void OpenDoublesReset(void) {
    std::memset(&g_openDoubles, 0, sizeof g_openDoubles);
}

namespace {

int Open(OpenDoubleTransport t, char* errorText, const char* failure) {
    g_openDoubles.openCalls[t]++;
    if (g_openDoubles.failOpen[t]) {
        TextCopy(errorText, PATH_SIZE, failure);
        return 0;
    }
    g_openDoubles.isOpen[t] = 1;
    return 1;
}

void Close(OpenDoubleTransport t) {
    g_openDoubles.closeCalls[t]++;
    g_openDoubles.isOpen[t] = 0;
}

} // namespace

void SerialProbePorts(unsigned char* portPresent) {
    for (int i = 0; i < SERIAL_PORT_COUNT; i++) {
        portPresent[i] = (unsigned char)(i == 1);
    }
}

int SerialOpen(int portNumber, int baudRate, char* errorText) {
    g_openDoubles.lastSerialPort = portNumber;
    g_openDoubles.lastSerialRate = baudRate;
    return Open(OPEN_DOUBLE_SERIAL, errorText, "Comm Port Open Error!(CreateFile)");
}

void SerialClose(void) {
    Close(OPEN_DOUBLE_SERIAL);
}

int MidiOpen(const char* outputPortName, const char* inputPortName, char* errorText,
             int onlyMavoDriver) {
    (void)onlyMavoDriver;
    TextCopy(g_openDoubles.lastMidiOutput, sizeof g_openDoubles.lastMidiOutput, outputPortName);
    TextCopy(g_openDoubles.lastMidiInput, sizeof g_openDoubles.lastMidiInput, inputPortName);
    return Open(OPEN_DOUBLE_MIDI, errorText, "Midi out port is not exist : ORVENT 1 SOUND");
}

void MidiClose(void) {
    Close(OPEN_DOUBLE_MIDI);
}

void init_cusbbulk(void) {}

void free_cusbbulk(void) {}

int UsbBulkOpen(char* errorText) {
    return Open(OPEN_DOUBLE_USB_BULK, errorText, "Usb Open Error!(Can't find VerUp Device)");
}

void UsbBulkClose(void) {
    Close(OPEN_DOUBLE_USB_BULK);
}

int KernelMidiOpen(char* errorText) {
    return Open(OPEN_DOUBLE_KERNEL_MIDI, errorText, " Kernel MIDI driver open error.\n");
}

void KernelMidiClose(void) {
    Close(OPEN_DOUBLE_KERNEL_MIDI);
}
