// Appended to the bench build of the core (--post-js, after web/one_save_area.js), inside its
// scope.
//
// Linked with --wrap, the module exports malloc and free under their wrappers' names, and the
// runtime's own calls to _malloc and _free (the save area of a suspension, and one_save_area.js
// binding _free as it starts) would find no function. These take their place, counting what the
// script side asks of the heap; the wrappers then count every call, the script's included.
//
// Module.orventBenchHeap() gives both counts: { malloc, calloc, realloc, free } from the module's
// wrappers (alloc_count.cpp) and { jsMalloc, jsFree } from here. Its first call asks the module
// where its counts are, so it is made before the update starts; later calls only read memory.
var jsHeap = {malloc: 0, free: 0};
var countsAt = 0;

var _malloc = function (size) {
    jsHeap.malloc++;
    return Module['___wrap_malloc'](size);
};

var _free = function (pointer) {
    if (pointer !== 0) {
        jsHeap.free++;
    }
    Module['___wrap_free'](pointer);
};

Module['_malloc'] = _malloc;
Module['_free'] = _free;

Module['orventBenchHeap'] = function () {
    if (countsAt === 0) {
        countsAt = Module['_BenchHeapCounts']() >> 2;
    }
    return {
        malloc: HEAPU32[countsAt],
        calloc: HEAPU32[countsAt + 1],
        realloc: HEAPU32[countsAt + 2],
        free: HEAPU32[countsAt + 3],
        jsMalloc: jsHeap.malloc,
        jsFree: jsHeap.free,
    };
};
