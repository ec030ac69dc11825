#include "platform/platform_memory.h"
#include "platform/platform_memory_testing.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<int> s_allocationsLeft{-1};
}

void* PlatformHeapAlloc(size_t size) {
    int left = s_allocationsLeft.load();
    if (left == 0) {
        return nullptr;
    }
    if (left > 0) {
        s_allocationsLeft.store(left - 1);
    }
    return std::malloc(size);
}

void PlatformHeapFree(void* block) {
    std::free(block);
}

void PlatformHeapFailAfter(int count) {
    s_allocationsLeft.store(count);
}
