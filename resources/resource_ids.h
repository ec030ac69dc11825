// Identifiers shared by the resource script and the code: plain #defines only, because
// windres reads this file too.
#ifndef ORV_RESOURCES_RESOURCE_IDS_H
#define ORV_RESOURCES_RESOURCE_IDS_H

// Menu commands ("VUPMENU") and the accelerator-only mode command.
#define IDM_EXIT 201
#define IDM_STOP 202
#define IDM_CONFIG 203
#define IDM_OPEN 207
#define IDM_ABOUT 212
#define IDM_SET_MODE 221
// First item of the "Open Recent" popup; item i of the rebuilt popup is IDM_RECENT_FIRST + i.
#define IDM_RECENT_FIRST 230

// Controls of the main window.
#define IDC_UPDATE 220

// Private commands posted to the main window by worker threads and a second instance.
#define CMD_UPDATE_FINISHED 208
#define CMD_TRANSFER_ACTIVE 209
#define CMD_RELOAD_FILE 210
#define CMD_FILE_NAME_PART 211
#define CMD_MIDI_PORT_FOUND 2000

// String table.
#define IDS_CURRENT_PATH_WARNING 1003
// Takes the driver's major and minor version ("%d.%02d").
#define IDS_DRIVER_VERSION_ERROR 1004

#ifndef RC_INVOKED
// Resource names, for LoadMenuA, LoadAcceleratorsA and LoadImageA. Kept out of the
// resource script, where the bare names are the resources themselves.
#define RES_MAIN_MENU "VUPMENU"
#define RES_ACCELERATORS "IDR_ACCELERATOR2"
#define RES_APP_ICON "VWICON"
#endif

#endif
