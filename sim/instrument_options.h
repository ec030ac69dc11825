// The virtual instrument's settings by name, as serial-instrument's options and the
// command-line program's rehearsal spell them, so both read them alike.
#pragma once

#include "sim/virtual_instrument.h"

#include <cstdint>

// A number in decimal or 0x hexadecimal, 32 bits at most. 1 on success.
int InstrumentParseNumber(const char* text, uint32_t* value);

// A number as above that fits an int. 1 on success.
int InstrumentParseInt(const char* text, int* value);

// A product id as a block header holds it: "3C", "3C:12", "00:12:34", "00 12 34" or
// "001234"; bytes not given are 0xFF. 1 on success.
int InstrumentParseProductId(const char* text, unsigned char* id);

// Two numbers as FIRST:SECOND. 1 on success.
int InstrumentParsePair(const char* text, uint32_t* first, uint32_t* second);

// Applies one setting; name without leading dashes:
//   product-id HEX        1 to 3 bytes: 3C, 3C:12, 00:12:34 (absent bytes FF)
//   member-id N           128 or above: no member id
//   protocol N, packet-size N, flags N, write-steps N
//   version CODE=M.mm     version held for a block code (* for all), comma-separated
//   block-address CODE=N, block-size CODE=N
//   flash BASE:SIZE, reply-delay MS
//   fault KIND, fault-at N, fault-status N, fault-text TEXT, fault-delay MS,
//   other-product-id HEX
// 1 when applied; 0 for an unknown name or a bad value (config may then be partly set).
int InstrumentApplyOption(const char* name, const char* value, VirtualInstrumentConfig* config);
