#include "logview/log_view.h"

#include "logview/log_surface.h"

#include <mutex>

namespace {

const int INFO_HEIGHT_MAX = 250;
// A window that leaves 50 pixels or less below the info area gets no log area.
const int LOG_HEIGHT_MIN = 51;

const int ICON_X = 20;
const int ICON_Y = 20;
const int ICON_SIZE = 64;

const int DETAILS_LEFT = 110;
const int DETAILS_TOP = 20;
const int DETAILS_WIDTH = 370;
const int DETAILS_HEIGHT = 64;

const int STATUS_LEFT = 130;
const int STATUS_TOP = 105;
const int STATUS_HEIGHT = 36;

const int LOG_TEXT_X = 12;

const int FONT_WEIGHT_NORMAL = 0;
const int FONT_WEIGHT_BOLD = 600;

struct LogViewRecord {
    int created;
    PlatformWindow window;
    LogSurface infoSurface;
    int infoWidth;
    int infoHeight;
    LogSurface logSurface;
    int logWidth;
    int logHeight;
    int logEnabled;
    LogBrush infoBrush;
    LogBrush logBrush;
    LogFont normalFont;
    LogFont boldFont;
    int lineHeight;
    int row;
};

// The lock outlives every view: a writer thread that arrives after the window has gone
// finds the view not created and returns, instead of locking a deleted lock.
std::mutex ViewLock;
LogViewRecord View;

const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

void ReleaseView() {
    if (View.logSurface != LOG_SURFACE_NONE) {
        LogSurfaceDestroy(View.logSurface);
    }
    if (View.infoSurface != LOG_SURFACE_NONE) {
        LogSurfaceDestroy(View.infoSurface);
    }
    // Fonts go after the surfaces they may still be selected into.
    LogFontDestroy(View.boldFont);
    LogFontDestroy(View.normalFont);
    View = LogViewRecord();
}

// Blanks (with clear) and in any case invalidates a rectangle of the info area. A width
// of 0 reaches the client area's right edge.
void InfoFillRect(int width, int top, int clear, int left, int height) {
    if (width == 0) {
        LogRect client;
        LogWindowClientRect(View.window, &client);
        width = client.right - left;
        if (width < 0) {
            width = 0;
        }
    }
    if (clear) {
        LogSurfaceFill(View.infoSurface, left, top, width, height, View.infoBrush);
    }
    LogRect band = {left, top, left + width, top + height};
    LogWindowInvalidate(View.window, &band);
}

} // namespace

void LogViewCreate(PlatformWindow window, LogBrush logBrush, LogBrush infoBrush, int showLog) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (View.created) {
        ReleaseView();
    }
    View.logEnabled = showLog ? 1 : 0;
    View.window = window;
    View.logBrush = logBrush;
    View.infoBrush = infoBrush;
    View.lineHeight = LOG_LINE_HEIGHT;

    LogRect client;
    LogWindowClientRect(window, &client);
    // One pixel more than the client area: the paint copies right - left + 1 columns.
    View.infoWidth = client.right - client.left + 1;
    int fullHeight = client.bottom - client.top + 1;
    View.infoHeight = fullHeight < INFO_HEIGHT_MAX ? fullHeight : INFO_HEIGHT_MAX;

    View.infoSurface = LogSurfaceCreate(window, View.infoWidth, View.infoHeight);
    LogSurfaceFill(View.infoSurface, 0, 0, View.infoWidth, View.infoHeight, infoBrush);

    if (View.logEnabled) {
        View.logWidth = View.infoWidth;
        View.logHeight = fullHeight - View.infoHeight;
        if (View.logHeight >= LOG_HEIGHT_MIN) {
            View.logSurface = LogSurfaceCreate(window, View.logWidth, View.logHeight);
            LogSurfaceFill(View.logSurface, 0, 0, View.logWidth, View.logHeight, logBrush);
        }
        if (View.logSurface == LOG_SURFACE_NONE) {
            View.logEnabled = 0;
            View.logWidth = 0;
            View.logHeight = 0;
        }
    }

    View.normalFont = LogFontCreate(FONT_WEIGHT_NORMAL);
    View.boldFont = LogFontCreate(FONT_WEIGHT_BOLD);

    LogSurfaceDrawIcon(View.infoSurface, ICON_X, ICON_Y, ICON_SIZE, infoBrush);

    LogSurfaceSelectFont(View.infoSurface, View.normalFont);
    LogSurfaceSetColours(View.infoSurface, INFO_TEXT_COLOUR, INFO_BACK_COLOUR);
    if (View.logEnabled) {
        LogSurfaceSelectFont(View.logSurface, View.normalFont);
        LogSurfaceSetColours(View.logSurface, LOG_TEXT_COLOUR, LOG_BACK_COLOUR);
    }
    View.row = 0;
    View.created = 1;
}

void LogViewDestroy(void) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (View.created) {
        ReleaseView();
    }
}

void LogViewPaint(void) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created) {
        return;
    }
    LogRect damaged;
    LogWindowBeginPaint(View.window, &damaged);
    int w = damaged.right - damaged.left + 1;
    if (damaged.top < View.infoHeight) {
        int end = damaged.bottom + 1 < View.infoHeight ? damaged.bottom + 1 : View.infoHeight;
        LogWindowCopy(View.window, damaged.left, damaged.top, w, end - damaged.top,
                      View.infoSurface, damaged.left, damaged.top);
    }
    if (View.logEnabled && damaged.bottom >= View.infoHeight) {
        int y0 = damaged.top > View.infoHeight ? damaged.top : View.infoHeight;
        LogWindowCopy(View.window, damaged.left, y0, w, damaged.bottom - y0 + 1, View.logSurface,
                      damaged.left, y0 - View.infoHeight);
    }
    LogWindowEndPaint(View.window);
}

void LogWrite(int flags, const char* text) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created || !View.logEnabled) {
        return;
    }
    int line = View.lineHeight;
    if (flags & LOG_NEWLINE_BEFORE) {
        View.row++;
    }
    LogRect repaint;
    if (View.row >= LOG_ROW_COUNT) {
        LogSurfaceScrollUp(View.logSurface, line, View.logHeight, line);
        View.row = LOG_ROW_COUNT - 1;
        repaint = {0, 0, View.logWidth, View.logHeight};
    } else {
        repaint = {0, line * View.row, View.logWidth, line * View.row + line};
    }
    LogSurfaceFill(View.logSurface, 0, line * View.row, View.logWidth, line, View.logBrush);
    LogSurfaceDrawText(View.logSurface, LOG_TEXT_X, line * View.row, TextOrEmpty(text));
    repaint.top += View.infoHeight;
    repaint.bottom += View.infoHeight;
    LogWindowInvalidate(View.window, &repaint);
    if (flags & LOG_NEWLINE_AFTER) {
        View.row++;
    }
}

void LogClear(void) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created || !View.logEnabled) {
        return;
    }
    LogSurfaceFill(View.logSurface, 0, 0, View.logWidth, View.lineHeight * LOG_ROW_COUNT,
                   View.logBrush);
    LogWindowInvalidate(View.window, nullptr);
    View.row = 0;
}

void InfoClearDetails(void) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created) {
        return;
    }
    InfoFillRect(DETAILS_WIDTH, DETAILS_TOP, 1, DETAILS_LEFT, DETAILS_HEIGHT);
}

void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created) {
        return;
    }
    text = TextOrEmpty(text);
    int y = DETAILS_TOP + View.lineHeight * row;
    LogSurfaceSelectFont(View.infoSurface, bold ? View.boldFont : View.normalFont);
    if (alignRight) {
        x -= LogSurfaceTextWidth(View.infoSurface, text);
        if (x < 0) {
            x = 0;
        }
    }
    InfoFillRect(DETAILS_WIDTH, y, clearRow, DETAILS_LEFT, View.lineHeight);
    LogSurfaceDrawText(View.infoSurface, DETAILS_LEFT + x, y, text);
}

void InfoClearStatus(void) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created) {
        return;
    }
    InfoFillRect(0, STATUS_TOP, 1, STATUS_LEFT, STATUS_HEIGHT);
}

void InfoPutStatus(int x, int row, const char* text, int clearRow) {
    std::lock_guard<std::mutex> hold(ViewLock);
    if (!View.created) {
        return;
    }
    int y = STATUS_TOP + View.lineHeight * row;
    LogSurfaceSelectFont(View.infoSurface, View.normalFont);
    InfoFillRect(0, y, clearRow, STATUS_LEFT, View.lineHeight);
    LogSurfaceDrawText(View.infoSurface, STATUS_LEFT + x, y, TextOrEmpty(text));
}
