// The configuration descriptor walks of the USB bulk device manager. Every length in a
// descriptor comes from the device: the walks check each one against the bytes actually
// held before reading a byte of it.
#pragma once

struct UsbConfigWalk {
    int firstEndpointOffset;
    int endpointCount;
    int walkedLength; // the walk stopped here; later walks stay below it
};

// Counts the endpoint descriptors among the first `received` bytes of config. Bounded by
// wTotalLength and received; stops at the first descriptor with a bLength below 2, one
// running past the bound, or an endpoint descriptor shorter than 7 bytes.
void UsbWalkConfiguration(const unsigned char* config, int received, UsbConfigWalk* walk);

// Position among all endpoint descriptors of the endpoint the pipe selector names, with
// its wMaxPacketSize in *maxPacketSize when given; -1 when none matches.
int UsbFindPipe(const unsigned char* config, const UsbConfigWalk* walk, unsigned int selector,
                int* maxPacketSize);

// What a driver needs to reach pipe number `pipe` (counted among all endpoint descriptors,
// as the device manager numbers its pipe files): the endpoint's address, its packet size
// (wMaxPacketSize without the high-bandwidth bits) and the interface and alternate setting
// it belongs to. Walks as UsbWalkConfiguration does. 1 when the pipe exists.
struct UsbPipeEndpoint {
    int address;
    int maxPacketSize;
    int interfaceNumber;
    int alternate;
};
int UsbFindPipeEndpoint(const unsigned char* config, int received, int pipe,
                        UsbPipeEndpoint* endpoint);
