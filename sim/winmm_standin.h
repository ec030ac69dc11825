// The stand-in winmm.dll: plays the Windows MIDI service, the maker's USB-MIDI driver and
// the instrument behind it, so that the real MIDI transport runs end to end under Wine
// (WINEDLLOVERRIDES=winmm=n,b loads it from the executable's folder). It exports the MIDI
// functions of winmm with their usual signatures and semantics, a few harmless others
// that Wine's own DLLs may import, and the control functions below for tests, which
// find them with GetProcAddress(GetModuleHandleA("winmm.dll"), "StandinReset") and so on.
//
// Configuration, from the process environment:
//
//   ORV_MIDI_OUT_PORTS, ORV_MIDI_IN_PORTS
//       The ports, in device-number order: entries separated by ';', each a list of
//       key=value fields separated by ','. Keys:
//         name=...   the port name (at most 32 characters; one of 32 fills szPname
//                    with no terminator, as some drivers do)
//         tech=N     output technology (1 MOD_MIDIPORT, 2 MOD_SYNTH, 7 MOD_SWSYNTH, ...)
//         mid=N      manufacturer identifier (55: the maker's driver)
//         pid=N      product identifier
//         ver=V      driver version, as 1.08 (major.minor) or a number such as 0x0108
//         link=1     the port is cabled to the instrument: messages sent on an output
//                    reach it, its replies come back on every linked input
//         fail=N     the first N opens fail with the result code error=C (default 4,
//                    MMSYSERR_ALLOCATED)
//         vanish=N   the port disappears from the list once it has been opened N times
//         keep=1     a stuck driver: it keeps every buffer it is given (an output
//                    message never finishes leaving, a reset hands nothing back), so
//                    the port cannot be closed while it holds one; StandinReset lets
//                    such ports go, as if the device had been unplugged
//       Numbers take C notation (55, 0x37). "none" lists no port at all. Unset, the
//       defaults are: outputs "ORVENT 1 SOUND" (MIDI port, mid 55, 1.08, linked),
//       "Wavetable Synth" (software synthesizer), "USB MIDI Cable Out" (MIDI port of
//       another maker, mid 99, 2.00); inputs "ORVENT 1 KEYBOARD" (mid 55, 1.08, linked)
//       and "USB MIDI Cable In" (mid 99, 2.00). A list is read again by the next
//       midiOutGetNumDevs / midiInGetNumDevs after its text has changed, unless a port
//       of that direction is open; fail and vanish count from that reading on.
//   ORV_MIDI_TX_BYTES_PER_MS
//       How fast an output message leaves (default 1000 bytes per ms, at least 1 ms per
//       message); until it has left, its header stays queued.
//
//   The instrument (read at start and by StandinReset):
//   ORV_VI_PRODUCT_ID          hex bytes, "3C" or "00 12 34" (missing bytes are FF)
//   ORV_VI_MEMBER_ID           number; 0x80 or above: no member id
//   ORV_VI_PROTOCOL            protocol code
//   ORV_VI_PACKET_SIZE         packet size announced in the inquiry reply
//   ORV_VI_FLAGS               DeviceFlags
//   ORV_VI_WRITE_STEPS         0 single phase; n two-phase writing with n progress replies
//   ORV_VI_ZERO_TOTAL          1: a progress reply with total 0 comes first
//   ORV_VI_VERSIONS            "code=major.minor,...", e.g. "1=1.03,2=2.00"; code * for all
//   ORV_VI_BLOCK_ADDRESSES     "code=address,...", e.g. "1=0x4000"
//   ORV_VI_BLOCK_SIZES         "code=size,..." (protocol 0: where a block ends)
//   ORV_VI_FLASH               "base,size"
//   ORV_VI_REPLY_DELAY_MS      every reply comes after this delay
//   ORV_VI_FAULT               none, no-reply, delay, status, extended-status,
//                              other-product, garbage-before, wrong-code,
//                              silent-from-packet, write-stalls
//   ORV_VI_FAULT_AT, ORV_VI_FAULT_DELAY_MS, ORV_VI_FAULT_STATUS, ORV_VI_FAULT_TEXT,
//   ORV_VI_OTHER_PRODUCT_ID    the fault's details (see sim/virtual_instrument.h)
//
//   The report, written when the last open port closes, at process exit and by
//   StandinWriteReport:
//   ORV_MIDI_REPORT            text file: "messages N", "packets N", "written N" (bytes
//                              of the dumped range written by packets), "dropped N"
//                              (input bytes lost for want of a queued buffer), "foreign
//                              N" (bytes the instrument got that were no part of an
//                              update message, see StandinForeignBytes)
//
// midiOutReset on a port cabled to the instrument does what the common drivers do:
// besides handing every queued header back, it sends on each of the 16 channels a
// sustain off (Bn 40 00) and an all notes off (Bn 7B 00), 96 bytes that reach the
// instrument. midiOutShortMsg reaches it as well.
//   ORV_MIDI_FLASH_DUMP        binary file: the flash bytes of ORV_MIDI_FLASH_RANGE
//   ORV_MIDI_FLASH_RANGE       "address,length"
//   ORV_MIDI_TIMES             text file: a line "MICROSECONDS LENGTH" for each System
//                              Exclusive message the instrument received whole, the time
//                              when its last byte had left, on QueryPerformanceCounter's
//                              clock (one clock for every process of the machine); nothing
//                              is recorded unless it is set
#pragma once

#include <cstdint>

extern "C" {

// Reads the whole configuration again, switches the instrument on afresh and forgets
// pending input and counters. Open ports stay open, except those of keep=1 ports,
// which are let go without a notification.
void StandinReset(void);

// Sends bytes to the updater on input device `inputDevice` (its number in the current
// list) after delayMs, as another device on that port would. A piece that starts with
// a status byte below 0xF0 (or 0xF8 and above) is a short message; anything else goes
// into the queued System Exclusive buffers. 1 when accepted. While no port is open, and
// when the last port closes before it is due, the piece is lost (a dropped input byte).
int StandinInject(int inputDevice, const unsigned char* bytes, int length, int delayMs);

// Input pieces still waiting to be delivered.
int StandinPendingInput(void);

// The device number of the open output (output 1) or input (output 0) port; -1 when
// none is open.
int StandinOpenDevice(int output);

// Open handles of both directions.
int StandinOpenPortCount(void);

// Service threads not yet ended: 1 while a port is open, 0 once the last one closed.
int StandinServiceThreads(void);

// Input bytes lost because no buffer was queued when they arrived.
int StandinDroppedInputBytes(void);

// The instrument's records. Foreign bytes: those that were no part of an update message
// (channel messages such as a reset's, other System Exclusive, stray bytes).
int StandinForeignBytes(void);
int StandinMessageCount(void);
int StandinMessage(int index, unsigned char* out, int capacity);
int StandinFlashRead(uint32_t address, unsigned char* out, uint32_t length);

// Writes the report files named by the environment; 1 when every named file was written.
int StandinWriteReport(void);
}
