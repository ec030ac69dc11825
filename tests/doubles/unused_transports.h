// The transport dispatch names every transport's send and receive operations, so a test
// that runs the engine over one transport links failing stand-ins for the others, one
// library per transport: orv_unused_serial, orv_unused_midi, orv_unused_usb_bulk,
// orv_unused_kernel_midi. The engine never reaches them when DeviceType is set right.
#pragma once
