// The drawing the log view needs, as a handful of plain functions. The product links
// the GDI implementation (log_surface_gdi_win32.cpp); tests link the recording one
// (tests/doubles/log_surface_record.cpp). Each executable names its choice as LOG_SURFACE
// in its orv_link_implementations call.
// The view calls all of these under its own lock, so no implementation locks itself.
#pragma once

#include "logview/log_view.h"
#include "platform/platform_thread.h"

#include <cstdint>

// An off-screen surface compatible with the window's display (Windows: memory DC and
// its bitmap). LOG_SURFACE_NONE when it could not be made.
typedef uintptr_t LogSurface;
#define LOG_SURFACE_NONE ((LogSurface)0)

// A font the view owns (Windows: HFONT).
typedef uintptr_t LogFont;

// Colours in the layout the drawing system takes (Windows: COLORREF, 0x00BBGGRR).
typedef uint32_t LogColour;
#define LOG_RGB(r, g, b)                                                                           \
    ((LogColour)(((uint32_t)(r)&0xFF) | (((uint32_t)(g)&0xFF) << 8) | (((uint32_t)(b)&0xFF) << 16)))
#define LOG_RGB_RED(c) ((int)((c)&0xFF))
#define LOG_RGB_GREEN(c) ((int)(((c) >> 8) & 0xFF))
#define LOG_RGB_BLUE(c) ((int)(((c) >> 16) & 0xFF))

// The colours of the info and log areas. The main window's brushes paint the same
// backgrounds.
const LogColour INFO_TEXT_COLOUR = LOG_RGB(0, 0, 0);
const LogColour INFO_BACK_COLOUR = LOG_RGB(192, 192, 192);
const LogColour LOG_TEXT_COLOUR = LOG_RGB(255, 255, 240);
const LogColour LOG_BACK_COLOUR = LOG_RGB(0, 64, 96);

// Right and bottom are exclusive, as in a window's client rectangle.
struct LogRect {
    int left;
    int top;
    int right;
    int bottom;
};

LogSurface LogSurfaceCreate(PlatformWindow window, int width, int height);
void LogSurfaceDestroy(LogSurface surface);

// Arial, 14 pixels character height; weight 0 (default) or 600 (semi-bold).
LogFont LogFontCreate(int weight);
void LogFontDestroy(LogFont font);

void LogSurfaceFill(LogSurface surface, int left, int top, int width, int height, LogBrush brush);
void LogSurfaceSelectFont(LogSurface surface, LogFont font);
void LogSurfaceSetColours(LogSurface surface, LogColour text, LogColour background);

// One line, never wrapped, with the character cells painted in the background colour;
// whatever passes the surface's edge is cut off.
void LogSurfaceDrawText(LogSurface surface, int x, int y, const char* text);

// Width in pixels of text in the font selected into the surface.
int LogSurfaceTextWidth(LogSurface surface, const char* text);

// Moves the full-width band from top to bottom (exclusive) up by dy pixels. The strip the
// band leaves behind at its bottom keeps its old pixels.
void LogSurfaceScrollUp(LogSurface surface, int top, int bottom, int dy);

// The application icon "VWICON", loaded at 128x128 and drawn scaled to size x size over
// background. Nothing is drawn when the program carries no such icon.
void LogSurfaceDrawIcon(LogSurface surface, int x, int y, int size, LogBrush background);

void LogWindowClientRect(PlatformWindow window, LogRect* rect);

// Asks for a repaint of rect without erasing the background; rect null means the whole
// client area.
void LogWindowInvalidate(PlatformWindow window, const LogRect* rect);

// Painting on the window's thread: begin gives the damaged rectangle, copies go to the
// window until end. Only one paint is in progress at a time.
void LogWindowBeginPaint(PlatformWindow window, LogRect* damaged);
void LogWindowCopy(PlatformWindow window, int destX, int destY, int width, int height,
                   LogSurface source, int sourceX, int sourceY);
void LogWindowEndPaint(PlatformWindow window);
