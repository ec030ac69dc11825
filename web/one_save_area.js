// Appended to the core's module (--post-js), inside its scope.
//
// The runtime takes a fresh save area from malloc each time the update's stack suspends and
// frees it on the resume: two heap calls per packet wait. Only one stack is ever suspended
// (platform_thread_web.cpp runs one job at a time), so one area, taken at the first suspension
// and kept, serves them all. Should a second suspension ever come while the area is in use,
// it gets an area of its own from malloc as before.
(function () {
    var area = 0;
    var areaInUse = false;
    var allocate = Asyncify.allocateData;
    Asyncify.allocateData = function () {
        if (areaInUse) {
            return allocate();
        }
        if (area === 0) {
            area = allocate();
        } else {
            Asyncify.setDataHeader(area, area + 12, Asyncify.StackSize);
            Asyncify.setDataRewindFunc(area);
        }
        areaInUse = true;
        return area;
    };
    addOnInit(function () {
        // free(0) does nothing; calling it binds the runtime's lazy _free to the module's
        // export, so the wrapper below is not replaced by that binding later.
        _free(0);
        var release = _free;
        _free = function (pointer) {
            if (pointer !== 0 && pointer === area) {
                areaInUse = false;
                return;
            }
            release(pointer);
        };
    });
})();
