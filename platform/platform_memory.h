// Long-lived blocks from the process heap (Windows: GetProcessHeap/HeapAlloc).
#pragma once

#include <cstddef>

// Returns null when the heap cannot give the block.
void* PlatformHeapAlloc(size_t size);
void PlatformHeapFree(void* block);

// Tests only: make the next `count` allocations succeed and every later one fail, until
// called again with a negative count (the default: never fail).
void PlatformHeapFailAfter(int count);
