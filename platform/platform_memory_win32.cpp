#include "platform/platform_memory.h"
#include "platform/platform_memory_testing.h"

#include <windows.h>

namespace {
volatile LONG s_allocationsLeft = -1;
}

void* PlatformHeapAlloc(size_t size) {
    LONG left = s_allocationsLeft;
    if (left == 0) {
        return NULL;
    }
    if (left > 0) {
        InterlockedDecrement(&s_allocationsLeft);
    }
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void PlatformHeapFree(void* block) {
    if (block != NULL) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

void PlatformHeapFailAfter(int count) {
    InterlockedExchange(&s_allocationsLeft, count);
}
