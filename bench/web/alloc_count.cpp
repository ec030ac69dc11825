// The heap calls of the page's core, counted for page_bench.mjs: the bench build of the core
// (orvent-bench) is linked with --wrap for malloc, calloc, realloc and free, so that every call
// to them, the core's own and the runtime's from its script (Module._malloc), passes here.
// The counts live in the module's memory; the bench reads them through the bench build's
// script (count_js_heap.js) while the update runs.
#include <emscripten/emscripten.h>

#include <cstddef>
#include <cstdint>

namespace {

// In the order the script reads them.
enum HeapCall { HEAP_MALLOC, HEAP_CALLOC, HEAP_REALLOC, HEAP_FREE, HEAP_CALL_KINDS };

struct AllocCount {
    uint32_t calls[HEAP_CALL_KINDS];
};

AllocCount g_allocCount;

} // namespace

extern "C" {

void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);

void* __wrap_malloc(size_t size) {
    g_allocCount.calls[HEAP_MALLOC]++;
    return __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
    g_allocCount.calls[HEAP_CALLOC]++;
    return __real_calloc(count, size);
}

void* __wrap_realloc(void* block, size_t size) {
    g_allocCount.calls[HEAP_REALLOC]++;
    return __real_realloc(block, size);
}

// free(nullptr) touches no heap: the runtime makes such a call once as it starts.
void __wrap_free(void* block) {
    if (block != nullptr) {
        g_allocCount.calls[HEAP_FREE]++;
    }
    __real_free(block);
}

// Where the counts are, so that the script can read them without calling into the module
// while the update's stack is in the middle of a send.
EMSCRIPTEN_KEEPALIVE const uint32_t* BenchHeapCounts(void) {
    return g_allocCount.calls;
}

} // extern "C"
