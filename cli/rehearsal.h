// A rehearsal: the virtual instrument in this process, at the far end of a pseudo-terminal
// that the serial transport opens as it would open a device. Everything the updater does
// runs as for a real instrument; only the instrument is not real, and its flash can be
// compared with the file afterwards.
#pragma once

#include "sim/virtual_instrument.h"
#include "sysfile/system_file.h"

#include <vector>

// Starts the instrument with config on a new pseudo-terminal; devicePath (PATH_SIZE bytes)
// receives the path to open. 0 with errorText (TEXT_SIZE bytes) set on failure.
int RehearsalStart(const VirtualInstrumentConfig* config, char* devicePath, char* errorText);

// Ends the instrument's line and its thread; harmless when none runs.
void RehearsalStop(void);

// An instrument that fits the file: the first block's product and member id, each
// block's address and size (the protocol that names no address needs them), a flash
// window that holds every block, and version 0.00 everywhere.
void RehearsalConfigForFile(const std::vector<SystemFileHeader>& blocks,
                            VirtualInstrumentConfig* config);
