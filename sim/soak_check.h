// The checks after each soak run: what must hold whatever the run chose, and the run
// against what the model predicts.
#pragma once

#include "sim/soak_model.h"
#include "sim/soak_scenario.h"

#include <cstdint>
#include <string>
#include <vector>

// What a run did, as the driver saw it from outside the engine.
struct Outcome {
    int finishedPosts;     // times the engine reported its end
    int64_t result;        // its last end report: 1 success, 0 not, as the window hears it
    int endResult;         // the same report's code (UPDATE_RESULT_*)
    std::string endText;   // and its text
    bool lastPostIsFinish; // nothing was reported after the end
    std::string status;
    bool logCompleted;
    bool logHasStatus;
    int messages;
    int sends;
    int64_t durationMs;
    bool hung;
    bool idle;
    bool released;
    int threadsBefore;
    int threadsAfter;
    int filesBefore;
    int filesAfter;
    bool paused;            // the stop's pause took
    int packetsWhilePaused; // acknowledged while the dialog was open
    std::vector<int64_t> bar;
    int64_t barRange;
};

// One text per violation; none when the run is as it must be. Reads the virtual
// instrument's flash and counts, so call it before the next run resets them.
std::vector<std::string> SoakCheck(const Scenario& s, const Prediction& p, const Outcome& o);
