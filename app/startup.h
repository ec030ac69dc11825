// Start-up of the application (main thread).
#pragma once

#include <windows.h>

// The whole run: returns the process's exit code (0 in every case).
int AppMain(HINSTANCE instance, int showCommand, int argc, char** argv);

// Brushes, window class and the main window, shown with showCommand. Settings, mode and
// buffers must be settled before. Returns NULL when the class cannot be registered.
HWND AppCreateMainWindow(HINSTANCE instance, int showCommand);

// In a user mode with no file given, the first system file beside the program (its
// path in programPath) becomes CurrentFileName.
void FindFileBesideProgram(const char* programPath);
