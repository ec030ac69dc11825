// update-bench's Windows path: the real MIDI transport against the stand-in winmm.dll
// beside the executable, and the updater's start to its first paint.
#include "bench/update_bench.h"

#include "bench/process_cpu_win32.h"
#include "midi/midi_transport.h"
#include "platform/text.h"
#include "sim/winmm_standin.h"
#include "update/transport.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int OpenMidi(const BenchOptions* o, char* errorText) {
    char text[32];
    SetEnvironmentVariableA("ORV_VI_PROTOCOL", "1");
    std::snprintf(text, sizeof text, "%u", o->packetSize);
    SetEnvironmentVariableA("ORV_VI_PACKET_SIZE", text);
    SetEnvironmentVariableA("ORV_VI_VERSIONS", "1=1.03");
    std::snprintf(text, sizeof text, "%d", o->turnaroundMs);
    SetEnvironmentVariableA("ORV_VI_REPLY_DELAY_MS", text);
    // The stand-in's line as fast as it goes (a message still takes at least 1 ms), so
    // that the instrument's turnaround is the one asked for; a run may set it slower.
    if (GetEnvironmentVariableA("ORV_MIDI_TX_BYTES_PER_MS", text, sizeof text) == 0) {
        SetEnvironmentVariableA("ORV_MIDI_TX_BYTES_PER_MS", "1000000");
    }
    HMODULE winmm = GetModuleHandleA("winmm.dll");
    FARPROC reset = winmm != NULL ? GetProcAddress(winmm, "StandinReset") : NULL;
    if (reset == NULL) {
        TextCopy(errorText, PATH_SIZE, "the stand-in winmm.dll did not load beside the tool");
        return 0;
    }
    reinterpret_cast<decltype(&StandinReset)>(reinterpret_cast<void*>(reset))();
    return MidiOpen("ORVENT 1 SOUND", "ORVENT 1 KEYBOARD", errorText, 1);
}

const BenchPath kPaths[] = {
    {"midi", DEVICE_TYPE_MIDI, 20, OpenMidi, MidiClose},
};

const char kClassName[] = "MAVO System Updater for ORVENT";

} // namespace

int BenchPaths(const BenchPath** paths) {
    *paths = kPaths;
    return (int)(sizeof kPaths / sizeof kPaths[0]);
}

// Under Wine the process times stay at 0; the Linux process it runs in knows them (in
// clock ticks of 10 ms), through Wine's drive for the root of the file system.
namespace {

int64_t WineCpuMicroseconds(void) {
    FILE* stat = std::fopen("Z:\\proc\\self\\stat", "r");
    if (stat == NULL) {
        return -1;
    }
    char text[1024];
    size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[length] = '\0';
    // After the command's name in parentheses: fields 3 to 15, utime and stime the last two.
    const char* p = std::strrchr(text, ')');
    unsigned long long utime = 0, stime = 0;
    if (p == NULL || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                 &utime, &stime) != 2) {
        return -1;
    }
    return (int64_t)(utime + stime) * 10000;
}

} // namespace

int64_t BenchCpuMicroseconds(void) {
    int64_t wine = WineCpuMicroseconds();
    if (wine >= 0) {
        return wine;
    }
    return ProcessCpuMicroseconds(GetCurrentProcess());
}

// From CreateProcess until the main window is visible with nothing left to paint.
uint64_t BenchThreadId(void) {
    return GetCurrentThreadId();
}

double BenchFirstPaintMs(const char* executable) {
    if (FindWindowA(kClassName, NULL) != NULL) {
        std::fprintf(stderr, "an updater window is open already\n");
        return -1;
    }
    std::string command = std::string("\"") + executable + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    auto start = std::chrono::steady_clock::now();
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        return -1;
    }
    double ms = -1;
    for (int i = 0; i < 30000; i++) {
        HWND window = FindWindowA(kClassName, NULL);
        RECT dirty;
        if (window != NULL && IsWindowVisible(window) && !GetUpdateRect(window, &dirty, FALSE)) {
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count();
            PostMessageA(window, WM_CLOSE, 0, 0);
            break;
        }
        Sleep(1);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ms;
}
