#include "tests/window_test_support.h"

std::vector<std::string> g_messageBoxes;
StandinControl g_standin;

namespace {

BOOL CALLBACK CloseMessageBox(HWND window, LPARAM) {
    char className[32];
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) {
        char text[512] = "";
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        g_messageBoxes.push_back(text);
        PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

template <typename T> bool Bind(HMODULE module, const char* name, T* out) {
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

} // namespace

void CALLBACK MessageBoxCloser(HWND, UINT, UINT_PTR, DWORD) {
    EnumThreadWindows(GetCurrentThreadId(), CloseMessageBox, 0);
}

bool BindStandin(void) {
    HMODULE m = GetModuleHandleA("winmm.dll");
    return m != NULL && Bind(m, "StandinReset", &g_standin.reset) &&
           Bind(m, "StandinInject", &g_standin.inject) &&
           Bind(m, "StandinPendingInput", &g_standin.pendingInput) &&
           Bind(m, "StandinOpenDevice", &g_standin.openDevice) &&
           Bind(m, "StandinOpenPortCount", &g_standin.openPortCount) &&
           Bind(m, "StandinServiceThreads", &g_standin.serviceThreads) &&
           Bind(m, "StandinDroppedInputBytes", &g_standin.droppedInputBytes) &&
           Bind(m, "StandinForeignBytes", &g_standin.foreignBytes) &&
           Bind(m, "StandinMessageCount", &g_standin.messageCount) &&
           Bind(m, "StandinMessage", &g_standin.message);
}
