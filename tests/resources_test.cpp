// The resources are linked into this test executable, so every lookup below goes through
// the same loader paths the updater itself uses.
#include "resources/resource_ids.h"
// Both define the engine's two commands; together they compile only while the values agree.
#include "update/update_engine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

const wchar_t kPathWarningEn[] =
    L"Fail to change current directory to using before.\n(It's not probrem to use.)";
const wchar_t kPathWarningJa[] = L"前回起動時のディレクトリへの\n"
                                 L"移動に失敗しました。\n"
                                 L"ディレクトリ移動を行いません。";
const wchar_t kDriverErrorEn[] = L"MAVO system updater requires \n"
                                 L" MAVO USB MIDI Driver version 1.08 or later. \n"
                                 L" (current version : %d.%02d) ";
const wchar_t kDriverErrorJa[] = L"MAVO USB MIDI Driverのバージョンは1.08以降である\n"
                                 L"必要があります。 (現在のバージョン : Ver %d.%02d) ";

HMODULE Self() {
    return GetModuleHandleA(nullptr);
}

// Reads one entry of a string table block in the given language, without LoadString's
// choice of language getting in the way.
std::wstring StringInLanguage(UINT id, LANGID language) {
    HRSRC found =
        FindResourceExW(Self(), MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
    if (found == nullptr) {
        return L"<missing>";
    }
    const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(Self(), found)));
    const WORD* end = p + SizeofResource(Self(), found) / sizeof(WORD);
    for (UINT i = 0; i < id % 16 && p < end; ++i) {
        p += 1 + *p;
    }
    if (p >= end || p + 1 + *p > end) {
        return L"<damaged>";
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p);
}

// Switches the thread's language for one test and puts the previous one back.
class ThreadLanguage {
  public:
    explicit ThreadLanguage(LANGID language)
        : savedLocale_(GetThreadLocale()), savedUi_(GetThreadUILanguage()) {
        SetThreadUILanguage(language);
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    }
    ~ThreadLanguage() {
        SetThreadUILanguage(savedUi_);
        SetThreadLocale(savedLocale_);
    }

  private:
    LCID savedLocale_;
    LANGID savedUi_;
};

struct MenuEntry {
    const char* text; // nullptr for a separator
    UINT id;          // 0 for a popup
};

void ExpectMenu(HMENU menu, const MenuEntry* entries, int count, const char* where) {
    ASSERT_EQ(count, GetMenuItemCount(menu)) << where;
    for (int i = 0; i < count; ++i) {
        char text[128] = "";
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof text;
        ASSERT_TRUE(GetMenuItemInfoA(menu, i, TRUE, &info)) << where << " position " << i;
        if (entries[i].text == nullptr) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR) << where << " position " << i;
            continue;
        }
        EXPECT_STREQ(entries[i].text, text) << where << " position " << i;
        if (entries[i].id == 0) {
            EXPECT_NE(nullptr, info.hSubMenu) << where << " position " << i;
        } else {
            EXPECT_EQ(entries[i].id, info.wID) << where << " position " << i;
            EXPECT_EQ(nullptr, info.hSubMenu) << where << " position " << i;
        }
    }
}

TEST(ResourcesTest, MenuHasTheSameItemsInEveryLanguage) {
    const MenuEntry bar[] = {
        {"&File", 0}, {"&Stop...", IDM_STOP}, {"&Config...", IDM_CONFIG}, {"&About...", IDM_ABOUT}};
    const MenuEntry file[] = {
        {"&Open...\tCtrl+O", IDM_OPEN}, {"Open &Recent", 0}, {nullptr, 0}, {"&Exit", IDM_EXIT}};
    const MenuEntry recent[] = {{"None", IDM_RECENT_FIRST}};

    for (LANGID language : {kEnglish, kJapanese}) {
        SCOPED_TRACE(language);
        HRSRC found = FindResourceExA(Self(), RT_MENU, "VUPMENU", language);
        ASSERT_NE(nullptr, found);
        HMENU menu = LoadMenuIndirectA(LockResource(LoadResource(Self(), found)));
        ASSERT_NE(nullptr, menu);
        ExpectMenu(menu, bar, 4, "menu bar");
        HMENU fileMenu = GetSubMenu(menu, 0);
        ExpectMenu(fileMenu, file, 4, "File");
        // The recent-files code finds its popup at exactly this position.
        ExpectMenu(GetSubMenu(fileMenu, 1), recent, 1, "Open Recent");
        DestroyMenu(menu);
    }
}

TEST(ResourcesTest, MenuLoadsByName) {
    HMENU menu = LoadMenuA(Self(), RES_MAIN_MENU);
    ASSERT_NE(nullptr, menu);
    EXPECT_EQ(4, GetMenuItemCount(menu));
    DestroyMenu(menu);
}

TEST(ResourcesTest, AcceleratorsGiveOpenAndTheHiddenModeCommand) {
    HACCEL table = LoadAcceleratorsA(Self(), RES_ACCELERATORS);
    ASSERT_NE(nullptr, table);
    ACCEL entries[4] = {};
    ASSERT_EQ(2, CopyAcceleratorTableA(table, entries, 4));
    struct Expected {
        WORD cmd;
        WORD key;
        BYTE modifiers;
    };
    const Expected expected[] = {{IDM_OPEN, 'O', FCONTROL}, {IDM_SET_MODE, 'M', FCONTROL | FSHIFT}};
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.cmd);
        const ACCEL* hit = nullptr;
        for (const ACCEL& a : entries) {
            if (a.cmd == e.cmd) {
                hit = &a;
            }
        }
        ASSERT_NE(nullptr, hit);
        EXPECT_EQ(e.key, hit->key);
        EXPECT_EQ(FVIRTKEY | FNOINVERT | e.modifiers, hit->fVirt);
    }
    DestroyAcceleratorTable(table);
}

TEST(ResourcesTest, StringTableHoldsBothLanguagesExactly) {
    struct Case {
        LANGID language;
        UINT id;
        const wchar_t* text;
    };
    const Case cases[] = {
        {kEnglish, IDS_CURRENT_PATH_WARNING, kPathWarningEn},
        {kEnglish, IDS_DRIVER_VERSION_ERROR, kDriverErrorEn},
        {kJapanese, IDS_CURRENT_PATH_WARNING, kPathWarningJa},
        {kJapanese, IDS_DRIVER_VERSION_ERROR, kDriverErrorJa},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.language << " " << c.id);
        EXPECT_TRUE(StringInLanguage(c.id, c.language) == c.text);
    }
}

TEST(ResourcesTest, UserLanguagePicksTheStringsEnglishOtherwise) {
    struct Case {
        LANGID thread;
        UINT id;
        const wchar_t* expected;
    };
    const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
    const Case cases[] = {
        {kJapanese, IDS_CURRENT_PATH_WARNING, kPathWarningJa},
        {kJapanese, IDS_DRIVER_VERSION_ERROR, kDriverErrorJa},
        {kEnglish, IDS_CURRENT_PATH_WARNING, kPathWarningEn},
        {kEnglish, IDS_DRIVER_VERSION_ERROR, kDriverErrorEn},
        {german, IDS_CURRENT_PATH_WARNING, kPathWarningEn},
        {german, IDS_DRIVER_VERSION_ERROR, kDriverErrorEn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.thread << " " << c.id);
        ThreadLanguage language(c.thread);
        wchar_t wide[256] = L"";
        ASSERT_LT(0, LoadStringW(Self(), c.id, wide, 256));
        EXPECT_TRUE(std::wstring(wide) == c.expected);
        // The program itself loads 8-bit text, converted to the system's code page.
        char narrow[256] = "";
        char expected[256] = "";
        ASSERT_LT(0, LoadStringA(Self(), c.id, narrow, sizeof narrow));
        WideCharToMultiByte(CP_ACP, 0, c.expected, -1, expected, sizeof expected, nullptr, nullptr);
        EXPECT_STREQ(expected, narrow);
    }
}

TEST(ResourcesTest, EnglishStringsLoadAsTheCodeUsesThem) {
    ThreadLanguage language(kEnglish);
    char text[256] = "";
    ASSERT_LT(0, LoadStringA(Self(), IDS_CURRENT_PATH_WARNING, text, sizeof text));
    EXPECT_STREQ("Fail to change current directory to using before.\n(It's not probrem to use.)",
                 text);

    // The driver's version arrives as high byte major, low byte minor: 0x0107 is 1.07.
    char format[256] = "";
    ASSERT_LT(0, LoadStringA(Self(), IDS_DRIVER_VERSION_ERROR, format, sizeof format));
    char message[256];
    snprintf(message, sizeof message, format, 0x0107 >> 8, 0x0107 & 0xFF);
    EXPECT_STREQ("MAVO system updater requires \n MAVO USB MIDI Driver version 1.08 or later. \n"
                 " (current version : 1.07) ",
                 message);
}

// On a Japanese system the program loads the strings as Shift-JIS into 256-byte buffers:
// every character must exist there and the formatted message must still fit.
TEST(ResourcesTest, JapaneseStringsFitTheirBuffersInShiftJis) {
    for (UINT id : {IDS_CURRENT_PATH_WARNING, IDS_DRIVER_VERSION_ERROR}) {
        SCOPED_TRACE(id);
        std::wstring wide = StringInLanguage(id, kJapanese);
        char narrow[256];
        BOOL lossy = FALSE;
        int length =
            WideCharToMultiByte(932, 0, wide.c_str(), -1, narrow, sizeof narrow, nullptr, &lossy);
        ASSERT_LT(0, length) << "does not fit 256 bytes";
        EXPECT_FALSE(lossy);
        char message[512];
        int formatted = snprintf(message, sizeof message, narrow, 255, 99);
        EXPECT_GT(256, formatted);
    }
}

TEST(ResourcesTest, IconHasEveryImageSizeAndIsTransparentOutsideItsTile) {
    HRSRC group = FindResourceA(Self(), "VWICON", RT_GROUP_ICON);
    ASSERT_NE(nullptr, group);
    BYTE* directory = static_cast<BYTE*>(LockResource(LoadResource(Self(), group)));

    for (int size : {16, 32, 48, 128, 256}) {
        SCOPED_TRACE(size);
        // An image of exactly this size, not one the loader would have to scale.
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceA(Self(), MAKEINTRESOURCEA(id), RT_ICON);
        ASSERT_NE(nullptr, image);
        const BYTE* bits = static_cast<const BYTE*>(LockResource(LoadResource(Self(), image)));
        int width = 0;
        if (memcmp(bits, "\x89PNG", 4) == 0) {
            width = (bits[18] << 8) | bits[19];
        } else {
            width = reinterpret_cast<const BITMAPINFOHEADER*>(bits)->biWidth;
        }
        EXPECT_EQ(size, width);

        HICON icon = static_cast<HICON>(
            LoadImageA(Self(), RES_APP_ICON, IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(nullptr, icon);

        // Drawn over the info area's grey, as the log view does: the corners keep the grey,
        // the middle does not.
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = size;
        info.bmiHeader.biHeight = -size;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* pixels = nullptr;
        HDC dc = CreateCompatibleDC(nullptr);
        HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
        ASSERT_NE(nullptr, bitmap);
        HGDIOBJ old = SelectObject(dc, bitmap);
        const DWORD grey = 0x00C0C0C0;
        DWORD* p = static_cast<DWORD*>(pixels);
        for (int i = 0; i < size * size; ++i) {
            p[i] = grey;
        }
        ASSERT_TRUE(DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL));
        GdiFlush();
        EXPECT_EQ(grey, p[0] & 0xFFFFFF);
        EXPECT_EQ(grey, p[size * size - 1] & 0xFFFFFF);
        EXPECT_NE(grey, p[(size / 2) * size + size / 2] & 0xFFFFFF);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        DestroyIcon(icon);
    }
}

// Reads the fields of a dialog template one after the other; running past its end marks
// the reader as failed instead of reading on.
class TemplateReader {
  public:
    TemplateReader(const void* data, size_t size)
        : base_(static_cast<const BYTE*>(data)), p_(base_), end_(base_ + size) {}
    WORD Word() {
        WORD value = 0;
        Read(&value, sizeof value);
        return value;
    }
    DWORD Dword() {
        DWORD value = 0;
        Read(&value, sizeof value);
        return value;
    }
    int Short() {
        return static_cast<short>(Word());
    }
    void Skip(size_t bytes) {
        if (bytes > static_cast<size_t>(end_ - p_)) {
            failed_ = true;
            bytes = end_ - p_;
        }
        p_ += bytes;
    }
    // A text or 0xFFFF and an ordinal: menu, class and control titles.
    void SkipNameOrOrdinal() {
        WORD first = Word();
        if (first == 0xFFFF) {
            Word();
            return;
        }
        while (first != 0 && ok()) {
            first = Word();
        }
    }
    void AlignToDword() {
        Skip((4 - (p_ - base_) % 4) % 4);
    }
    bool ok() const {
        return !failed_;
    }

  private:
    void Read(void* out, size_t bytes) {
        if (bytes > static_cast<size_t>(end_ - p_)) {
            failed_ = true;
            p_ = end_;
            return;
        }
        memcpy(out, p_, bytes);
        p_ += bytes;
    }

    const BYTE* base_;
    const BYTE* p_;
    const BYTE* end_;
    bool failed_ = false;
};

struct DialogControl {
    long id;
    int x, y, cx, cy;
};

struct DialogLayout {
    int cx = 0, cy = 0; // the client area, in dialog units
    std::vector<DialogControl> controls;
    bool complete = false;
};

// Both template formats: DIALOG (DLGTEMPLATE) and DIALOGEX (DLGTEMPLATEEX).
DialogLayout ReadDialog(const void* data, size_t size) {
    TemplateReader r(data, size);
    DialogLayout dialog;
    WORD version = r.Word();
    WORD signature = r.Word();
    bool extended = version == 1 && signature == 0xFFFF;
    DWORD style = MAKELONG(version, signature);
    if (extended) {
        r.Dword(); // help id
        r.Dword(); // extended style
        style = r.Dword();
    } else {
        r.Dword(); // extended style
    }
    WORD count = r.Word();
    r.Short();
    r.Short();
    dialog.cx = r.Short();
    dialog.cy = r.Short();
    r.SkipNameOrOrdinal(); // menu
    r.SkipNameOrOrdinal(); // class
    r.SkipNameOrOrdinal(); // caption
    if (style & DS_SETFONT) {
        r.Word(); // point size
        if (extended) {
            r.Word();  // weight
            r.Skip(2); // italic, character set
        }
        r.SkipNameOrOrdinal(); // face name
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignToDword();
        r.Dword(); // help id (extended) or style
        r.Dword(); // style (extended) or extended style
        if (extended) {
            r.Dword(); // extended style
        }
        DialogControl control;
        control.x = r.Short();
        control.y = r.Short();
        control.cx = r.Short();
        control.cy = r.Short();
        control.id = extended ? static_cast<LONG>(r.Dword()) : r.Short();
        r.SkipNameOrOrdinal(); // class
        r.SkipNameOrOrdinal(); // text, or the icon's name
        r.Skip(r.Word());      // creation data
        dialog.controls.push_back(control);
    }
    dialog.complete = r.ok() && dialog.controls.size() == count;
    return dialog;
}

// The updater itself, beside the tests' folder, opened for its resources only.
HMODULE LoadUpdaterImage() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* folder = strrchr(path, '\\');
    if (folder == nullptr) {
        return nullptr;
    }
    *folder = '\0';
    folder = strrchr(path, '\\');
    if (folder == nullptr) {
        return nullptr;
    }
    snprintf(folder, sizeof path - (folder - path), "\\OrventUpdater.exe");
    return LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

// A label running past the dialog's edge is cut off; a control outside it cannot be
// reached. The Japanese templates use other fonts and sizes than the English ones, so
// each language is checked on its own, and both must hold the same controls.
TEST(ResourcesTest, EveryControlLiesInsideItsDialogInBothLanguages) {
    HMODULE updater = LoadUpdaterImage();
    ASSERT_NE(nullptr, updater) << "OrventUpdater.exe not found beside the tests' folder";
    struct Template {
        const char* name;
        bool japanese; // false: one template for every language
    };
    const Template templates[] = {{"CONFIG_DIALOG", true},
                                  {"CONFIG_DIALOG2", true},
                                  {"STOP_DIALOG", true},
                                  {"MODE_DIALOG", true},
                                  {"ABOUTDIALOG", false}};
    const LANGID neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    for (const Template& t : templates) {
        std::vector<long> englishIds;
        // An icon's size 0 lets the control take the icon's own size.
        for (LANGID language : {kEnglish, kJapanese}) {
            SCOPED_TRACE(testing::Message() << t.name << " language " << language);
            HRSRC found =
                FindResourceExA(updater, RT_DIALOG, t.name, t.japanese ? language : neutral);
            ASSERT_NE(nullptr, found);
            DialogLayout dialog = ReadDialog(LockResource(LoadResource(updater, found)),
                                             SizeofResource(updater, found));
            ASSERT_TRUE(dialog.complete);
            ASSERT_FALSE(dialog.controls.empty());
            std::vector<long> ids;
            for (const DialogControl& c : dialog.controls) {
                EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.cx >= 0 && c.cy >= 0 &&
                            c.x + c.cx <= dialog.cx && c.y + c.cy <= dialog.cy)
                    << "control " << c.id << " at " << c.x << "," << c.y << " " << c.cx << "x"
                    << c.cy << " in a dialog of " << dialog.cx << "x" << dialog.cy;
                ids.push_back(c.id);
            }
            std::sort(ids.begin(), ids.end());
            if (language == kEnglish) {
                englishIds = ids;
            } else {
                EXPECT_EQ(englishIds, ids) << "the languages hold different controls";
            }
        }
    }
    FreeLibrary(updater);
}

INT_PTR CALLBACK InertDialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

// A static label wraps a text wider than itself onto a second line, which a label one
// line high cuts off: each label of the About dialog must hold its whole text on one
// line, measured with the font the dialog itself made from its template, at the width
// the dialog gives the label.
TEST(ResourcesTest, AboutLabelsHoldTheirTextsOnOneLineInTheDialogsFont) {
    HRSRC found = FindResourceExA(Self(), RT_DIALOG, "ABOUTDIALOG",
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    ASSERT_NE(nullptr, found);
    const void* data = LockResource(LoadResource(Self(), found));
    DialogLayout layout = ReadDialog(data, SizeofResource(Self(), found));
    ASSERT_TRUE(layout.complete);
    HWND dialog = CreateDialogIndirectParamW(Self(), static_cast<const DLGTEMPLATE*>(data), nullptr,
                                             InertDialogProc, 0);
    ASSERT_NE(nullptr, dialog);
    std::vector<HWND> children; // in template order
    EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
    ASSERT_EQ(layout.controls.size(), children.size());

    HDC dc = GetDC(dialog);
    HGDIOBJ previous = SelectObject(dc, (HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0));
    wchar_t face[LF_FACESIZE] = L"";
    GetTextFaceW(dc, LF_FACESIZE, face);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    int labels = 0;
    for (size_t i = 0; i < children.size(); ++i) {
        wchar_t type[16] = L"";
        GetClassNameW(children[i], type, 16);
        LONG style = GetWindowLongW(children[i], GWL_STYLE);
        if (lstrcmpiW(type, L"Static") != 0 || (style & SS_TYPEMASK) != SS_LEFT) {
            continue;
        }
        labels++;
        wchar_t text[256] = L"";
        int length = GetWindowTextW(children[i], text, 256);
        RECT label = {0, 0, layout.controls[i].cx, layout.controls[i].cy};
        MapDialogRect(dialog, &label);
        SIZE extent = {};
        GetTextExtentPoint32W(dc, text, length, &extent);
        RECT drawn = {0, 0, label.right, 0};
        DrawTextW(dc, text, length, &drawn, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
        std::string shown(text, text + length);
        EXPECT_LE(extent.cx, label.right)
            << '"' << shown << "\" in a label of " << layout.controls[i].cx << " units, font "
            << std::string(face, face + lstrlenW(face));
        EXPECT_EQ(metrics.tmHeight, drawn.bottom) << '"' << shown << "\" wraps";
    }
    EXPECT_EQ(2, labels) << "the title and the notice line";
    SelectObject(dc, previous);
    ReleaseDC(dialog, dc);
    DestroyWindow(dialog);
}

TEST(ResourcesTest, VersionIs1211InNumbersAndText) {
    char path[MAX_PATH];
    ASSERT_LT(0u, GetModuleFileNameA(nullptr, path, sizeof path));
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_LT(0u, size);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, &block[0]));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(MAKELONG(2, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 1), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(2, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(1, 1), fixed->dwProductVersionLS);

    // Readers find the texts through the translation list, so it must name their block.
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_LE(4u, length);
    for (const char* name : {"FileVersion", "ProductVersion"}) {
        char query[64];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                 translation[1], name);
        char* value = nullptr;
        ASSERT_TRUE(VerQueryValueA(&block[0], query, reinterpret_cast<void**>(&value), &length))
            << query;
        EXPECT_STREQ("1.2.1.1", value) << name;
    }
}

TEST(ResourcesTest, ManifestAsksForCommonControls6AsInvoker) {
    HRSRC found = FindResourceA(Self(), MAKEINTRESOURCEA(1), RT_MANIFEST);
    ASSERT_NE(nullptr, found);
    const char* data = static_cast<const char*>(LockResource(LoadResource(Self(), found)));
    std::string manifest(data, SizeofResource(Self(), found));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\""));
    EXPECT_NE(std::string::npos, manifest.find("version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));

    // The loader acted on it: comctl32 of this process comes from the version 6 assembly.
    ACTCTX_SECTION_KEYED_DATA redirect = {};
    redirect.cbSize = sizeof redirect;
    EXPECT_TRUE(FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                         L"comctl32.dll", &redirect));
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    ASSERT_NE(nullptr, comctl);
    char path[MAX_PATH] = "";
    GetModuleFileNameA(comctl, path, sizeof path);
    CharLowerA(path);
    EXPECT_NE(nullptr, strstr(path, "common-controls_6595b64144ccf1df_6.")) << path;
    FreeLibrary(comctl);
}

} // namespace
