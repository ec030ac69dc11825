#include "logview/log_surface.h"
#include "logview/log_surface_gdi_testing.h"

#include <windows.h>

#include <cstring>

namespace {

struct GdiSurface {
    int alive;
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ oldBitmap;
    HGDIOBJ oldFont;
    int width;
    int height;
};

struct GdiRecord {
    GdiSurface surfaces[GDI_SURFACE_SLOTS];
    // One paint at a time, on the window's thread, under the view's lock.
    PAINTSTRUCT paint;
    HDC paintDc;
};

GdiRecord g_logSurfaceGdi;

GdiSurface* SurfaceOf(LogSurface surface) {
    if (surface < 1 || surface > GDI_SURFACE_SLOTS ||
        !g_logSurfaceGdi.surfaces[surface - 1].alive) {
        return nullptr;
    }
    return &g_logSurfaceGdi.surfaces[surface - 1];
}

} // namespace

LogSurface LogSurfaceCreate(PlatformWindow window, int width, int height) {
    int slot = 0;
    while (slot < GDI_SURFACE_SLOTS && g_logSurfaceGdi.surfaces[slot].alive) {
        slot++;
    }
    if (slot == GDI_SURFACE_SLOTS || width <= 0 || height <= 0) {
        return LOG_SURFACE_NONE;
    }
    HDC windowDc = GetDC((HWND)window);
    if (windowDc == NULL) {
        return LOG_SURFACE_NONE;
    }
    GdiSurface& s = g_logSurfaceGdi.surfaces[slot];
    s.dc = CreateCompatibleDC(windowDc);
    s.bitmap = CreateCompatibleBitmap(windowDc, width, height);
    ReleaseDC((HWND)window, windowDc);
    if (s.dc == NULL || s.bitmap == NULL) {
        if (s.bitmap != NULL) {
            DeleteObject(s.bitmap);
        }
        if (s.dc != NULL) {
            DeleteDC(s.dc);
        }
        s = GdiSurface();
        return LOG_SURFACE_NONE;
    }
    s.oldBitmap = SelectObject(s.dc, s.bitmap);
    s.oldFont = GetCurrentObject(s.dc, OBJ_FONT);
    SetBkMode(s.dc, OPAQUE);
    s.width = width;
    s.height = height;
    s.alive = 1;
    return (LogSurface)(slot + 1);
}

void LogSurfaceDestroy(LogSurface surface) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    // Hand back the DC's own objects so the view's font and our bitmap can be deleted.
    SelectObject(s->dc, s->oldFont);
    SelectObject(s->dc, s->oldBitmap);
    DeleteDC(s->dc);
    DeleteObject(s->bitmap);
    *s = GdiSurface();
}

LogFont LogFontCreate(int weight) {
    HFONT font =
        CreateFontA(-14, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Arial");
    return (LogFont)font;
}

void LogFontDestroy(LogFont font) {
    if (font != 0) {
        DeleteObject((HFONT)font);
    }
}

void LogSurfaceFill(LogSurface surface, int left, int top, int width, int height, LogBrush brush) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    RECT r = {left, top, left + width, top + height};
    FillRect(s->dc, &r, (HBRUSH)brush);
}

void LogSurfaceSelectFont(LogSurface surface, LogFont font) {
    GdiSurface* s = SurfaceOf(surface);
    if (s != nullptr && font != 0) {
        SelectObject(s->dc, (HFONT)font);
    }
}

void LogSurfaceSetColours(LogSurface surface, LogColour text, LogColour background) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    SetTextColor(s->dc, (COLORREF)text);
    SetBkColor(s->dc, (COLORREF)background);
    SetBkMode(s->dc, OPAQUE);
}

void LogSurfaceDrawText(LogSurface surface, int x, int y, const char* text) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr || text == nullptr) {
        return;
    }
    TextOutA(s->dc, x, y, text, (int)strlen(text));
}

int LogSurfaceTextWidth(LogSurface surface, const char* text) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr || text == nullptr) {
        return 0;
    }
    SIZE size = {0, 0};
    if (!GetTextExtentPoint32A(s->dc, text, (int)strlen(text), &size)) {
        return 0;
    }
    return size.cx;
}

void LogSurfaceScrollUp(LogSurface surface, int top, int bottom, int dy) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr || dy <= 0 || top >= bottom) {
        return;
    }
    // A blit upwards within one bitmap reads each source line before it is overwritten.
    BitBlt(s->dc, 0, top - dy, s->width, bottom - top, s->dc, 0, top, SRCCOPY);
}

void LogSurfaceDrawIcon(LogSurface surface, int x, int y, int size, LogBrush background) {
    GdiSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    HICON icon =
        (HICON)LoadImageA(GetModuleHandleA(NULL), "VWICON", IMAGE_ICON, 128, 128, LR_DEFAULTCOLOR);
    if (icon == NULL) {
        return;
    }
    DrawIconEx(s->dc, x, y, icon, size, size, 0, (HBRUSH)background, DI_NORMAL);
    DestroyIcon(icon);
}

void LogWindowClientRect(PlatformWindow window, LogRect* rect) {
    RECT r = {0, 0, 0, 0};
    GetClientRect((HWND)window, &r);
    *rect = {r.left, r.top, r.right, r.bottom};
}

void LogWindowInvalidate(PlatformWindow window, const LogRect* rect) {
    if (rect == nullptr) {
        InvalidateRect((HWND)window, NULL, FALSE);
        return;
    }
    RECT r = {rect->left, rect->top, rect->right, rect->bottom};
    InvalidateRect((HWND)window, &r, FALSE);
}

void LogWindowBeginPaint(PlatformWindow window, LogRect* damaged) {
    g_logSurfaceGdi.paintDc = BeginPaint((HWND)window, &g_logSurfaceGdi.paint);
    const RECT& r = g_logSurfaceGdi.paint.rcPaint;
    *damaged = {r.left, r.top, r.right, r.bottom};
}

void LogWindowCopy(PlatformWindow window, int destX, int destY, int width, int height,
                   LogSurface source, int sourceX, int sourceY) {
    (void)window;
    GdiSurface* s = SurfaceOf(source);
    if (s == nullptr || g_logSurfaceGdi.paintDc == NULL) {
        return;
    }
    BitBlt(g_logSurfaceGdi.paintDc, destX, destY, width, height, s->dc, sourceX, sourceY, SRCCOPY);
}

void LogWindowEndPaint(PlatformWindow window) {
    EndPaint((HWND)window, &g_logSurfaceGdi.paint);
    g_logSurfaceGdi.paintDc = NULL;
}

int LogSurfaceGdiPixel(int slot, int x, int y, LogColour* colour) {
    if (slot < 0 || slot >= GDI_SURFACE_SLOTS || !g_logSurfaceGdi.surfaces[slot].alive) {
        return 0;
    }
    const GdiSurface& s = g_logSurfaceGdi.surfaces[slot];
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) {
        return 0;
    }
    *colour = (LogColour)GetPixel(s.dc, x, y);
    return 1;
}
