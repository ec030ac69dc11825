// The values of DeviceType, the transport selector. The numbering belongs to the
// transport layer (update/transport.cpp switches on it); the settings store the chosen
// value and include this header only, which holds no code, so the settings module gains
// no dependency on the update library.
#pragma once

#define DEVICE_TYPE_SERIAL 0
#define DEVICE_TYPE_MIDI 1
#define DEVICE_TYPE_USB_BULK 2
// Switched off: no setting selects it.
#define DEVICE_TYPE_KERNEL_MIDI 3
