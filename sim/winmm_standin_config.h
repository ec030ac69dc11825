// The stand-in winmm.dll's configuration from environment variables (documented in
// sim/winmm_standin.h).
#pragma once

#include "sim/virtual_instrument.h"

#include <cstdint>

#define STANDIN_MAX_PORTS 8
#define STANDIN_PORT_NAME_SIZE 32 // szPname
#define STANDIN_PORT_LIST_SIZE 2048

struct StandinPortInfo {
    char name[STANDIN_PORT_NAME_SIZE + 1]; // one of 32 characters fills szPname whole
    uint16_t technology;
    uint16_t manufacturer;
    uint16_t product;
    uint32_t driverVersion;
    int linked;         // cabled to the instrument
    int failOpens;      // the first failOpens opens fail ...
    uint32_t openError; // ... with this result code
    int vanishAfter;    // gone from the list after this many opens; 0: never
    int keep;           // the driver keeps every buffer it is given
};

// Copies the variable's value into text (size bytes); 0 when it is not set.
int StandinGetEnv(const char* name, char* text, int size);

// The port lists: parsed from the variable's text, or the defaults when it is not set.
// Returns the number of ports.
int StandinParsePorts(const char* text, int isSet, int output, StandinPortInfo* ports);

// The instrument's configuration: the defaults, changed by every ORV_VI_* variable set.
void StandinReadInstrumentConfig(VirtualInstrumentConfig* config);
