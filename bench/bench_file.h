// The system file every whole-update benchmark sends: one block of pseudo-random bytes,
// the same from run to run, so the tools' figures compare.
#pragma once

#include <cstdint>
#include <string>

// Writes it with size data bytes; false, with the writer's reason on standard error,
// when it cannot be written.
bool BenchWriteSystemFile(const std::string& path, uint32_t size);
