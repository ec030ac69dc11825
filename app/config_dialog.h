// The Config dialog: transport, serial line, MIDI ports and check switches, edited on
// working copies that reach the settings only on OK.
#pragma once

#include <windows.h>

// Modal; developer mode shows the full template, the user modes the MIDI-only one.
// 1 when the user chose OK, 0 for Cancel (or when the dialog could not be shown).
int ConfigDialog(HWND parent);
