// Identifiers of the Stop, mode and About dialogs, shared by their templates and their
// code: plain #defines only, because windres reads this file too.
#ifndef ORV_RESOURCES_DIALOG_IDS_H
#define ORV_RESOURCES_DIALOG_IDS_H

// Stop dialog: its buttons take the standard ids, so Esc and the close box mean
// "Contiune" like the default button.
#define IDC_STOP_ABORT 1
#define IDC_STOP_CONTINUE 2

// Mode dialog: one radio button per mode, in mode order (button = first + mode).
#define IDC_MODE_USER 130
#define IDC_MODE_USER_TEXT 131
#define IDC_MODE_DEVELOPER 132

#ifndef RC_INVOKED
// Template names, for DialogBoxParamA.
#define RES_STOP_DIALOG "STOP_DIALOG"
#define RES_MODE_DIALOG "MODE_DIALOG"
#define RES_ABOUT_DIALOG "ABOUTDIALOG"
#endif

#endif
