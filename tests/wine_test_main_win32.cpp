// The main of every test program of the Windows build.
//
// GoogleTest gives each thread that reports a result a watcher thread, which waits for
// that thread's end. The main thread's watcher is still waiting when the process exits,
// and Wine stops it with a signal while the main thread is already inside the C
// library's exit: once in a few hundred runs on a loaded machine the process then dies of
// a segmentation fault after every test has passed. So the tests run on a thread of
// their own; when it ends, its watcher ends on its own, and the process exits with no
// other thread left to stop.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

namespace {

const SIZE_T kTestThreadStackBytes = 8u * 1024u * 1024u;
const int kOtherThreadsWaitMs = 5000;

struct TestRun {
    int argc;
    char** argv;
    int result;
};

DWORD WINAPI RunTests(LPVOID param) {
    TestRun* run = static_cast<TestRun*>(param);
    testing::InitGoogleTest(&run->argc, run->argv);
    run->result = RUN_ALL_TESTS();
    return 0;
}

// A thread that started in this program's image: GoogleTest's watcher, or one a test
// left behind. Threads of the system's or the stand-in drivers' DLLs are not waited for.
int StartedInThisProgram(DWORD threadId) {
    typedef LONG(WINAPI * QueryThread)(HANDLE, int, PVOID, ULONG, PULONG);
    const int kThreadStartAddress = 9;
    static QueryThread query = reinterpret_cast<QueryThread>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
    if (query == NULL || thread == NULL) {
        if (thread != NULL) {
            CloseHandle(thread);
        }
        return 0;
    }
    ULONG_PTR start = 0;
    const LONG status = query(thread, kThreadStartAddress, &start, sizeof start, NULL);
    CloseHandle(thread);
    const ULONG_PTR image = reinterpret_cast<ULONG_PTR>(GetModuleHandleA(NULL));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    return status == 0 && start >= image && start < image + nt->OptionalHeader.SizeOfImage;
}

int OtherThreadsOfThisProgram(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD process = GetCurrentProcessId();
    const DWORD self = GetCurrentThreadId();
    int others = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self &&
            StartedInThisProgram(entry.th32ThreadID)) {
            ++others;
        }
    }
    CloseHandle(snapshot);
    return others;
}

} // namespace

int main(int argc, char** argv) {
    TestRun run = {argc, argv, 1};
    HANDLE thread = CreateThread(NULL, kTestThreadStackBytes, RunTests, &run,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (thread == NULL) {
        return 1;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    // The watcher ends just after the thread it watched; a thread a test left behind does
    // not, and the process ends it as before once the wait is over.
    const ULONGLONG deadline = GetTickCount64() + kOtherThreadsWaitMs;
    int others;
    while ((others = OtherThreadsOfThisProgram()) > 0 && GetTickCount64() < deadline) {
        Sleep(1);
    }
    if (others > 0) {
        std::fprintf(stderr, "[ exit     ] %d thread(s) of the tests still running\n", others);
    }
    return run.result;
}
