// window-bench: a whole update through OrventUpdater.exe's own window, timed packet by
// packet, as update-bench times the engine alone. It starts the program in user mode on a
// one-block system file with the stand-in winmm.dll beside it (as scripts/run.sh does),
// waits until Update is offered, clicks it, waits until the update has ended and
// closes the window. It prints the median and 95th-percentile packet cycle, its ratio to
// the protocol's pace (the 20 ms pause plus the instrument's turnaround) and the
// program's CPU time over the transfer's wall time.
//
//   window-bench [--size BYTES] [--packet BYTES] [--turnaround MS] [--mode N]
//                [--timeout SECONDS] EXE
//
// --mode is the program's /d switch: 0 user mode (the default), 1 user mode with the log
// area. The program runs from a folder of its own in the temporary folder.
//
// The program is another process, so no hook sees its file reads: a packet's cycle is the
// time between two successive data packets reaching the instrument, which the stand-in
// records when ORV_MIDI_TIMES names a file. In a steady transfer that is the same cycle
// as from one read to the next. The stand-in's line is as fast as it goes unless
// ORV_MIDI_TX_BYTES_PER_MS says otherwise, as in update-bench.
//
// The program's CPU time comes from Linux under Wine (its process's /proc entry, sampled
// every few milliseconds), and from the process's times elsewhere.
#include "bench/bench_file.h"
#include "bench/process_cpu_win32.h"
#include "platform/text.h"
#include "resources/resource_ids.h"
#include "sim/vsb_writer.h"

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kClassName[] = "MAVO System Updater for ORVENT";
const int kPauseMs = 20;
const DWORD kSampleMs = 10;
const int kProgressPollSamples = 25; // the bar is asked every 25 samples: every 250 ms

struct WindowBenchOptions {
    uint32_t fileSize;
    uint32_t packetSize;
    int turnaroundMs;
    int timeoutSeconds;
    int mode;
    std::string executable;
};

struct CpuSample {
    uint64_t at;   // microseconds on QueryPerformanceCounter's clock
    int64_t cpuUs; // the program's user + system time
};

uint64_t NowUs(void) {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // The stand-in's own conversion, so that both clocks read alike.
    return (uint64_t)(counter.QuadPart / frequency.QuadPart) * 1000000u +
           (uint64_t)(counter.QuadPart % frequency.QuadPart) * 1000000u /
               (uint64_t)frequency.QuadPart;
}

std::string ReadWholeFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

// ---------------------------------------------------------------- the program's CPU time

// Under Wine the process times of a Windows process stay at 0; its Linux process knows
// them, in clock ticks of 10 ms. It is found by its command line, which names the
// system file only this run uses.
std::string FindLinuxStat(const std::string& marker) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return "";
    }
    std::string stat;
    do {
        if (found.cFileName[0] < '0' || found.cFileName[0] > '9') {
            continue;
        }
        std::string dir = std::string("Z:\\proc\\") + found.cFileName;
        std::string command = ReadWholeFile(dir + "\\cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        if (command.find(marker) != std::string::npos) {
            stat = dir + "\\stat";
            break;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return stat;
}

int64_t LinuxCpuUs(const std::string& statPath) {
    std::string text = ReadWholeFile(statPath);
    // After the command's name in parentheses: fields 3 to 15, utime and stime the last two.
    size_t close = text.rfind(')');
    unsigned long long utime = 0, stime = 0;
    if (close == std::string::npos ||
        std::sscanf(text.c_str() + close + 2,
                    "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
        return -1;
    }
    return (int64_t)(utime + stime) * 10000;
}

// ---------------------------------------------------------------- the window, from outside

HWND FindMainWindow(void) {
    return FindWindowA(kClassName, NULL);
}

HWND EnabledUpdateButton(void) {
    HWND window = FindMainWindow();
    if (window == NULL || !IsWindowVisible(window) || !IsWindowEnabled(window)) {
        return NULL;
    }
    HWND button = GetDlgItem(window, IDC_UPDATE);
    return button != NULL && IsWindowEnabled(button) ? button : NULL;
}

bool ProgressBarFull(void) {
    HWND window = FindMainWindow();
    HWND bar = window != NULL ? FindWindowExA(window, NULL, PROGRESS_CLASSA, NULL) : NULL;
    if (bar == NULL) {
        return false;
    }
    LRESULT high = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    LRESULT position = SendMessageA(bar, PBM_GETPOS, 0, 0);
    return high > 0 && position >= high;
}

// ---------------------------------------------------------------- set-up

std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    // Wine's drive Z: is the root of the Linux file system.
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string FolderOf(const std::string& path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

std::string OwnFolder(void) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, sizeof path);
    return FolderOf(path);
}

// The instrument and the stand-in's records, for the program to inherit.
void SetInstrument(const WindowBenchOptions& o, const std::string& times) {
    char text[32];
    SetEnvironmentVariableA("ORV_VI_PROTOCOL", "1");
    std::snprintf(text, sizeof text, "%u", o.packetSize);
    SetEnvironmentVariableA("ORV_VI_PACKET_SIZE", text);
    SetEnvironmentVariableA("ORV_VI_VERSIONS", "1=1.03");
    std::snprintf(text, sizeof text, "%d", o.turnaroundMs);
    SetEnvironmentVariableA("ORV_VI_REPLY_DELAY_MS", text);
    if (GetEnvironmentVariableA("ORV_MIDI_TX_BYTES_PER_MS", text, sizeof text) == 0) {
        SetEnvironmentVariableA("ORV_MIDI_TX_BYTES_PER_MS", "1000000");
    }
    SetEnvironmentVariableA("ORV_MIDI_TIMES", times.c_str());
}

// ---------------------------------------------------------------- the figures

double Percentile(const std::vector<double>& sorted, double fraction) {
    int count = (int)sorted.size();
    int index = (int)(fraction * (count - 1) + 0.5);
    return sorted[std::min(std::max(index, 0), count - 1)];
}

// The arrivals of the data packets: the longest messages, of which there are as many as
// the file has packets.
bool PacketArrivals(const std::string& timesPath, uint32_t packets, std::vector<uint64_t>* at,
                    bool say) {
    std::string text = ReadWholeFile(timesPath);
    std::vector<std::pair<uint64_t, unsigned long>> all;
    const char* p = text.c_str();
    while (*p != '\0') {
        char* end = nullptr;
        unsigned long long us = std::strtoull(p, &end, 10);
        if (end == p) {
            break;
        }
        unsigned long length = std::strtoul(end, &end, 10);
        all.push_back({(uint64_t)us, length});
        p = end;
        while (*p == '\r' || *p == '\n') {
            p++;
        }
    }
    unsigned long longest = 0;
    for (const auto& a : all) {
        longest = std::max(longest, a.second);
    }
    for (const auto& a : all) {
        if (a.second == longest) {
            at->push_back(a.first);
        }
    }
    if (at->size() != packets) {
        if (!say) {
            return false;
        }
        std::fprintf(stderr, "%u packets expected, %u recorded in %s\n", packets,
                     (unsigned)at->size(), timesPath.c_str());
        return false;
    }
    return true;
}

bool RecordHoldsTransfer(const std::string& timesPath, uint32_t packets) {
    std::vector<uint64_t> arrivals;
    return PacketArrivals(timesPath, packets, &arrivals, false);
}

// CPU time over wall time between the first sample at or after from and the last one at
// or before to.
double CpuShare(const std::vector<CpuSample>& samples, uint64_t from, uint64_t to) {
    const CpuSample* first = nullptr;
    const CpuSample* last = nullptr;
    for (const CpuSample& s : samples) {
        if (s.cpuUs < 0) {
            return -1;
        }
        if (s.at >= from && first == nullptr) {
            first = &s;
        }
        if (s.at <= to) {
            last = &s;
        }
    }
    if (first == nullptr || last == nullptr || last->at <= first->at) {
        return -1;
    }
    return 100.0 * (double)(last->cpuUs - first->cpuUs) / (double)(last->at - first->at);
}

// ---------------------------------------------------------------- one run

// The program's own folder for the run: the program, the stand-in beside it (as
// scripts/run.sh puts it), the system file and the stand-in's record, none of them in
// the build tree.
struct RunFolder {
    std::string path;
    std::string program;
    std::string standin;
    std::string systemFile;
    std::string times;
    std::string marker; // only this run's command line holds it
};

bool MakeRunFolder(const WindowBenchOptions& o, RunFolder* f) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    char name[64];
    std::snprintf(name, sizeof name, "orv_window_bench_%lu", GetCurrentProcessId());
    f->marker = name;
    f->path = std::string(temp) + name;
    f->program = f->path + "\\OrventUpdater.exe";
    f->standin = f->path + "\\winmm.dll";
    f->systemFile = f->path + "\\" + name + ".vsb";
    f->times = f->path + "\\times.txt";
    std::string executable = WindowsPath(o.executable);
    if (!CreateDirectoryA(f->path.c_str(), NULL) ||
        !CopyFileA(executable.c_str(), f->program.c_str(), FALSE) ||
        !CopyFileA((OwnFolder() + "\\winmm.dll").c_str(), f->standin.c_str(), FALSE)) {
        std::fprintf(stderr, "cannot put %s and the stand-in winmm.dll into %s\n",
                     executable.c_str(), f->path.c_str());
        return false;
    }
    return BenchWriteSystemFile(f->systemFile, o.fileSize);
}

void RemoveRunFolder(const RunFolder& f) {
    DeleteFileA(f.times.c_str());
    DeleteFileA(f.systemFile.c_str());
    // The program's image may stay open a moment after its end.
    for (int i = 0; i < 50 && !DeleteFileA(f.program.c_str()); i++) {
        Sleep(100);
    }
    DeleteFileA(f.standin.c_str());
    RemoveDirectoryA(f.path.c_str());
}

// From the click on Update until the progress bar is full, the program's CPU time every
// few milliseconds. False when the update did not start or end in time.
bool Measure(const WindowBenchOptions& o, const RunFolder& f, HANDLE process,
             std::vector<CpuSample>* samples) {
    HWND button = NULL;
    for (int i = 0; i < o.timeoutSeconds * 10 && button == NULL; i++) {
        Sleep(100);
        button = EnabledUpdateButton();
    }
    if (button == NULL) {
        std::fprintf(stderr, "Update was not offered in time\n");
        return false;
    }
    // Under Wine the program's process times stay at 0: Linux tells them.
    bool underWine = GetFileAttributesA("Z:\\proc\\self\\stat") != INVALID_FILE_ATTRIBUTES;
    std::string stat = underWine ? FindLinuxStat(f.marker) : "";
    if (underWine && stat.empty()) {
        std::fprintf(stderr, "the program's Linux process was not found\n");
    }
    samples->reserve((size_t)o.timeoutSeconds * 1000 / kSampleMs + 1);
    // A click as the button takes it from the mouse: pressed and let go over it.
    PostMessageA(button, BM_CLICK, 0, 0);
    uint64_t deadline = NowUs() + (uint64_t)o.timeoutSeconds * 1000000u;
    for (int n = 0; NowUs() < deadline; n++) {
        int64_t cpu =
            underWine ? (stat.empty() ? -1 : LinuxCpuUs(stat)) : ProcessCpuMicroseconds(process);
        samples->push_back({NowUs(), cpu});
        // Asking the bar costs the window a message: seldom. The bar is full as the last
        // packet goes out, before its acknowledgement: the run is over only when the
        // update's port has closed, which is when the stand-in writes its record. A close
        // before that would meet the Stop dialog and leave the program up.
        if (n % kProgressPollSamples == 0 && ProgressBarFull() &&
            RecordHoldsTransfer(f.times, o.fileSize / o.packetSize)) {
            return true;
        }
        Sleep(kSampleMs);
    }
    std::fprintf(stderr, "the update did not finish in time\n");
    return false;
}

// Prints the run's row; false when the records do not hold a whole transfer.
bool PrintFigures(const WindowBenchOptions& o, const RunFolder& f,
                  const std::vector<CpuSample>& samples) {
    std::vector<uint64_t> arrivals;
    if (!PacketArrivals(f.times, o.fileSize / o.packetSize, &arrivals, true)) {
        return false;
    }
    std::vector<double> cycles;
    for (size_t i = 1; i < arrivals.size(); i++) {
        cycles.push_back((double)(arrivals[i] - arrivals[i - 1]) / 1000.0);
    }
    std::sort(cycles.begin(), cycles.end());
    double median = Percentile(cycles, 0.5);
    double p95 = Percentile(cycles, 0.95);
    double wall = (double)(arrivals.back() - arrivals.front()) / 1000.0;
    double cpu = CpuShare(samples, arrivals.front(), arrivals.back());
    char cpuText[32] = "    -  ";
    if (cpu >= 0) {
        std::snprintf(cpuText, sizeof cpuText, "%5.2f %%", cpu);
    }
    std::printf("| %-11s | %7u | %9.2f | %9.2f | %5.3f | %8.2f | %s | %6s |\n", "window",
                (unsigned)arrivals.size(), median, p95,
                median / (double)(kPauseMs + o.turnaroundMs), wall / 1000.0, cpuText, "-");
    if (cpu < 0) {
        std::fprintf(stderr, "no CPU time of the program\n");
    }
    return cpu >= 0;
}

int Run(const WindowBenchOptions& o) {
    if (FindMainWindow() != NULL) {
        std::fprintf(stderr, "an updater window is open already\n");
        return 1;
    }
    RunFolder f;
    if (!MakeRunFolder(o, &f)) {
        RemoveRunFolder(f);
        return 1;
    }
    SetInstrument(o, f.times);
    char mode[8];
    std::snprintf(mode, sizeof mode, "/d%d", o.mode);
    std::string command = "\"" + f.program + "\" " + mode + " \"" + f.systemFile + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, f.path.c_str(), &startup,
                        &process)) {
        std::fprintf(stderr, "cannot start %s\n", f.program.c_str());
        RemoveRunFolder(f);
        return 1;
    }
    std::vector<CpuSample> samples;
    bool finished = Measure(o, f, process.hProcess, &samples);
    HWND window = FindMainWindow();
    if (window != NULL) {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    // The stand-in writes its record when the program's last port closes and at its end.
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the program did not end; ended it\n");
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    int status = finished && PrintFigures(o, f, samples) ? 0 : 1;
    RemoveRunFolder(f);
    return status;
}

uint32_t Number(const char* text) {
    return (uint32_t)strtoul(text, nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    WindowBenchOptions o = {256 * 1024, 1024, 0, 120, 0, ""};
    for (int i = 1; i < argc; i++) {
        if (i + 1 < argc && std::strcmp(argv[i], "--size") == 0) {
            o.fileSize = Number(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--packet") == 0) {
            o.packetSize = Number(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--turnaround") == 0) {
            o.turnaroundMs = (int)Number(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--mode") == 0) {
            o.mode = (int)Number(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--timeout") == 0) {
            o.timeoutSeconds = (int)Number(argv[++i]);
        } else if (argv[i][0] != '-' && o.executable.empty()) {
            o.executable = argv[i];
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (o.executable.empty() || o.mode < 0 || o.mode > 1 || o.packetSize == 0 ||
        o.fileSize % o.packetSize != 0 || o.fileSize / o.packetSize < 2) {
        std::fprintf(stderr, "usage: window-bench [--size BYTES] [--packet BYTES] "
                             "[--turnaround MS] [--mode 0|1] [--timeout SECONDS]\n"
                             "       OrventUpdater.exe\n"
                             "(the size a multiple of the packet size, two packets or more)\n");
        return 2;
    }
    std::printf("%u bytes in packets of %u, instrument turnaround %d ms\n\n", o.fileSize,
                o.packetSize, o.turnaroundMs);
    std::printf("| path        | packets | median ms |    p95 ms | ratio |   wall s | CPU     "
                "| allocs |\n");
    std::printf("|-------------|---------|-----------|-----------|-------|----------|---------"
                "|--------|\n");
    return Run(o);
}
