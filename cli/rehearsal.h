// A rehearsal: the virtual instrument in this process, at the far end of a pseudo-terminal
// that the serial transport opens as it would open a device. Everything the updater does
// runs as for a real instrument; only the instrument is not real, and its flash can be
// compared with the file afterwards.
#pragma once

#include "sim/virtual_instrument.h"

// Starts the instrument with config on a new pseudo-terminal; devicePath (PATH_SIZE bytes)
// receives the path to open. 0 with errorText (TEXT_SIZE bytes) set on failure.
int RehearsalStart(const VirtualInstrumentConfig* config, char* devicePath, char* errorText);

// Ends the instrument's line and its thread; harmless when none runs.
void RehearsalStop(void);
