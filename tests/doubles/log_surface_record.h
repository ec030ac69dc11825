// The recording drawing surface for tests (LOG_SURFACE recording). It models what
// the log view draws where, character by character, instead of pixels:
//
// - Every character drawn is a cell 7 pixels wide in a normal font (weight up to 400) and
//   8 pixels in a bold one, 16 pixels high; LogSurfaceTextWidth measures the same way.
//   Cells past the surface's edge are cut off.
// - A fill, and the opaque cells of a new text, erase every character cell they touch.
// - A scroll moves the cells lying wholly inside the band; cells it overwrites are erased,
//   cells in the strip it leaves behind stay where they were.
// - Brushes are colours: pass LOG_RGB(r, g, b) as a LogBrush.
// - Surfaces take the first free of a few slots. A view created while no other surface is
//   alive puts its info area in RECORD_SURFACE_INFO and its log area in RECORD_SURFACE_LOG.
// - The window's client area is 0,0 to RecordSetClientSize's width and height.
//
// Nothing here is locked: the view's own lock must keep its callers apart (so the thread
// sanitizer sees the view's faults, not ours). Query only while no thread writes.
#pragma once

#include "logview/log_surface.h"

#define RECORD_CHAR_WIDTH 7
#define RECORD_BOLD_CHAR_WIDTH 8
#define RECORD_CHAR_HEIGHT 16

#define RECORD_SURFACE_INFO 0
#define RECORD_SURFACE_LOG 1
#define RECORD_SURFACE_SLOTS 4

// Size of the texts the row queries return, terminator included.
#define RECORD_ROW_SIZE 1024

// Forgets every surface, font, paint and list; the client area returns to 494 x 514.
void RecordReset(void);

void RecordSetClientSize(int width, int height);

// The damaged rectangle the next LogWindowBeginPaint reports (right, bottom exclusive).
void RecordSetPaintRect(int left, int top, int right, int bottom);

// The visible text of one row: the characters whose cells start at the row's top, in x
// order; wherever blank pixels separate two characters one space stands for the gap.
// "" when the row is blank or its surface does not exist. The text stays valid until
// eight further row queries have been made.
//   log row r:     log area, y = 16 * r
//   details row r: info area, y = 20 + 16 * r
//   status row r:  info area, y = 105 + 16 * r
const char* RecordedLogRow(int row);
const char* RecordedDetailsRow(int row);
const char* RecordedStatusRow(int row);

// A run: characters in x order without a gap, drawn with one font and colour pair.
struct RecordedRun {
    int x; // surface coordinates (the info area's are the client area's)
    int y;
    int width;
    int bold;
    LogColour text;
    LogColour background;
    char chars[RECORD_ROW_SIZE];
};

// The runs whose cells start at y in a surface slot; returns how many were stored.
int RecordedRuns(int surface, int y, RecordedRun* runs, int maxRuns);

// Live surfaces and fonts, to see that a destroyed view released what it made.
int RecordedSurfaceCount(void);
int RecordedFontCount(void);
// 1 and the size when the slot holds a live surface.
int RecordedSurfaceSize(int surface, int* width, int* height);

// Calls that break the drawing system's rules: an unknown or destroyed surface or font,
// a copy outside a paint, a paint begun twice or ended without a beginning.
int RecordedMisuseCount(void);

// The lists below keep the first RECORD_LIST_SIZE entries; the counts go on counting.
#define RECORD_LIST_SIZE 1024

struct RecordedInvalidation {
    LogRect rect; // the whole client area when whole is set
    int whole;
};
int RecordedInvalidationCount(void);
RecordedInvalidation RecordedInvalidationAt(int index);
void RecordClearInvalidations(void);

struct RecordedFill {
    int surface;
    LogRect rect; // clipped to the surface
    LogColour colour;
};
int RecordedFillCount(void);
RecordedFill RecordedFillAt(int index);
void RecordClearFills(void);

// One copy from a surface to the window during a paint.
struct RecordedCopy {
    int surface;
    int destX;
    int destY;
    int width;
    int height;
    int sourceX;
    int sourceY;
};
int RecordedCopyCount(void);
RecordedCopy RecordedCopyAt(int index);
// Paints ended since the reset.
int RecordedPaintCount(void);

struct RecordedIcon {
    int surface;
    int x;
    int y;
    int size;
    LogColour background;
};
int RecordedIconCount(void);
RecordedIcon RecordedIconAt(int index);
