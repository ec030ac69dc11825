// The virtual instrument's settings by name: one table that serial-instrument's options and
// help and the command-line program's rehearsal are all made from, so they read them alike.
#pragma once

#include "sim/virtual_instrument.h"
#include "sysfile/system_file.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A number in decimal or 0x hexadecimal, 32 bits at most. 1 on success.
int InstrumentParseNumber(const char* text, uint32_t* value);

// A number as above that fits an int. 1 on success.
int InstrumentParseInt(const char* text, int* value);

// A product id as a block header holds it: "3C", "3C:12", "00:12:34", "00 12 34" or
// "001234"; bytes not given are 0xFF. 1 on success.
int InstrumentParseProductId(const char* text, unsigned char* id);

// Two numbers as FIRST:SECOND. 1 on success.
int InstrumentParsePair(const char* text, uint32_t* first, uint32_t* second);

// How a setting's value goes into a configuration: 1 when taken, 0 for a bad value (the
// configuration may then be partly set). A switch does not look at its value.
typedef int (*InstrumentSettingApply)(const char* value, VirtualInstrumentConfig* config);

// One setting of the instrument, as serial-instrument offers it (--NAME VALUE) and, when
// `rehearsal` is set, orvent-update's rehearsal too (--instrument-NAME VALUE).
struct InstrumentSetting {
    const char* name;      // without leading dashes
    const char* valueName; // what the value looks like in the help; null: a switch, no value
    const char* help;
    int rehearsal;                // offered by the rehearsal; such a setting takes a value
    const char* rehearsalDefault; // what the rehearsal's instrument has untold, for the
                                  // rehearsal's help; null when it need not say
    InstrumentSettingApply apply;
};

// The settings in the order the help lists them.
int InstrumentSettingCount(void);
const InstrumentSetting* InstrumentSettingAt(int index);

// The setting of that name (without leading dashes); null for none.
const InstrumentSetting* InstrumentFindSetting(const char* name);

// Applies one setting by name (without leading dashes). 1 when applied; 0 for an unknown
// name or a bad value (config may then be partly set).
int InstrumentApplyOption(const char* name, const char* value, VirtualInstrumentConfig* config);

// Appends a help line for every setting to text, "  --NAME VALUE" and its help beside it,
// wrapped to fit a terminal; cut when size is too small.
void InstrumentSettingsHelp(char* text, size_t size);

// An instrument that fits the file: the first block's product and member id, each
// block's address and size (the protocol that names no address needs them), a flash
// window that holds every block, and version 0.00 everywhere.
void RehearsalConfigForFile(const std::vector<SystemFileHeader>& blocks,
                            VirtualInstrumentConfig* config);
