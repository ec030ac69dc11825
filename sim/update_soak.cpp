// update-soak: runs many whole updates, each from a seed of its own, through the update
// engine against the virtual instrument over the in-process transports. Every run picks
// a system file, an instrument, a transport, the engine's switches, an injected fault
// and the user's stop at random (sim/soak_scenario.h); afterwards it checks what must hold
// whatever was picked, and compares the result with what a model of the exchange
// predicts (sim/soak_check.h, sim/soak_model.h).
//
//   update-soak [--runs N] [--seed X] [--replay SEED] [-v]
//
// One line per violation (with the run's seed), then
// "N runs: S completed, F failed as injected, A aborted, V violations, seed X".
#include "logview/log_view.h"
#include "platform/platform_thread.h"
#include "sim/soak_check.h"
#include "sim/soak_model.h"
#include "sim/soak_scenario.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "sysfile/system_file.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/sim_transport.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

// ---- The engine as its callers meet it --------------------------------------------------
//
// How a run is started, how the engine's reports are heard and how the Stop dialog stops
// it: nothing else in the soak touches the engine's ways of telling or being told.

PlatformWindow const kMainWindow = reinterpret_cast<PlatformWindow>(0x1000);

// What the engine reported, in order: the progress, the transfers and the end.
enum ReportKind { REPORT_RANGE, REPORT_POSITION, REPORT_TRANSFER, REPORT_FINISHED };

struct Report {
    ReportKind kind;
    int64_t value;
    std::string text;
};

std::mutex s_reportLock;
std::vector<Report> s_reports;

void Record(ReportKind kind, int64_t value, const char* text) {
    std::lock_guard<std::mutex> lock(s_reportLock);
    s_reports.push_back({kind, value, text});
}

void RecordRange(void*, int64_t length) {
    Record(REPORT_RANGE, length, "");
}

void RecordPosition(void*, int64_t position) {
    Record(REPORT_POSITION, position, "");
}

void RecordTransfer(void*, int active) {
    Record(REPORT_TRANSFER, active, "");
}

void RecordFinished(void*, int result, const char* text) {
    Record(REPORT_FINISHED, result, text);
}

const UpdateObserver kRecorder = {nullptr, RecordRange, RecordPosition, RecordTransfer,
                                  RecordFinished};

// Takes the engine's buffers; 0 with *errorText when they cannot be had.
int EngineOpen(char* errorText) {
    return AllocUpdateBuffers(errorText) == 1 ? 1 : 0;
}

void EngineClose(void) {
    FreeUpdateBuffers();
}

// Starts the run's update, its reports heard from an empty record. The view always keeps
// its log so the run's rows can be read; the engine's status wording follows ShowLog.
void StartEngine(const Scenario& s, const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(s_reportLock);
        s_reports.clear();
    }
    ShowLog = s.showLog;
    StartUpdate(&kRecorder, path.c_str(), s.deviceType, s.skipVersionCheck, s.skipDeviceCheck);
}

bool EngineIdle(void) {
    return g_updateEngine.updateState.load() == UPDATE_IDLE;
}

// The Stop dialog opens: true when it caught the update running and paused it.
bool PauseEngine(void) {
    return UpdatePause() == 1;
}

// The Stop dialog's Continue.
void ContinueEngine(void) {
    UpdateContinue();
}

// The run's bound, for the abort's wait: a thread that does not end is a violation to
// report, not a soak that hangs.
Clock::time_point s_abortStart;
int64_t s_abortBoundMs = 0;

int WaitWithinBound(uint32_t milliseconds) {
    PlatformSleep(milliseconds);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s_abortStart)
               .count() <= s_abortBoundMs;
}

// The Stop dialog's Abort, until the update thread has ended or the run's bound has
// passed; false then.
bool AbortEngine(Clock::time_point start, int64_t boundMs) {
    s_abortStart = start;
    s_abortBoundMs = boundMs;
    return UpdateAbort(WaitWithinBound) == 1;
}

// Waits for the update thread's last store and releases it.
void EndEngine(Outcome* o) {
    UpdateEndThread();
    o->idle = EngineIdle();
    o->released = g_updateEngine.thread == PLATFORM_THREAD_NONE;
}

// What the engine reported: its end, and the progress bar's range and positions.
void ReadReports(Outcome* o) {
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(s_reportLock);
        reports = s_reports;
    }
    o->finishedPosts = 0;
    o->result = -1;
    o->endResult = -1;
    o->barRange = -1;
    for (const Report& r : reports) {
        if (r.kind == REPORT_FINISHED) {
            o->finishedPosts++;
            o->result = r.value == UPDATE_RESULT_COMPLETED ? 1 : 0;
            o->endResult = (int)r.value;
            o->endText = r.text;
            o->lastPostIsFinish = true;
        } else if (r.kind == REPORT_TRANSFER) {
            o->lastPostIsFinish = false;
        } else if (r.kind == REPORT_RANGE) {
            o->barRange = r.value;
        } else {
            o->bar.push_back(r.value);
        }
    }
}

// ---- Running one ------------------------------------------------------------------------

int CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (readdir(dir) != nullptr) {
        count++;
    }
    closedir(dir);
    return count;
}

bool LogHas(const char* text) {
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        if (std::strcmp(RecordedLogRow(r), text) == 0) {
            return true;
        }
    }
    return false;
}

int64_t Elapsed(Clock::time_point since) {
    return (int64_t)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since)
        .count();
}

// Waits until the update thread is idle or the run's bound is passed; false then.
bool WaitIdle(Clock::time_point start, int64_t boundMs) {
    while (!EngineIdle()) {
        if (Elapsed(start) > boundMs) {
            return false;
        }
        PlatformSleep(1);
    }
    return true;
}

int SendCount(void) {
    int sends = 0;
    SimTransportCall call;
    for (int i = 0; SimTransportGetCall(i, &call); i++) {
        switch (call.operation) {
        case SIM_SERIAL_SEND:
        case SIM_MIDI_SEND:
        case SIM_USB_BULK_SEND:
        case SIM_KERNEL_MIDI_SEND:
        case SIM_KERNEL_MIDI_WRITE_RAW:
            sends++;
            break;
        default:
            break;
        }
    }
    return sends;
}

// A fresh view, instrument and transport for the run, and the threads and files before it.
void PrepareRun(const Scenario& s, Outcome* o) {
    RecordReset();
    LogViewCreate(kMainWindow, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    VirtualInstrumentReset(&s.instrument);
    SimTransportReset(&s.transport);
    o->threadsBefore = CountEntries("/proc/self/task");
    o->filesBefore = CountEntries("/proc/self/fd");
}

// The user's stop through the Stop dialog; false when the run outlived its bound.
bool StopAsUser(const Scenario& s, Clock::time_point start, int64_t boundMs, Outcome* o) {
    while (!EngineIdle() && Elapsed(start) < s.stopAtMs) {
        PlatformSleep(1);
    }
    o->paused = PauseEngine();
    const int packetsAtPause = VirtualInstrumentPacketCount();
    PlatformSleep((uint32_t)s.stopHoldMs);
    o->packetsWhilePaused = VirtualInstrumentPacketCount() - packetsAtPause;
    if (s.stop == STOP_CONTINUE) {
        ContinueEngine();
        return true;
    }
    return AbortEngine(start, boundMs);
}

// Stops a run past its bound as the user would, to go on with the next run if it lets us.
void StopHungRun(const Scenario& s) {
    PauseEngine();
    if (!AbortEngine(Clock::now(), 30000)) {
        std::printf("update-soak: run %llu: the update thread does not end; giving up\n",
                    (unsigned long long)s.seed);
        std::fflush(stdout);
        std::_Exit(1);
    }
}

// What the run left behind: threads, files, the log's rows and the instrument's counts.
void ReadRun(Outcome* o) {
    o->threadsAfter = CountEntries("/proc/self/task");
    o->filesAfter = CountEntries("/proc/self/fd");
    ReadReports(o);
    o->status = RecordedStatusRow(0);
    o->logCompleted = LogHas("Update Completed!");
    o->logHasStatus = LogHas(o->status.c_str());
    o->messages = VirtualInstrumentMessageCount();
    o->sends = SendCount();
}

Outcome Execute(const Scenario& s, const std::string& path, int64_t boundMs) {
    Outcome o = Outcome();
    PrepareRun(s, &o);
    const Clock::time_point start = Clock::now();
    StartEngine(s, path);
    bool ended = true;
    if (s.stop != STOP_NONE) {
        ended = StopAsUser(s, start, boundMs, &o);
    }
    ended = ended && WaitIdle(start, boundMs);
    o.durationMs = Elapsed(start);
    o.hung = !ended;
    if (o.hung) {
        StopHungRun(s);
    }
    EndEngine(&o);
    ReadRun(&o);
    LogViewDestroy();
    return o;
}

// ---- The tool ---------------------------------------------------------------------------

const char* TransportName(int deviceType) {
    static const char* const kNames[] = {"serial", "MIDI", "USB bulk", "kernel MIDI"};
    return deviceType >= DEVICE_TYPE_SERIAL && deviceType <= DEVICE_TYPE_KERNEL_MIDI
               ? kNames[deviceType]
               : "no transport";
}

std::string IdText(const unsigned char* id) {
    std::string text = SoakFormat("%02X", id[0]);
    if (id[1] != PRODUCT_ID_ABSENT) {
        text += SoakFormat(":%02X", id[1]);
        if (id[2] != PRODUCT_ID_ABSENT) {
            text += SoakFormat(":%02X", id[2]);
        }
    }
    return text;
}

void Describe(const Scenario& s, const Prediction& p) {
    const VirtualInstrumentConfig& vi = s.instrument;
    std::printf("seed %llu\n", (unsigned long long)s.seed);
    std::printf("  transport %s, skip version check %d, skip device check %d, ShowLog %d\n",
                TransportName(s.deviceType), s.skipVersionCheck, s.skipDeviceCheck, s.showLog);
    std::printf("  instrument: product %s, member %d, protocol %d, packet size %u, flags %d, "
                "write steps %d%s, reply delay %d ms, flash %06X..%06X\n",
                IdText(vi.productId).c_str(), vi.memberId, vi.protocolCode, vi.packetSize,
                vi.deviceFlags, vi.writeSteps, vi.sendZeroTotalProgress ? " (+ total 0)" : "",
                vi.replyDelayMs, vi.flashBase, vi.flashBase + vi.flashSize);
    if (vi.fault != VI_FAULT_NONE) {
        std::printf("  fault %s at %d: status 0x%X, delay %d ms, text \"%s\", other product %s\n",
                    SoakFaultName(vi.fault), vi.faultAt, vi.faultStatus, vi.faultDelayMs,
                    vi.faultText, IdText(vi.otherProductId).c_str());
    }
    for (size_t i = 0; i < s.blocks.size(); i++) {
        const VsbBlock& b = s.blocks[i];
        std::printf("  block %d: product %s, member %d, version %d.%02d (instrument %d.%02d), "
                    "address %06X, offset %u, size %u, known size %u, %d runs of one value\n",
                    b.blockCode, IdText(b.productId).c_str(), b.memberId, b.versionMajor,
                    b.versionMinor, vi.versionMajor[b.blockCode], vi.versionMinor[b.blockCode],
                    b.address, b.offset, b.dataSize, vi.blockDataSize[b.blockCode], b.runCount);
    }
    for (const std::string& choice : s.choices) {
        std::printf("  chosen: %s\n", choice.c_str());
    }
    std::printf("  predicted: %s, %d messages, %d sends, about %lld ms, fault %s\n",
                p.success ? "success" : ("\"" + p.text + "\"").c_str(), p.messages, p.sends,
                (long long)p.estimateMs, p.faultReached ? "reached" : "not reached");
}

int64_t BoundMs(const Prediction& p, const Scenario& s) {
    // Far above anything a busy machine makes of it: this catches hangs, not slowness.
    return 10000 + 10 * p.estimateMs + 20LL * (p.messages + 2) + s.stopHoldMs + s.stopAtMs;
}

enum RunKind { RUN_COMPLETED, RUN_FAILED, RUN_ABORTED, RUN_VIOLATION };

RunKind KindOf(const Outcome& o, const std::vector<std::string>& violations) {
    if (!violations.empty()) {
        return RUN_VIOLATION;
    }
    if (o.result == 1) {
        return RUN_COMPLETED;
    }
    return o.status == "User aborted." ? RUN_ABORTED : RUN_FAILED;
}

RunKind RunOne(uint64_t seed, const std::string& path, bool verbose, bool replay) {
    Scenario s = SoakChoose(seed);
    Prediction p = SoakPredict(s);
    if (replay) {
        Describe(s, p);
    }
    char errorText[TEXT_SIZE] = "";
    if (VsbWriteFile(path.c_str(), s.blocks.data(), (int)s.blocks.size(), s.surplus, 0x55,
                     errorText) != 1) {
        std::printf("update-soak: cannot write %s: %s\n", path.c_str(), errorText);
        std::exit(2);
    }
    Outcome o = Execute(s, path, BoundMs(p, s));
    const std::vector<std::string> violations = SoakCheck(s, p, o);
    const RunKind kind = KindOf(o, violations);
    if (replay) {
        std::printf("  happened: %s, %d messages, %d sends, %d packets acknowledged, %lld ms\n",
                    o.result == 1 ? "success" : ("\"" + o.status + "\"").c_str(), o.messages,
                    o.sends, VirtualInstrumentPacketCount(), (long long)o.durationMs);
    } else if (verbose) {
        std::printf(
            "seed %llu: %s %s, %lld ms\n", (unsigned long long)seed, TransportName(s.deviceType),
            o.result == 1 ? "success" : ("\"" + o.status + "\"").c_str(), (long long)o.durationMs);
    }
    for (const std::string& v : violations) {
        std::printf("violation: seed %llu: %s\n", (unsigned long long)seed, v.c_str());
    }
    std::fflush(stdout);
    return kind;
}

void NoWork(void) {}

void Usage(void) {
    std::fprintf(stderr, "Usage: update-soak [--runs N] [--seed X] [--replay SEED] [-v]\n");
    std::exit(2);
}

uint64_t ParseNumber(const char* text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (end == text || *end != 0) {
        Usage();
    }
    return value;
}

struct Arguments {
    uint64_t runs;
    uint64_t seed;
    bool replay;
    bool verbose;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments a;
    a.runs = 100;
    a.seed = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() % 1000000000ull;
    a.replay = false;
    a.verbose = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            a.runs = ParseNumber(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            a.seed = ParseNumber(argv[++i]);
        } else if (std::strcmp(argv[i], "--replay") == 0 && i + 1 < argc) {
            a.seed = ParseNumber(argv[++i]);
            a.replay = true;
            a.runs = 1;
        } else if (std::strcmp(argv[i], "-v") == 0) {
            a.verbose = true;
        } else {
            Usage();
        }
    }
    return a;
}

} // namespace

int main(int argc, char** argv) {
    const Arguments a = ParseArguments(argc, argv);
    char errorText[TEXT_SIZE] = "";
    if (!EngineOpen(errorText)) {
        std::printf("update-soak: %s\n", errorText);
        return 2;
    }
    // A sanitizer's runtime starts a helper thread of its own with the first thread the
    // process makes; let that happen before the runs count their threads.
    PlatformThread warmUp = PlatformThreadStart(NoWork, 0);
    PlatformThreadWait(warmUp);
    PlatformThreadClose(&warmUp);
    const std::string path = SoakFormat("/tmp/update-soak-%d.vsb", (int)getpid());

    uint64_t counts[4] = {0, 0, 0, 0};
    for (uint64_t i = 0; i < a.runs; i++) {
        counts[RunOne(a.seed + i, path, a.verbose, a.replay)]++;
    }

    std::remove(path.c_str());
    EngineClose();
    std::printf("%llu runs: %llu completed, %llu failed as injected, %llu aborted, "
                "%llu violations, seed %llu\n",
                (unsigned long long)a.runs, (unsigned long long)counts[RUN_COMPLETED],
                (unsigned long long)counts[RUN_FAILED], (unsigned long long)counts[RUN_ABORTED],
                (unsigned long long)counts[RUN_VIOLATION], (unsigned long long)a.seed);
    return counts[RUN_VIOLATION] > 0 ? 1 : 0;
}
