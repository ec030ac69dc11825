// A process's CPU time as Windows counts it, for the benchmarks that run on Windows.
#pragma once

#include <windows.h>

#include <cstdint>

// Kernel and user time of the process together, in microseconds; -1 when it cannot be read.
int64_t ProcessCpuMicroseconds(HANDLE process);
