// update-bench: runs a whole update of a one-block system file over each transport path
// this build has, and prints per path the median and 95th-percentile packet cycle, its
// ratio to the protocol's pace (the pause after an acknowledgement plus the instrument's
// turnaround), the process's CPU time over the transfer's wall time, and the heap
// allocations the protocol's thread made during the transfer.
//
//   update-bench [--size BYTES] [--packet BYTES] [--turnaround MS] [--path NAME]
//                [--first-paint EXE]
//
// A packet's cycle is the time between the reads of two successive packets from the
// file: the engine reads a packet, sends it, waits for its acknowledgement and pauses.
#include "bench/bench_file.h"
#include "bench/update_bench.h"

#include "logview/log_view.h"
#include "platform/platform_file.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "update/update_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

typedef std::chrono::steady_clock Clock;

#define MAX_PACKETS 65536

// Filled by the read hook below; no allocation on the packet path.
Clock::time_point g_packetReads[MAX_PACKETS];
int g_packetCount;
uint32_t g_packetSize;
int64_t g_cpuAtFirstPacket;

// Only the protocol's thread counts: the simulated drivers and instruments in this
// process are no part of the updater. No thread_local: its emulation allocates.
std::atomic<bool> g_counting{false};
std::atomic<bool> g_paused{false};
std::atomic<uint64_t> g_countingThread{0};
std::atomic<long> g_allocations{0};

void CountAllocation(void) {
    if (g_counting.load(std::memory_order_relaxed) && !g_paused.load(std::memory_order_relaxed) &&
        g_countingThread.load(std::memory_order_relaxed) == BenchThreadId()) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

void BenchPauseCounting(bool paused) {
    if (g_countingThread.load() == BenchThreadId()) {
        g_paused.store(paused);
    }
}

// PlatformFileRead by its linker name (PlatformFile is an intptr_t), which --wrap takes.
#if INTPTR_MAX == INT64_MAX
#define WRAP_FILE_READ __wrap__Z16PlatformFileReadlPvj
#define REAL_FILE_READ __real__Z16PlatformFileReadlPvj
#else
#define WRAP_FILE_READ __wrap__Z16PlatformFileReadiPvj
#define REAL_FILE_READ __real__Z16PlatformFileReadiPvj
#endif

// The allocation hooks: every operator new, and every malloc, calloc and realloc the
// product's objects call (linked with --wrap).
extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);

void* __wrap_malloc(size_t size) {
    CountAllocation();
    return __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
    CountAllocation();
    return __real_calloc(count, size);
}

void* __wrap_realloc(void* block, size_t size) {
    CountAllocation();
    return __real_realloc(block, size);
}

int REAL_FILE_READ(PlatformFile file, void* buffer, uint32_t count);

int WRAP_FILE_READ(PlatformFile file, void* buffer, uint32_t count) {
    if (count == g_packetSize && g_packetCount < MAX_PACKETS) {
        if (g_packetCount == 0) {
            g_cpuAtFirstPacket = BenchCpuMicroseconds();
            g_countingThread.store(BenchThreadId());
            g_counting.store(true);
        }
        g_packetReads[g_packetCount++] = Clock::now();
    }
    return REAL_FILE_READ(file, buffer, count);
}
}

void* operator new(size_t size) {
    CountAllocation();
    void* p = __real_malloc(size > 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new[](size_t size) {
    return operator new(size);
}

void operator delete(void* p) noexcept {
    free(p);
}

void operator delete[](void* p) noexcept {
    free(p);
}

void operator delete(void* p, size_t) noexcept {
    free(p);
}

void operator delete[](void* p, size_t) noexcept {
    free(p);
}

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(double* sorted, int count, double fraction) {
    int index = (int)(fraction * (count - 1) + 0.5);
    return sorted[std::min(std::max(index, 0), count - 1)];
}

double g_cycles[MAX_PACKETS];

// One update over the path; 0 when it did not complete.
int RunPath(const BenchPath& path, const BenchOptions& o, const std::string& file) {
    char errorText[PATH_SIZE] = "";
    RecordReset();
    LogViewCreate(nullptr, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    ShowLog = 1;
    if (AllocUpdateBuffers(errorText) != 1) {
        std::fprintf(stderr, "%s: %s\n", path.name, errorText);
        return 0;
    }
    UpdateEngine& e = g_updateEngine;
    e.observer = UpdateObserver{};
    e.deviceType = path.deviceType;
    e.skipVersionCheck = 0;
    e.skipDeviceCheck = 0;
    e.updateState.store(UPDATE_RUNNING);
    std::snprintf(e.fileName, sizeof e.fileName, "%s", file.c_str());

    int ok = path.open(&o, errorText);
    if (!ok) {
        std::fprintf(stderr, "%s: cannot open the transport: %s\n", path.name, errorText);
    } else {
        g_packetSize = o.packetSize;
        g_packetCount = 0;
        g_allocations.store(0);
        ok = RunUpdate();
        Clock::time_point end = Clock::now();
        // Before the tool's own measuring, which reads and parses with the C library.
        g_counting.store(false);
        int64_t cpuEnd = BenchCpuMicroseconds();
        long allocations = g_allocations.load();
        path.close();
        if (!ok) {
            std::fprintf(stderr, "%s: the update failed\n", path.name);
        } else if (g_packetCount < 2) {
            std::fprintf(stderr, "%s: too few packets to time\n", path.name);
            ok = 0;
        } else {
            int cycles = g_packetCount - 1;
            for (int i = 0; i < cycles; i++) {
                g_cycles[i] = Ms(g_packetReads[i + 1] - g_packetReads[i]);
            }
            std::sort(g_cycles, g_cycles + cycles);
            double median = Percentile(g_cycles, cycles, 0.5);
            double p95 = Percentile(g_cycles, cycles, 0.95);
            double wall = Ms(end - g_packetReads[0]);
            double cpu = (double)(cpuEnd - g_cpuAtFirstPacket) / 1000.0;
            int pace = path.pauseMs + o.turnaroundMs;
            char ratio[32] = "-";
            if (pace > 0) {
                std::snprintf(ratio, sizeof ratio, "%.3f", median / pace);
            }
            std::printf("| %-11s | %7d | %9.2f | %9.2f | %5s | %8.2f | %5.2f %% | %6ld |\n",
                        path.name, g_packetCount, median, p95, ratio, wall / 1000.0,
                        100.0 * cpu / wall, allocations);
        }
    }
    FreeUpdateBuffers();
    LogViewDestroy();
    e.updateState.store(UPDATE_IDLE);
    return ok;
}

uint32_t Number(const char* text) {
    return (uint32_t)strtoul(text, nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    // Lines at once, also when Wine hands the output to a pipe.
    setvbuf(stdout, nullptr, _IONBF, 0);
    BenchOptions o = {256 * 1024, 1024, 0};
    const char* only = nullptr;
    const char* firstPaint = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--size") == 0) {
            o.fileSize = Number(argv[i + 1]);
        } else if (strcmp(argv[i], "--packet") == 0) {
            o.packetSize = Number(argv[i + 1]);
        } else if (strcmp(argv[i], "--turnaround") == 0) {
            o.turnaroundMs = (int)Number(argv[i + 1]);
        } else if (strcmp(argv[i], "--path") == 0) {
            only = argv[i + 1];
        } else if (strcmp(argv[i], "--first-paint") == 0) {
            firstPaint = argv[i + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (o.packetSize == 0 || o.fileSize % o.packetSize != 0 ||
        o.fileSize / o.packetSize > MAX_PACKETS) {
        std::fprintf(stderr, "the size must be a multiple of the packet size\n");
        return 2;
    }
    const char* tmp = getenv("TMPDIR");
    if (tmp == nullptr) {
        tmp = getenv("TEMP");
    }
    std::string file = std::string(tmp != nullptr ? tmp : "/tmp") + "/orv_update_bench.vsb";
    if (!BenchWriteSystemFile(file, o.fileSize)) {
        return 1;
    }
    std::printf("%u bytes in packets of %u, instrument turnaround %d ms\n\n", o.fileSize,
                o.packetSize, o.turnaroundMs);
    std::printf("| path        | packets | median ms |    p95 ms | ratio |   wall s | CPU     "
                "| allocs |\n");
    std::printf("|-------------|---------|-----------|-----------|-------|----------|---------"
                "|--------|\n");
    const BenchPath* paths = nullptr;
    int count = BenchPaths(&paths);
    int status = 0;
    for (int i = 0; i < count; i++) {
        if (only == nullptr || strcmp(only, paths[i].name) == 0) {
            status |= RunPath(paths[i], o, file) ? 0 : 1;
        }
    }
    std::remove(file.c_str());
    if (firstPaint != nullptr) {
        double ms = BenchFirstPaintMs(firstPaint);
        if (ms < 0) {
            std::fprintf(stderr, "no first paint of %s\n", firstPaint);
            status = 1;
        } else {
            std::printf("\nstart to first paint of %s: %.1f ms\n", firstPaint, ms);
        }
    }
    return status;
}
