// A simulated kernel USB-MIDI driver in the same process: chosen instead of the Win32
// driver access (KERNEL_MIDI_DRIVER simulated), it makes the kernel MIDI transport talk
// to the virtual instrument. The OUT pipe puts USB-MIDI event packets back together into
// messages for the instrument (a write that begins with 0xF0 is taken as raw bytes and
// fed as a byte stream); the IN pipe delivers each reply as 64-byte blocks of packets,
// the packets after the reply all zero (bytes that are no System Exclusive message as
// single-byte packets). Every write is recorded; opens, requests, writes and reads can be
// made to fail.
#pragma once

#include <cstdint>

#define KMIDI_SIM_DEVICES 8

struct KernelMidiSimConfig {
    unsigned devicePresent;               // bit n: "\\.\VMPRT<n>" and its pipes open
    uint32_t deviceId[KMIDI_SIM_DEVICES]; // answers of IOCTL_KMIDI_GET_DEVICE_ID
    uint32_t changeAnswer;                // answer of IOCTL_KMIDI_CHANGE_QUERY
    int failRequests;                     // every request fails
    int failInPipe;                       // the IN pipe P91 does not open
    int failOutPipe;                      // the OUT pipe P11 does not open
    int failWriteAt;                      // this write (counted from 0) fails
    int shortWriteAt;                     // this write reports one byte fewer
    int failedReads;                      // the first reads of the IN pipe fail ...
    int shortReads;                       // ... then some deliver only half a block
    int cancelIgnored;                    // KMIDI_SIM_CANCEL_*: what a cancelled read does
};

// A cancelled read of the IN pipe returns at once with failure (a well-behaved driver);
// or it goes on blocking until KernelMidiSimReleaseReads, so only a forced stop of the
// reading thread ends it sooner; or, on POSIX, it refuses even that (Windows can always
// terminate a thread).
#define KMIDI_SIM_CANCEL_HONOURED 0
#define KMIDI_SIM_CANCEL_IGNORED 1
#define KMIDI_SIM_CANCEL_IGNORED_UNSTOPPABLE 2

// Defaults: device 0 present with identifier 0x0100, the change query answers 1,
// nothing fails.
void KernelMidiSimDefaultConfig(KernelMidiSimConfig* config);

// Forgets the recorded writes, queued blocks, counters and a half-assembled message. The
// instrument is reset separately (VirtualInstrumentReset). No handle may be open.
void KernelMidiSimReset(const KernelMidiSimConfig* config);

// How often the device name "\\.\VMPRT<number>" was opened (pipes not counted).
int KernelMidiSimDeviceOpens(int number);
// Requests sent with this code.
int KernelMidiSimRequests(uint32_t code);
// Handles open now.
int KernelMidiSimOpenHandles(void);

// The writes to the OUT pipe in order: their count, and the bytes of one (at most the
// first KMIDI_SIM_WRITE_KEPT are kept; the full length is returned).
#define KMIDI_SIM_WRITE_KEPT 512
int KernelMidiSimWriteCount(void);
int KernelMidiSimWrite(int index, unsigned char* out, int capacity);
// End-marker packets seen on the OUT pipe.
int KernelMidiSimMarkers(void);
// Packets on the OUT pipe with a code index number the driver does not carry.
int KernelMidiSimBadPackets(void);

// Puts a block of the test's own into the IN pipe, after the replies already queued.
void KernelMidiSimQueueBlock(const unsigned char* block);
// Blocks queued and not yet read.
int KernelMidiSimQueuedBlocks(void);
// Reads of the IN pipe so far, failed and short ones included.
int KernelMidiSimReads(void);

// Cancelled reads that went on blocking (cancelIgnored) since the last reset.
int KernelMidiSimHungReads(void);
// Makes every read blocking despite its cancel return with failure. Not undone by a
// reset, so a reader still hanging from before a reset is released all the same.
void KernelMidiSimReleaseReads(void);
