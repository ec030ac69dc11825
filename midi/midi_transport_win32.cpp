// The MIDI transport on the Windows multimedia MIDI service: finding, checking and
// opening the instrument's two ports, and System Exclusive messages in both directions.
#include "midi/midi_transport.h"

#include "midi/midi_memory_win32.h"
#include "midi/midi_port_names.h"
#include "midi/midi_ring.h"
#include "midi/midi_transport_testing.h"
#include "platform/text.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstring>

namespace {

#define MIDI_OPEN_TEXT_SIZE PATH_SIZE // the open operations' error texts hold 260 bytes

struct MidiTransport {
    HMIDIOUT outputPort;
    HMIDIIN inputPort;
    MidiBlock txHeader;
    MidiBlock txBuffer; // MIDI_TX_BUFFER_SIZE bytes
    MidiBlock rxHeaders[MIDI_RX_BUFFER_COUNT];
    MidiBlock rxBuffers[MIDI_RX_BUFFER_COUNT]; // MIDI_RX_BUFFER_SIZE bytes each
    MidiRing ring;                             // writeIndex, readIndex, requeueIndex, tickCounter
};

MidiTransport g_midiTransport;

const MidiMemoryFunctions kSystemMemory = {GlobalAlloc, GlobalLock, GlobalUnlock, GlobalFree};
MidiMemoryFunctions s_memory = kSystemMemory;

MIDIHDR* TxHeader(void) {
    return static_cast<MIDIHDR*>(g_midiTransport.txHeader.address);
}

MIDIHDR* RxHeader(int index) {
    return static_cast<MIDIHDR*>(g_midiTransport.rxHeaders[index].address);
}

unsigned char* RxBuffer(int index) {
    return static_cast<unsigned char*>(g_midiTransport.rxBuffers[index].address);
}

// The service updates the flags from its own thread while a header is queued.
DWORD HeaderFlags(const MIDIHDR* header) {
    return *reinterpret_cast<const volatile DWORD*>(&header->dwFlags);
}

int AllocBlock(MidiBlock* block, SIZE_T size, const char* allocText, const char* lockText,
               char* errorText) {
    return MidiBlockAlloc(&s_memory, block, size, allocText, lockText, errorText,
                          MIDI_OPEN_TEXT_SIZE);
}

void ReleaseBlock(MidiBlock* block) {
    MidiBlockRelease(&s_memory, block);
}

// A block the service still holds, because its port refused to close, is its own from
// now on: forgotten here rather than freed under it.
void ReleaseBlockUnlessHeld(MidiBlock* block, int held) {
    if (held) {
        *block = MidiBlock();
    } else {
        ReleaseBlock(block);
    }
}

int AllocAll(char* errorText) {
    MidiTransport& t = g_midiTransport;
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        if (!AllocBlock(&t.rxHeaders[i], sizeof(MIDIHDR), "Not Enough Memory(Alloc MIDIINHDR)",
                        "Not Enough Memory(Lock MIDIINHDR)", errorText)) {
            return 0;
        }
    }
    if (!AllocBlock(&t.txHeader, sizeof(MIDIHDR), "Not Enough Memory(Alloc MIDIOUTHDR)",
                    "Not Enough Memory(Lock MIDIOUTHDR)", errorText)) {
        return 0;
    }
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        if (!AllocBlock(&t.rxBuffers[i], MIDI_RX_BUFFER_SIZE, "Not Enough Memory(Alloc ExcIn)",
                        "Not Enough Memory(Lock ExcIn)", errorText)) {
            return 0;
        }
    }
    return AllocBlock(&t.txBuffer, MIDI_TX_BUFFER_SIZE, "Not Enough Memory(Alloc ExcOut)",
                      "Not Enough Memory(Lock ExcOut)", errorText);
}

void BindBuffers(void) {
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        RxHeader(i)->lpData = static_cast<LPSTR>(g_midiTransport.rxBuffers[i].address);
        RxHeader(i)->dwBufferLength = MIDI_RX_BUFFER_SIZE;
    }
    TxHeader()->lpData = static_cast<LPSTR>(g_midiTransport.txBuffer.address);
    TxHeader()->dwBufferLength = MIDI_TX_BUFFER_SIZE;
}

int IsOldMavoDriver(const MidiPortInfo& port) {
    return port.manufacturer == MAVO_MANUFACTURER_ID &&
           port.driverVersion < MAVO_DRIVER_VERSION_MIN;
}

int CheckDrivers(const MidiPortInfo& out, const MidiPortInfo& in, const char* outputPortName,
                 const char* inputPortName, int onlyMavoDriver, char* errorText) {
    if (onlyMavoDriver) {
        if (out.manufacturer != MAVO_MANUFACTURER_ID) {
            TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi out port is not MAVO MIDI-Driver : %s",
                       outputPortName);
            return 0;
        }
        if (in.manufacturer != MAVO_MANUFACTURER_ID) {
            TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi in port is not MAVO MIDI-Driver : %s",
                       inputPortName);
            return 0;
        }
    }
    if (IsOldMavoDriver(out) || IsOldMavoDriver(in)) {
        TextCopy(errorText, MIDI_OPEN_TEXT_SIZE,
                 "MAVO USB MIDI driver version error(requires 1.08 or later)");
        return 0;
    }
    return 1;
}

void CALLBACK MidiInCallback(HMIDIIN port, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2) {
    (void)instance;
    (void)param1;
    (void)param2;
    if (port == g_midiTransport.inputPort && message == MIM_LONGDATA) {
        MidiRingBufferReturned(&g_midiTransport.ring);
    }
}

void CALLBACK MidiOutCallback(HMIDIOUT port, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2) {
    (void)port;
    (void)message;
    (void)instance;
    (void)param1;
    (void)param2;
}

// The first byte is cleared so that an old 0xF0 is never taken for a new message.
int RequeueRxBuffer(int slot) {
    MIDIHDR* header = RxHeader(slot);
    midiInUnprepareHeader(g_midiTransport.inputPort, header, sizeof(MIDIHDR));
    RxBuffer(slot)[0] = 0;
    header->dwBufferLength = MIDI_RX_BUFFER_SIZE;
    header->dwBytesRecorded = 0;
    midiInPrepareHeader(g_midiTransport.inputPort, header, sizeof(MIDIHDR));
    return midiInAddBuffer(g_midiTransport.inputPort, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR;
}

void StartInput(void) {
    MidiTransport& t = g_midiTransport;
    midiInReset(t.inputPort);
    unsigned char* buffers[MIDI_RX_BUFFER_COUNT];
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        midiInPrepareHeader(t.inputPort, RxHeader(i), sizeof(MIDIHDR));
        midiInAddBuffer(t.inputPort, RxHeader(i), sizeof(MIDIHDR));
        buffers[i] = RxBuffer(i);
    }
    midiOutPrepareHeader(t.outputPort, TxHeader(), sizeof(MIDIHDR));
    MidiRingStart(&t.ring, buffers, RequeueRxBuffer);
    midiInStart(t.inputPort);
}

// Closes the ports and releases every block, without stopping input first.
void MidiReleaseAll(void) {
    MidiTransport& t = g_midiTransport;
    int outputHeld = 0;
    int inputHeld = 0;
    if (t.outputPort != NULL) {
        // A message may still be leaving (a stop during a long send): the service would
        // refuse to unprepare the header and to close the port, keep the port open for
        // good and go on reading a freed buffer. A reset hands the header back first;
        // only then, since a reset also puts note-off and sustain-off messages for every
        // channel on the wire, which an instrument in update mode must not get.
        if (HeaderFlags(TxHeader()) & MHDR_INQUEUE) {
            midiOutReset(t.outputPort);
        }
        midiOutUnprepareHeader(t.outputPort, TxHeader(), sizeof(MIDIHDR));
        outputHeld = midiOutClose(t.outputPort) == MIDIERR_STILLPLAYING;
        t.outputPort = NULL;
    }
    if (t.inputPort != NULL) {
        for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
            midiInUnprepareHeader(t.inputPort, RxHeader(i), sizeof(MIDIHDR));
        }
        inputHeld = midiInClose(t.inputPort) == MIDIERR_STILLPLAYING;
        t.inputPort = NULL;
    }
    MidiRingStop(&t.ring);
    ReleaseBlockUnlessHeld(&t.txBuffer, outputHeld);
    ReleaseBlockUnlessHeld(&t.txHeader, outputHeld);
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        ReleaseBlockUnlessHeld(&t.rxBuffers[i], inputHeld);
        ReleaseBlockUnlessHeld(&t.rxHeaders[i], inputHeld);
    }
}

int FailOpen(void) {
    MidiReleaseAll();
    return 0;
}

} // namespace

void MidiSetMemoryFunctions(const MidiMemoryFunctions* functions) {
    s_memory = functions != NULL ? *functions : kSystemMemory;
}

void MidiErrorText(unsigned int code, char* text, int textSize) {
    const char* message;
    switch (code) {
    case MMSYSERR_BADDEVICEID:
        message = "Bad Device ID";
        break;
    case MMSYSERR_ALLOCATED:
        message = "Allocated";
        break;
    case MMSYSERR_INVALHANDLE:
        message = "Invalid Handle";
        break;
    case MMSYSERR_NOMEM:
        message = "Not Enough Memory";
        break;
    case MMSYSERR_INVALFLAG:
        message = "Invalid Flags";
        break;
    case MMSYSERR_INVALPARAM:
        message = "Invalid Param";
        break;
    case MIDIERR_UNPREPARED:
        message = "Unprepared";
        break;
    case MIDIERR_STILLPLAYING:
        message = "Still Playing";
        break;
    default:
        message = "Unexpected Error";
        break;
    }
    TextCopy(text, (size_t)textSize, message);
}

int MidiOpen(const char* outputPortName, const char* inputPortName, char* errorText,
             int onlyMavoDriver) {
    MidiTransport& t = g_midiTransport;
    if (outputPortName == NULL) {
        outputPortName = "";
    }
    if (inputPortName == NULL) {
        inputPortName = "";
    }
    // An open transport would lose its ports and blocks to the new ones for good.
    MidiClose();

    if (!AllocAll(errorText)) {
        return FailOpen();
    }
    BindBuffers();

    // Only hardware MIDI ports count: a synthesizer of the same name never reaches the
    // instrument.
    MidiPortInfo outPort;
    MidiPortInfo inPort;
    int outDevice = MidiPortFind(MIDI_PORT_OUTPUT, outputPortName, &outPort);
    int inDevice = MidiPortFind(MIDI_PORT_INPUT, inputPortName, &inPort);
    if (outDevice < 0) {
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi out port is not exist : %s",
                   outputPortName);
        return FailOpen();
    }
    if (inDevice < 0) {
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi in port is not exist : %s", inputPortName);
        return FailOpen();
    }
    if (!CheckDrivers(outPort, inPort, outputPortName, inputPortName, onlyMavoDriver, errorText)) {
        return FailOpen();
    }

    char codeText[TEXT_SIZE];
    MMRESULT result =
        midiInOpen(&t.inputPort, (UINT)inDevice, (DWORD_PTR)MidiInCallback, 0, CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        t.inputPort = NULL;
        MidiErrorText(result, codeText, sizeof codeText);
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi In Open Error : %s", codeText);
        return FailOpen();
    }
    result = midiOutOpen(&t.outputPort, (UINT)outDevice, (DWORD_PTR)MidiOutCallback, 0,
                         CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        t.outputPort = NULL;
        MidiErrorText(result, codeText, sizeof codeText);
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi Out Open Error : %s", codeText);
        return FailOpen();
    }
    StartInput();
    return 1;
}

void MidiClose(void) {
    MidiTransport& t = g_midiTransport;
    if (t.inputPort != NULL) {
        // The reset hands every queued input buffer back before any block is released.
        midiInStop(t.inputPort);
        midiInReset(t.inputPort);
    }
    MidiReleaseAll();
}

int MidiSend(const unsigned char* bytes, int length) {
    MidiTransport& t = g_midiTransport;
    MIDIHDR* header = TxHeader();
    if (t.outputPort == NULL || header == NULL || bytes == NULL || length <= 0 ||
        length > MIDI_TX_BUFFER_SIZE) {
        return 0;
    }
    // The service reads the buffer until it marks the header done: copying over a message
    // that is still leaving would corrupt it on the wire, and the service refuses the new
    // one anyway.
    if (HeaderFlags(header) & MHDR_INQUEUE) {
        return 0;
    }
    memcpy(header->lpData, bytes, (size_t)length);
    header->dwBufferLength = (DWORD)length;
    if (HeaderFlags(header) & MHDR_DONE) {
        if (midiOutPrepareHeader(t.outputPort, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
            return 0;
        }
    }
    return midiOutLongMsg(t.outputPort, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR ? 1 : 0;
}

int MidiReceive(unsigned char* buffer, int capacity, int timeoutTicks) {
    return MidiRingReceive(&g_midiTransport.ring, buffer, capacity, timeoutTicks);
}

void MidiAbortReceive(void) {
    MidiRingAbort(&g_midiTransport.ring);
}
