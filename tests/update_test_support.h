// What the update tests share: the blocks of the system file they send, the update engine
// set up as a run finds it, the log rows it writes and the check that the instrument's
// flash holds each block. Linked as orv_update_test_support.
#pragma once

#include "platform/platform_thread.h"
#include "sim/vsb_writer.h"

#include <cstdint>
#include <string>
#include <vector>

// A block of pseudo-random data whose seed follows from its code, so the blocks of one
// file hold different bytes.
VsbBlock TestRandomBlock(int code, int major, int minor, uint32_t address, uint32_t size);

// Writes the blocks as a system file, followed by surplusBytes bytes of 0x55. False, with
// a test failure giving the writer's reason, when the file cannot be written.
bool TestWriteSystemFile(const std::string& path, const std::vector<VsbBlock>& blocks,
                         uint32_t surplusBytes = 0);

// The log view with a log area on a fresh recording surface, the update buffers, and the
// engine's fields as StartUpdate leaves them for a run over deviceType that reports to
// mainWindow as the window program's runs do (null: nothing is posted). False when the buffers
// cannot be had.
bool TestEngineSetUp(PlatformWindow mainWindow, int deviceType);
void TestEngineTearDown(void);

// True when a row of the log area reads text exactly.
bool TestLogHas(const char* text);

// The block's data bytes as the file carries them.
std::vector<unsigned char> TestBlockData(const VsbBlock& block);

// Reads length bytes of the instrument's flash at address; 1 on success.
typedef int (*TestFlashRead)(uint32_t address, unsigned char* out, uint32_t length);

// The block's bytes stand at its address plus offset in the flash read through readFlash.
void ExpectFlashHoldsBlock(const VsbBlock& block, TestFlashRead readFlash);

// Starts the update of fileName over deviceType on its thread, lets it run for settleMs
// (long enough to reach a wait for an instrument that has fallen silent; counted once
// reached() holds, when given), then does what the Stop dialog's "Abort" does. Returns
// the milliseconds from that choice until the update thread had ended, and checks the
// run ended as a user's abort does.
long TestAbortRunningUpdate(const char* fileName, int deviceType, int settleMs,
                            bool (*reached)(void) = nullptr);
