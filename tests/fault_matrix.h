// The faults every transport path is run against: each row a fault the instrument or the
// driver can put in a run's way, with how the run must end. The update engine's tests run
// every row over each path of the in-process transport double; the USB bulk and kernel
// MIDI tests run them again over the real transports and their simulated drivers.
//
// The run sends one block (code 1, version 1.05, held at 1.03) of four 256-byte packets:
// message 0 is the inquiry, 1 the version request, 2 set mode, 3 to 6 the packets.
#pragma once

#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"

#include <cstddef>
#include <ostream>

enum ReplyLost { SILENCE_NONE, SILENCE }; // SILENCE: the path's own words for no reply

struct FaultRow {
    const char* name;
    VirtualFault fault;
    int at;
    int status;
    const char* text;     // an extended status's text
    int writeSteps;       // two-phase writing
    int failSendAt;       // this send of the driver fails; -1: none
    int slow;             // replies come late: waits take real time
    const char* expected; // the run's last status; nullptr: it completes
    ReplyLost silence;    // expected is the path's text for a reply that never comes
    int lastMessage;      // the last message the instrument receives
    int acknowledged;     // packets the instrument wrote and acknowledged
};

extern const FaultRow kFaultRows[];
extern const size_t kFaultRowCount;

void PrintTo(const FaultRow& row, std::ostream* os);

// The row as it must end on a path: a lost reply in that path's words (the USB bulk
// double's read gives up like a failed read), and the cells that end otherwise than
// their row.
FaultRow FaultRowOnPath(const FaultRow& row, int deviceType);

// The block the matrix sends, and the instrument for a cell (its flash 64 KiB).
VsbBlock FaultMatrixBlock(void);
void FaultMatrixInstrument(const FaultRow& row, int protocolCode, bool rawOffered,
                           VirtualInstrumentConfig* instrument);

// The run's end as the log shows it: "Update Completed!" exactly when the row completes,
// else the row's text in the status row.
void ExpectRunEndedAs(const FaultRow& row);

// The instrument's side after the run: it received messages 0 to row.lastMessage, set mode
// asked for raw data only where the path can carry it, and its flash holds the packets
// it acknowledged and not one byte more.
void ExpectInstrumentAfterFault(const FaultRow& row, int deviceType, bool rawOffered);
