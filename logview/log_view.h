// The main window's self-drawn client area: the info area (details and status rows)
// and the optional scrolling log area. Every operation may be called from any thread.
#pragma once

#include "platform/platform_thread.h"

#include <cstdint>

// LogWrite's flags; none rewrites the current row.
#define LOG_SAME_ROW 0
#define LOG_NEWLINE_BEFORE 1
#define LOG_NEWLINE_AFTER 2

#define LOG_ROW_COUNT 16
#define LOG_LINE_HEIGHT 16

// Brushes belong to the main window (Windows: HBRUSH); the view only uses them.
typedef uintptr_t LogBrush;

void LogViewCreate(PlatformWindow window, LogBrush logBrush, LogBrush infoBrush, int showLog);
void LogViewDestroy(void);
void LogViewPaint(void);

void LogWrite(int flags, const char* text);
void LogClear(void);

// The switches of InfoPutDetails and InfoPutStatus, so that a call reads as what it draws.
enum { INFO_NORMAL = 0, INFO_BOLD = 1 };
enum { INFO_KEEP_ROW = 0, INFO_CLEAR_ROW = 1 };
enum { INFO_ALIGN_LEFT = 0, INFO_ALIGN_RIGHT = 1 };

// A details row's label ends at this x; its value starts at the other.
const int INFO_LABEL_RIGHT = 200;
const int INFO_VALUE_LEFT = 210;

void InfoClearDetails(void);
void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight);
void InfoClearStatus(void);
void InfoPutStatus(int x, int row, const char* text, int clearRow);
