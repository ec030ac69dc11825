// The application's only top-level window and the state it owns. Everything here runs
// on the main thread; other threads only post commands to the window.
#pragma once

#include "platform/text.h"
#include "sysfile/system_file.h"
#include "transports/serial_port.h"

#include <windows.h>

#define MAIN_WINDOW_CLASS "MAVO System Updater for ORVENT"

#define UI_IDLE 0
#define UI_SCANNING 1
#define UI_READY 2
#define UI_UPDATING 3

#define TIMER_FLASH 1
#define TIMER_COUNTDOWN 2

// A load asked for while a modal loop of the window was up, carried out after it.
#define LOAD_NONE 0
#define LOAD_CURRENT_FILE 1 // CMD_RELOAD_FILE: CurrentFileName
#define LOAD_HANDED_OVER 2  // a second instance's name, in FileNameAssembly

// The window's process-wide record.
struct MainWindowState {
    HINSTANCE instance;
    HWND window;
    HMENU menu;
    HWND updateButton;
    HWND progressBar;
    HBRUSH logBrush;  // solid (0,64,96), made by start-up, deleted at destruction
    HBRUSH infoBrush; // solid (192,192,192)
    int UiState;
    char UpdateFileName[PATH_SIZE];
    char FileNameAssembly[PATH_SIZE];
    SystemFileHeader LoadedFileInfo;
    int NeedsUpdate;
    int Countdown;
    int FlashState;  // -1: not flashing; else the current flash phase
    int ModalDepth;  // dialogs, message boxes and open-file boxes of the window now up
    int PendingLoad; // LOAD_*
};

extern MainWindowState g_mainWindow;

// The file the window works with; the same buffer as the command line's FileName.
extern char CurrentFileName[PATH_SIZE];

// COM1..COM4 presence, filled once at start-up.
extern unsigned char PortPresent[SERIAL_PORT_COUNT];

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the update of UpdateFileName and locks the window's commands. Returns 1.
int BeginUpdate(HWND window);

// What EnterUiState does to the window's controls: UI_CONTROLS_OF_STATE gives them what
// the new state has; UI_CONTROLS_KEPT leaves them as they are, where creation has just
// made them, or where a load replaces the transport and its outcome sets them.
#define UI_CONTROLS_KEPT 0
#define UI_CONTROLS_OF_STATE 1

// The one place UiState changes. The controls each state has:
//   UI_IDLE      the commands unlocked (ShowIdleControls): Open, Config, Stop greyed; in
//                developer mode the recent files, drops, and the Update button once a
//                file is known
//   UI_SCANNING, UI_UPDATING
//                Open, Config and the Update button disabled; in developer mode with
//                recent files the recent files greyed and no drops
//   UI_READY     as in UI_IDLE, which it follows; the offer shown sets the Update button
void EnterUiState(HWND window, int state, int controls);

// Message boxes of the application: OK only, no icon, in front, owned by the main
// window when it exists.
void ShowMessage(const char* text);
