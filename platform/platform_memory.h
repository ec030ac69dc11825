// Long-lived blocks from the process heap (Windows: GetProcessHeap/HeapAlloc).
#pragma once

#include <cstddef>

// Returns null when the heap cannot give the block.
void* PlatformHeapAlloc(size_t size);
void PlatformHeapFree(void* block);
