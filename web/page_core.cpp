// The page's front end over the core: what the window does with a system file, the
// instrument and an update, for the browser page (web/app.js draws it). The log view
// keeps its rows as text and hands each changed row to the page's script; the update's
// progress and end reach the script through the observer; the script calls the entry
// points below, as the window's commands and file loading call the core. The page works
// as the window in "User mode(with text)": a loaded file is described, the instrument asked
// for its version, and Update offered; Stop... is there during a block's transfer.
//
// The entry points that reach the instrument may suspend the stack: the page calls them as
// jobs of the platform's queue (Module.orventCall). PagePause, PageContinue and PageAbort
// never suspend; the page calls them directly while an update is suspended.
#include "app/update_rows.h"
#include "logview/log_view.h"
#include "midi/midi_rawmidi.h"
#include "platform/text.h"
#include "sysfile/system_file.h"
#include "transports/usb_bulk.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <emscripten/emscripten.h>

#include <cstring>

// The areas of the page's view, as the page's script knows them.
#define PAGE_AREA_DETAILS 0
#define PAGE_AREA_STATUS 1
#define PAGE_AREA_LOG 2

// The window's UiState.
#define UI_IDLE 0
#define UI_READY 2
#define UI_UPDATING 3

// The details block holds rows 0 to 3 (64 pixels), the status block rows 0 and 1 (36).
#define DETAILS_ROWS 4
#define STATUS_ROWS 2
// Texts drawn in one row without clearing it: a label and its value, or a text over them.
#define ROW_SEGMENTS 4

#define NO_TRANSPORT (-1)

// The browser's MIDI ports looked through for the instrument's.
#define MIDI_PORTS_LISTED 64

// What the page's script is told (Module.orventPage, given when the core is made).
// clang-format off
EM_JS(void, PageShowRow, (int area, int row), {
    Module.orventPage.row(area, row);
});
EM_JS(void, PageShowSegment, (int x, int bold, int alignRight, const char* text), {
    Module.orventPage.segment(x, bold, alignRight, UTF8ToString(text));
});
EM_JS(void, PageShowProgress, (double range, double position), {
    Module.orventPage.progress(range, position);
});
EM_JS(void, PageShowTransferActive, (int active), {
    Module.orventPage.transferActive(active);
});
EM_JS(void, PageShowFinished, (int result, const char* text), {
    Module.orventPage.finished(result, UTF8ToString(text));
});
EM_JS(void, PageShowMessage, (const char* text), {
    Module.orventPage.message(UTF8ToString(text));
});
EM_JS(void, PageShowControls, (int uiState, int updateEnabled), {
    Module.orventPage.controls(uiState, updateEnabled);
});
// clang-format on

namespace {

// One text of a row: where it was drawn and how. The window keeps only pixels; here a
// text drawn where another stands (same place, same alignment) takes its place.
struct PageSegment {
    int x;
    int bold;
    int alignRight;
    char text[TEXT_SIZE];
};

struct PageRow {
    int count;
    PageSegment segments[ROW_SEGMENTS];
};

struct PageView {
    PageRow details[DETAILS_ROWS];
    PageRow status[STATUS_ROWS];
    char log[LOG_ROW_COUNT][TEXT_SIZE];
    int logRow; // 0 to 15; 16 between two writes, as the window's
};

PageView s_view;

// The window's fields the page needs.
struct Page {
    int uiState;
    int updateEnabled;
    int openDeviceType; // the transport open now, NO_TRANSPORT for none
    SystemFileHeader loadedFileInfo;
    char updateFileName[PATH_SIZE];
    int64_t progressRange;
    int64_t progressPosition;
    RawMidiPortInfo midiPorts[MIDI_PORTS_LISTED];
    int midiPortCount;
};

Page g_page = {UI_IDLE, 0, NO_TRANSPORT, {}, {0}, 0, 0, {}, 0};

void ShowRow(int area, int row, const PageRow& r) {
    PageShowRow(area, row);
    for (int i = 0; i < r.count; i++) {
        const PageSegment& s = r.segments[i];
        PageShowSegment(s.x, s.bold, s.alignRight, s.text);
    }
}

void ShowLogRow(int row) {
    PageShowRow(PAGE_AREA_LOG, row);
    PageShowSegment(0, INFO_NORMAL, INFO_ALIGN_LEFT, s_view.log[row]);
}

void PutSegment(PageRow* r, int x, const char* text, int bold, int clearRow, int alignRight) {
    if (clearRow) {
        r->count = 0;
    }
    int at = 0;
    while (at < r->count && !(r->segments[at].x == x && r->segments[at].alignRight == alignRight)) {
        at++;
    }
    if (at == ROW_SEGMENTS) {
        at = ROW_SEGMENTS - 1;
    } else if (at == r->count) {
        r->count++;
    }
    PageSegment& s = r->segments[at];
    s.x = x;
    s.bold = bold;
    s.alignRight = alignRight;
    TextCopy(s.text, sizeof s.text, text);
}

void ShowControls(int uiState) {
    g_page.uiState = uiState;
    PageShowControls(g_page.uiState, g_page.updateEnabled);
}

void EnableUpdate(int enabled) {
    g_page.updateEnabled = enabled;
    PageShowControls(g_page.uiState, g_page.updateEnabled);
}

void CloseOpenTransport(void) {
    TransportClose(g_page.openDeviceType);
    g_page.openDeviceType = NO_TRANSPORT;
}

void TakeProgressRange(void*, int64_t length) {
    g_page.progressRange = length;
    PageShowProgress((double)g_page.progressRange, (double)g_page.progressPosition);
}

void TakeProgressPosition(void*, int64_t position) {
    g_page.progressPosition = position;
    PageShowProgress((double)g_page.progressRange, (double)g_page.progressPosition);
}

void TakeTransferActive(void*, int active) {
    PageShowTransferActive(active);
}

// The page ends the run as the window ends it on CMD_UPDATE_FINISHED (PageUpdateEnd), once
// this stack has made its last store.
void TakeFinished(void*, int result, const char* text) {
    PageShowFinished(result, text);
}

const UpdateObserver kPageObserver = {nullptr, TakeProgressRange, TakeProgressPosition,
                                      TakeTransferActive, TakeFinished};

void ShowUpdateOffer(void) {
    EnableUpdate(1);
    PutUpdateOfferRows(g_page.loadedFileInfo.deviceName);
}

void ShowAlreadyLatest(void) {
    EnableUpdate(0);
    PutAlreadyLatestRows();
}

int CheckDeviceVersion(const char* path) {
    const int r = InquireVersion(&g_page.loadedFileInfo, g_page.openDeviceType, nullptr);
    if (r == INQUIRE_NO_ANSWER) {
        CloseOpenTransport();
        g_page.updateEnabled = 0;
        ShowControls(UI_IDLE);
        TellInstrumentNotFound(g_page.loadedFileInfo.deviceName, PageShowMessage);
        return 0;
    }
    if (r == INQUIRE_UPDATE_NEEDED) {
        ShowUpdateOffer();
    } else {
        ShowAlreadyLatest();
    }
    TextCopy(g_page.updateFileName, sizeof g_page.updateFileName, path);
    ShowControls(UI_READY);
    return 1;
}

// A page never refuses a wait for the run's end: the run tells its end itself.
int NeverWait(uint32_t) {
    return 0;
}

} // namespace

// ---- The log view of logview/log_view.h, as text ----

void LogWrite(int flags, const char* text) {
    PageView& v = s_view;
    if (flags & LOG_NEWLINE_BEFORE) {
        v.logRow++;
    }
    const bool scroll = v.logRow >= LOG_ROW_COUNT;
    if (scroll) {
        memmove(v.log[0], v.log[1], sizeof v.log - sizeof v.log[0]);
        v.logRow = LOG_ROW_COUNT - 1;
    }
    TextCopy(v.log[v.logRow], sizeof v.log[0], text);
    if (scroll) {
        for (int row = 0; row < LOG_ROW_COUNT; row++) {
            ShowLogRow(row);
        }
    } else {
        ShowLogRow(v.logRow);
    }
    if (flags & LOG_NEWLINE_AFTER) {
        v.logRow++;
    }
}

void LogClear(void) {
    PageView& v = s_view;
    memset(v.log, 0, sizeof v.log);
    v.logRow = 0;
    for (int row = 0; row < LOG_ROW_COUNT; row++) {
        ShowLogRow(row);
    }
}

void InfoClearDetails(void) {
    for (int row = 0; row < DETAILS_ROWS; row++) {
        s_view.details[row].count = 0;
        ShowRow(PAGE_AREA_DETAILS, row, s_view.details[row]);
    }
}

void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight) {
    if (row < 0 || row >= DETAILS_ROWS) {
        return; // outside the block
    }
    PutSegment(&s_view.details[row], x, text, bold, clearRow, alignRight);
    ShowRow(PAGE_AREA_DETAILS, row, s_view.details[row]);
}

void InfoClearStatus(void) {
    for (int row = 0; row < STATUS_ROWS; row++) {
        s_view.status[row].count = 0;
        ShowRow(PAGE_AREA_STATUS, row, s_view.status[row]);
    }
}

void InfoPutStatus(int x, int row, const char* text, int clearRow) {
    if (row < 0 || row >= STATUS_ROWS) {
        return;
    }
    PutSegment(&s_view.status[row], x, text, INFO_NORMAL, clearRow, INFO_ALIGN_LEFT);
    ShowRow(PAGE_AREA_STATUS, row, s_view.status[row]);
}

// ---- The page's entry points ----

// The window's creation: the update buffers, the USB device manager, the first details
// row. 0 when the buffers could not be had (the message is shown).
extern "C" EMSCRIPTEN_KEEPALIVE int PageStart(void) {
    char errorText[TEXT_SIZE];
    ShowLog = 1;
    if (!AllocUpdateBuffers(errorText)) {
        PageShowMessage(errorText);
        return 0;
    }
    init_cusbbulk();
    InfoPutDetails(0, 0, "Open system file(*.vsb)", INFO_BOLD, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
    ShowControls(UI_IDLE);
    return 1;
}

// The first half of loading a file: the view cleared, the open transport closed and the
// file described. 1 when the file is a system file; 0 when the analysis showed why not.
extern "C" EMSCRIPTEN_KEEPALIVE int PageAnalyzeFile(const char* path) {
    char file[PATH_SIZE];
    TextCopy(file, sizeof file, path);
    LogClear();
    InfoClearDetails();
    InfoClearStatus();
    g_page.updateEnabled = 0;
    ShowControls(UI_READY);
    CloseOpenTransport();
    ShowControls(UI_IDLE);
    return AnalyzeSystemFile(file, &g_page.loadedFileInfo);
}

// The second half, once the page holds the browser's device for the transport: opens it
// and asks the instrument for its version. 1 when the instrument answered (the update is
// offered, or the instrument is up to date); 0 when the open failed or nobody answered
// (the message is shown).
extern "C" EMSCRIPTEN_KEEPALIVE int PageOpenAndInquire(const char* path, int deviceType,
                                                       const char* midiOutput,
                                                       const char* midiInput, int baudRate) {
    char file[PATH_SIZE];
    char errorText[PATH_SIZE];
    TextCopy(file, sizeof file, path);
    // A serial port is the one the browser's chooser gave, whatever its number; a browser
    // has no maker's MIDI driver to insist on.
    const TransportChoice choice = {deviceType, 1, baudRate, midiOutput, midiInput, 0};
    if (!TransportOpen(&choice, errorText)) {
        PageShowMessage(errorText);
        ShowControls(UI_IDLE);
        return 0;
    }
    g_page.openDeviceType = deviceType;
    return CheckDeviceVersion(file);
}

// The MIDI ports of the browser's MIDI access the page handed over, as MidiOpen finds them
// by name: their count, then each one's name and the ways it goes (RAWMIDI_INPUT,
// RAWMIDI_OUTPUT or both), for the page's "Out Port" and "In Port" lists.
extern "C" EMSCRIPTEN_KEEPALIVE int PageMidiPortCount(void) {
    Page& p = g_page;
    p.midiPortCount = RawMidiListPorts(p.midiPorts, MIDI_PORTS_LISTED);
    if (p.midiPortCount > MIDI_PORTS_LISTED) {
        p.midiPortCount = MIDI_PORTS_LISTED;
    }
    return p.midiPortCount;
}

extern "C" EMSCRIPTEN_KEEPALIVE const char* PageMidiPortName(int index) {
    return index >= 0 && index < g_page.midiPortCount ? g_page.midiPorts[index].name : "";
}

extern "C" EMSCRIPTEN_KEEPALIVE int PageMidiPortWays(int index) {
    if (index < 0 || index >= g_page.midiPortCount) {
        return 0;
    }
    const RawMidiPortInfo& port = g_page.midiPorts[index];
    return (port.canInput ? RAWMIDI_INPUT : 0) | (port.canOutput ? RAWMIDI_OUTPUT : 0);
}

// The ids the browser's USB chooser is to offer: the update device's.
extern "C" EMSCRIPTEN_KEEPALIVE int PageUsbVendorId(void) {
    return DEFAULT_VENDOR_ID;
}

extern "C" EMSCRIPTEN_KEEPALIVE int PageUsbProductId(void) {
    return USB_VERUP_PRODUCT_ID;
}

// The Update button: in UI_READY the update starts on its thread (a job of the queue after
// this one). 1 when it started.
extern "C" EMSCRIPTEN_KEEPALIVE int PageUpdate(void) {
    Page& p = g_page;
    if (p.uiState != UI_READY || !p.updateEnabled) {
        return 0;
    }
    p.progressRange = 0;
    p.progressPosition = 0;
    StartUpdate(&kPageObserver, p.updateFileName, p.openDeviceType, 0, 0);
    p.updateEnabled = 0;
    InfoClearStatus();
    InfoPutStatus(0, 0, "Now updating...", INFO_KEEP_ROW);
    ShowControls(UI_UPDATING);
    return 1;
}

// The end of an update, after the page was told it finished: the transport closed and,
// when the run completed, what the user is to do now.
extern "C" EMSCRIPTEN_KEEPALIVE void PageUpdateEnd(int result) {
    Page& p = g_page;
    UpdateEndThread();
    CloseOpenTransport();
    if (result == UPDATE_RESULT_COMPLETED) {
        PutUpdatedRows(&p.loadedFileInfo, "Update completed!");
    }
    ShowControls(UI_IDLE);
}

// The Stop dialog: opening it pauses the run after the packet in flight (1 when it was
// running), "Contiune" lets it go on, "Abort" ends it; the run then tells its end.
extern "C" EMSCRIPTEN_KEEPALIVE int PagePause(void) {
    return UpdatePause();
}

extern "C" EMSCRIPTEN_KEEPALIVE void PageContinue(void) {
    UpdateContinue();
}

// 1 when no run is left to end; 0 while the run is still on its way to its end, which it
// tells the page. Harmless to give again.
extern "C" EMSCRIPTEN_KEEPALIVE int PageAbort(void) {
    return UpdateAbort(NeverWait);
}
