#include "cli/rehearsal.h"

#include "platform/text.h"
#include "sim/pty_instrument_server.h"

namespace {

// The rate only sets the line up as a serial line; a pseudo-terminal carries the bytes at
// whatever rate the transport asks for.
const int kRehearsalBaudRate = 38400;

int Fail(const char* text, char* errorText) {
    TextCopy(errorText, TEXT_SIZE, text);
    RehearsalStop();
    return 0;
}

} // namespace

int RehearsalStart(const VirtualInstrumentConfig* config, char* devicePath, char* errorText) {
    RehearsalStop();
    VirtualInstrumentReset(config);
    const PtyServerSettings line = {nullptr, kRehearsalBaudRate, 0, nullptr, nullptr};
    if (!PtyServerOpen(&line, devicePath)) {
        return Fail("No pseudo-terminal for the rehearsal", errorText);
    }
    if (!PtyServerStart()) {
        return Fail("No thread for the rehearsal", errorText);
    }
    return 1;
}

void RehearsalStop(void) {
    PtyServerClose();
}
