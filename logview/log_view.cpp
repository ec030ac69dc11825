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
std::mutex s_viewLock;
LogViewRecord g_logView;

const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

void ReleaseView() {
    if (g_logView.logSurface != LOG_SURFACE_NONE) {
        LogSurfaceDestroy(g_logView.logSurface);
    }
    if (g_logView.infoSurface != LOG_SURFACE_NONE) {
        LogSurfaceDestroy(g_logView.infoSurface);
    }
    // Fonts go after the surfaces they may still be selected into.
    LogFontDestroy(g_logView.boldFont);
    LogFontDestroy(g_logView.normalFont);
    g_logView = LogViewRecord();
}

// Blanks (with clear) and in any case invalidates a rectangle of the info area. A width
// of 0 reaches the client area's right edge.
void InfoFillRect(int width, int top, int clear, int left, int height) {
    if (width == 0) {
        LogRect client;
        LogWindowClientRect(g_logView.window, &client);
        width = client.right - left;
        if (width < 0) {
            width = 0;
        }
    }
    if (clear) {
        LogSurfaceFill(g_logView.infoSurface, left, top, width, height, g_logView.infoBrush);
    }
    LogRect band = {left, top, left + width, top + height};
    LogWindowInvalidate(g_logView.window, &band);
}

} // namespace

void LogViewCreate(PlatformWindow window, LogBrush logBrush, LogBrush infoBrush, int showLog) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (g_logView.created) {
        ReleaseView();
    }
    g_logView.logEnabled = showLog ? 1 : 0;
    g_logView.window = window;
    g_logView.logBrush = logBrush;
    g_logView.infoBrush = infoBrush;
    g_logView.lineHeight = LOG_LINE_HEIGHT;

    LogRect client;
    LogWindowClientRect(window, &client);
    // One pixel more than the client area: the paint copies right - left + 1 columns.
    g_logView.infoWidth = client.right - client.left + 1;
    int fullHeight = client.bottom - client.top + 1;
    g_logView.infoHeight = fullHeight < INFO_HEIGHT_MAX ? fullHeight : INFO_HEIGHT_MAX;

    g_logView.infoSurface = LogSurfaceCreate(window, g_logView.infoWidth, g_logView.infoHeight);
    LogSurfaceFill(g_logView.infoSurface, 0, 0, g_logView.infoWidth, g_logView.infoHeight,
                   infoBrush);

    if (g_logView.logEnabled) {
        g_logView.logWidth = g_logView.infoWidth;
        g_logView.logHeight = fullHeight - g_logView.infoHeight;
        if (g_logView.logHeight >= LOG_HEIGHT_MIN) {
            g_logView.logSurface =
                LogSurfaceCreate(window, g_logView.logWidth, g_logView.logHeight);
            LogSurfaceFill(g_logView.logSurface, 0, 0, g_logView.logWidth, g_logView.logHeight,
                           logBrush);
        }
        if (g_logView.logSurface == LOG_SURFACE_NONE) {
            g_logView.logEnabled = 0;
            g_logView.logWidth = 0;
            g_logView.logHeight = 0;
        }
    }

    g_logView.normalFont = LogFontCreate(FONT_WEIGHT_NORMAL);
    g_logView.boldFont = LogFontCreate(FONT_WEIGHT_BOLD);

    LogSurfaceDrawIcon(g_logView.infoSurface, ICON_X, ICON_Y, ICON_SIZE, infoBrush);

    LogSurfaceSelectFont(g_logView.infoSurface, g_logView.normalFont);
    LogSurfaceSetColours(g_logView.infoSurface, INFO_TEXT_COLOUR, INFO_BACK_COLOUR);
    if (g_logView.logEnabled) {
        LogSurfaceSelectFont(g_logView.logSurface, g_logView.normalFont);
        LogSurfaceSetColours(g_logView.logSurface, LOG_TEXT_COLOUR, LOG_BACK_COLOUR);
    }
    g_logView.row = 0;
    g_logView.created = 1;
}

void LogViewDestroy(void) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (g_logView.created) {
        ReleaseView();
    }
}

void LogViewPaint(void) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created) {
        return;
    }
    LogRect damaged;
    LogWindowBeginPaint(g_logView.window, &damaged);
    int w = damaged.right - damaged.left + 1;
    if (damaged.top < g_logView.infoHeight) {
        int end =
            damaged.bottom + 1 < g_logView.infoHeight ? damaged.bottom + 1 : g_logView.infoHeight;
        LogWindowCopy(g_logView.window, damaged.left, damaged.top, w, end - damaged.top,
                      g_logView.infoSurface, damaged.left, damaged.top);
    }
    if (g_logView.logEnabled && damaged.bottom >= g_logView.infoHeight) {
        int y0 = damaged.top > g_logView.infoHeight ? damaged.top : g_logView.infoHeight;
        LogWindowCopy(g_logView.window, damaged.left, y0, w, damaged.bottom - y0 + 1,
                      g_logView.logSurface, damaged.left, y0 - g_logView.infoHeight);
    }
    LogWindowEndPaint(g_logView.window);
}

void LogWrite(int flags, const char* text) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created || !g_logView.logEnabled) {
        return;
    }
    int line = g_logView.lineHeight;
    if (flags & LOG_NEWLINE_BEFORE) {
        g_logView.row++;
    }
    LogRect repaint;
    if (g_logView.row >= LOG_ROW_COUNT) {
        LogSurfaceScrollUp(g_logView.logSurface, line, g_logView.logHeight, line);
        g_logView.row = LOG_ROW_COUNT - 1;
        repaint = {0, 0, g_logView.logWidth, g_logView.logHeight};
    } else {
        repaint = {0, line * g_logView.row, g_logView.logWidth, line * g_logView.row + line};
    }
    LogSurfaceFill(g_logView.logSurface, 0, line * g_logView.row, g_logView.logWidth, line,
                   g_logView.logBrush);
    LogSurfaceDrawText(g_logView.logSurface, LOG_TEXT_X, line * g_logView.row, TextOrEmpty(text));
    repaint.top += g_logView.infoHeight;
    repaint.bottom += g_logView.infoHeight;
    LogWindowInvalidate(g_logView.window, &repaint);
    if (flags & LOG_NEWLINE_AFTER) {
        g_logView.row++;
    }
}

void LogClear(void) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created || !g_logView.logEnabled) {
        return;
    }
    LogSurfaceFill(g_logView.logSurface, 0, 0, g_logView.logWidth,
                   g_logView.lineHeight * LOG_ROW_COUNT, g_logView.logBrush);
    LogWindowInvalidate(g_logView.window, nullptr);
    g_logView.row = 0;
}

void InfoClearDetails(void) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created) {
        return;
    }
    InfoFillRect(DETAILS_WIDTH, DETAILS_TOP, 1, DETAILS_LEFT, DETAILS_HEIGHT);
}

void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created) {
        return;
    }
    text = TextOrEmpty(text);
    int y = DETAILS_TOP + g_logView.lineHeight * row;
    LogSurfaceSelectFont(g_logView.infoSurface, bold ? g_logView.boldFont : g_logView.normalFont);
    if (alignRight) {
        x -= LogSurfaceTextWidth(g_logView.infoSurface, text);
        if (x < 0) {
            x = 0;
        }
    }
    InfoFillRect(DETAILS_WIDTH, y, clearRow, DETAILS_LEFT, g_logView.lineHeight);
    LogSurfaceDrawText(g_logView.infoSurface, DETAILS_LEFT + x, y, text);
}

void InfoClearStatus(void) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created) {
        return;
    }
    InfoFillRect(0, STATUS_TOP, 1, STATUS_LEFT, STATUS_HEIGHT);
}

void InfoPutStatus(int x, int row, const char* text, int clearRow) {
    std::lock_guard<std::mutex> hold(s_viewLock);
    if (!g_logView.created) {
        return;
    }
    int y = STATUS_TOP + g_logView.lineHeight * row;
    LogSurfaceSelectFont(g_logView.infoSurface, g_logView.normalFont);
    InfoFillRect(0, y, clearRow, STATUS_LEFT, g_logView.lineHeight);
    LogSurfaceDrawText(g_logView.infoSurface, STATUS_LEFT + x, y, TextOrEmpty(text));
}
