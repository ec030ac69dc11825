#include "tests/window_test_support.h"

#include <gtest/gtest.h>

std::vector<std::string> g_messageBoxes;
StandinControl g_standin;

std::vector<SeenMessageBox> g_messageBoxDetails;
std::vector<MessageBoxCall> g_messageBoxCalls;

namespace {

typedef int(WINAPI* MessageBoxAProc)(HWND, LPCSTR, LPCSTR, UINT);
MessageBoxAProc g_realMessageBoxA = NULL;

int WINAPI RecordingMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    (void)text;
    g_messageBoxCalls.push_back({owner, caption != NULL, type});
    return g_realMessageBoxA(owner, text, caption, type);
}

BOOL CALLBACK ReadControl(HWND control, LPARAM lParam) {
    SeenMessageBox* seen = reinterpret_cast<SeenMessageBox*>(lParam);
    if (!IsWindowVisible(control)) {
        return TRUE;
    }
    char className[32];
    GetClassNameA(control, className, sizeof className);
    if (lstrcmpiA(className, "Button") == 0) {
        seen->buttons.push_back(GetDlgCtrlID(control));
    } else if (lstrcmpiA(className, "Static") == 0 &&
               (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
               SendMessageA(control, STM_GETICON, 0, 0) != 0) {
        seen->icon = true;
    }
    return TRUE;
}

BOOL CALLBACK CloseMessageBox(HWND window, LPARAM) {
    char className[32];
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) {
        char text[512] = "";
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        g_messageBoxes.push_back(text);
        SeenMessageBox seen;
        char caption[256] = "";
        GetWindowTextA(window, caption, sizeof caption);
        seen.caption = caption;
        seen.owner = GetWindow(window, GW_OWNER);
        seen.icon = false;
        EnumChildWindows(window, ReadControl, reinterpret_cast<LPARAM>(&seen));
        g_messageBoxDetails.push_back(seen);
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

bool RecordMessageBoxCalls(void) {
    if (g_realMessageBoxA != NULL) {
        return true;
    }
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(NULL));
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* d =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && d->Name != 0; d++) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), "user32.dll") != 0 ||
            d->OriginalFirstThunk == 0) {
            continue;
        }
        const IMAGE_THUNK_DATA* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (int i = 0; names[i].u1.AddressOfData != 0; i++) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                continue;
            }
            const IMAGE_IMPORT_BY_NAME* name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(name->Name), "MessageBoxA") != 0) {
                continue;
            }
            DWORD protection = 0;
            if (!VirtualProtect(&slots[i], sizeof slots[i], PAGE_READWRITE, &protection)) {
                return false;
            }
            g_realMessageBoxA = reinterpret_cast<MessageBoxAProc>(slots[i].u1.Function);
            slots[i].u1.Function = reinterpret_cast<ULONG_PTR>(RecordingMessageBoxA);
            VirtualProtect(&slots[i], sizeof slots[i], protection, &protection);
            return true;
        }
    }
    return false;
}

void ExpectPlainMessageBox(size_t index, HWND owner) {
    ASSERT_GT(g_messageBoxDetails.size(), index);
    const SeenMessageBox& box = g_messageBoxDetails[index];
    EXPECT_EQ(box.owner, owner);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(box.icon);
    ASSERT_GT(g_messageBoxCalls.size(), index) << "RecordMessageBoxCalls not in force";
    const MessageBoxCall& call = g_messageBoxCalls[index];
    EXPECT_EQ(call.owner, owner);
    EXPECT_FALSE(call.hasCaption);
    EXPECT_EQ(call.type & MB_TYPEMASK, (UINT)MB_OK);
    EXPECT_EQ(call.type & MB_ICONMASK, 0u);
    EXPECT_NE(call.type & MB_SETFOREGROUND, 0u);
}
