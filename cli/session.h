// What the commands that talk to an instrument share: the system file's blocks, the
// instrument chosen (a device or the rehearsal) with the engine's buffers, and the
// version inquiry of every block.
#pragma once

#include "cli/commands.h"
#include "sysfile/system_file.h"
#include "update/update_engine.h"

#include <cstddef>
#include <string>
#include <vector>

// Every block header of the file, in order. 0 with the reader's text in errorText
// (TEXT_SIZE bytes); blocks then holds the good blocks before the broken one.
int ReadSystemFile(const std::string& file, std::vector<SystemFileHeader>* blocks, char* errorText);

// The file and one line per block: name, code, version, ids, address, offset and size.
void PrintBlocks(const std::string& file, const std::vector<SystemFileHeader>& blocks);

// "3C", "3C:12" or "00:12:34", as a header holds it.
void FormatProductId(const SystemFileHeader& header, char* out, size_t size);

// Takes the engine's buffers and opens the chosen instrument; blocks fit a rehearsal's
// instrument to the file. An exit status: EXIT_DONE when it is open, otherwise with the
// reason reported.
int SessionOpen(const DeviceChoice& choice, const std::vector<SystemFileHeader>& blocks);
void SessionClose(void);

// The engine's transport of the open instrument (DEVICE_TYPE_*), and whether it is the
// rehearsal's.
int SessionDeviceType(void);
int SessionIsRehearsal(void);

// Asks the instrument for each block's version and shows it beside the file's (with -v
// also what was sent and received); needsUpdate[i] tells whether block i is newer in the
// file, answers (unless null) gets what the instrument said of each. An exit status:
// EXIT_DONE, EXIT_NO_ANSWER or the stop signal's, reported.
int InquireBlocks(const std::vector<SystemFileHeader>& blocks, std::vector<bool>* needsUpdate,
                  std::vector<InstrumentAnswer>* answers = nullptr);

// Reports the user's stop; the stop signal's exit status (InterruptExitStatus).
int ReportAborted(void);

// When the open instrument went away (a serial line that hung up or failed, a raw MIDI
// port that is gone), says so with the system's reason: 1; 0 otherwise.
int ReportDeviceLost(void);

// An instrument of another product (productId, 3 bytes) answered the inquiry of asked's
// product id and the device check refused it: names it, and --skip-device-check.
void ReportOtherProduct(const SystemFileHeader& asked, const unsigned char* productId);
