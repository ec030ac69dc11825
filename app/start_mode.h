// Start-up decisions taken once the settings are loaded: the run's mode and the main
// window's size and place.
#pragma once

#include "logview/log_view.h"

// Log area height added in the modes that show it: the rows the log view draws.
#define LOG_AREA_HEIGHT (LOG_ROW_COUNT * LOG_LINE_HEIGHT)

// Settles the mode for this run: modeOverride 0..2 (a command-line switch) replaces the
// stored mode; the log area follows the mode (ShowLog); the mode is stored again at exit;
// and in the user modes the transport is MIDI, the version check on and only the maker's
// MIDI ports accepted, for this run only.
void ApplyModeOverride(int modeOverride);

// The main window's height from the system's caption, menu-bar and 3-D edge heights.
int MainWindowHeight(int captionHeight, int menuHeight, int edgeHeight, int showLog);

// Keeps the bottom edge of a window of this height on the desktop (the horizontal
// correction was made when the settings were loaded).
void KeepWindowOnDesktopVertically(int height);
