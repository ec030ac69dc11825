// Control identifiers of the Config dialog, shared by its templates and its dialog
// procedure: plain #defines only, because windres reads this file too.
#ifndef ORV_RESOURCES_CONFIG_DIALOG_IDS_H
#define ORV_RESOURCES_CONFIG_DIALOG_IDS_H

// Transport buttons; the button of DeviceType n is IDC_USE_SERIAL + n.
#define IDC_USE_SERIAL 151
#define IDC_USE_MIDI 152
#define IDC_USE_USB 153

// Serial port buttons; COMn is IDC_COM1 - 1 + n.
#define IDC_COM1 103
#define IDC_COM2 104
#define IDC_COM3 105
#define IDC_COM4 106
#define IDC_PORT_GROUP 114

// Speed buttons; index i of the speed table is IDC_SKIP_VERSION_CHECK + i, so index 0
// (31250 bit/s) has no button of its own.
#define IDC_BAUD_38400 108
#define IDC_BAUD_57600 109
#define IDC_BAUDRATE_GROUP 115

#define IDC_OUT_PORT_LIST 110
#define IDC_IN_PORT_LIST 111
#define IDC_OUT_PORT_LABEL 112
#define IDC_IN_PORT_LABEL 113

#define IDC_SKIP_VERSION_CHECK 107
#define IDC_MIDI_AUTO 124
#define IDC_ONLY_MAVO_DRIVER 125
#define IDC_SKIP_DEVICE_CHECK 126

#endif
