// What an update tells the front end that started it: the progress, the transfer of each
// block, and how the run ended. Every front end (the window, the command line, the soak)
// gets the same values through this record and shows them its own way. Called on the
// update thread; a null function is not told.
#pragma once

#include <cstdint>

struct SystemFileHeader;

// The value of transferActive.
#define TRANSFER_ENDED 0
#define TRANSFER_STARTED 1

// How a run ended.
#define UPDATE_RESULT_FAILED 0
#define UPDATE_RESULT_COMPLETED 1
#define UPDATE_RESULT_ABORTED 2

struct UpdateObserver {
    void* context;
    // The whole run counts length steps (the file's size); position is how far it got.
    void (*progressRange)(void* context, int64_t length);
    void (*progressPosition)(void* context, int64_t position);
    // A block's packets begin to go out (TRANSFER_STARTED) or the block is done
    // (TRANSFER_ENDED, also for a block the instrument already had).
    void (*transferActive)(void* context, int active);
    // The last call of a run: UPDATE_RESULT_* and the status text the run ended with
    // ("Update Completed!", the failure's text, "User aborted.").
    void (*finished)(void* context, int result, const char* text);
    // A block is done: its last packet acknowledged (sent 1), or skipped because the
    // instrument holds it already (sent 0). header is the block as the run read it, valid
    // for the call. Last, and null unless set, so that a front end that does not want it
    // (the window) leaves it out of its initializer.
    void (*blockDone)(void* context, const SystemFileHeader* header, int sent) = nullptr;
};
