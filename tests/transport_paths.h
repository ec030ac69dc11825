// The ways an update reaches the instrument, one record each, and what every way is put
// through alike: a whole update, the Abort of a wait for a silent instrument and the rows
// of the fault matrix. Each test makes its paths' records from the transports it links;
// these routines reach a transport only through a record.
#pragma once

#include "platform/platform_thread.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "tests/fault_matrix.h"
#include "tests/update_test_support.h"

#include <cstdint>
#include <string>
#include <vector>

// The instrument a whole update meets. It holds older versions of each block of
// TestSeveralBlocks and knows where each block of the file lives.
struct PathInstrument {
    const char* name;
    int protocolCode;
    uint32_t packetSize;
    unsigned char deviceFlags;
    int writeSteps;
    const char* fault; // as serial-instrument's --fault names it; null: none
    int faultAt;
    int baudRate; // of the serial line; paths without one ignore it
};

// One setting of the instrument by serial-instrument's option (--option value) and by the
// stand-in winmm.dll's environment variable; the in-process instrument takes the options.
struct PathSetting {
    const char* option;
    const char* variable;
    std::string value;
};

std::vector<PathSetting> PathInstrumentSettings(const PathInstrument& instrument,
                                                const std::vector<VsbBlock>& blocks);

struct TransportPath {
    const char* name;
    int deviceType;
    // Sets up an instrument outside this process and opens the transport to it; false,
    // with a failure saying why, when it does not open. Null: the in-process instrument.
    bool (*open)(const PathInstrument& instrument, const std::vector<VsbBlock>& blocks);
    // Switches the in-process instrument on and opens the transport to it; a cell of the
    // fault matrix (null outside it) names the send that fails and whether waits are slow.
    bool (*openInstrument)(const VirtualInstrumentConfig& instrument, const FaultRow* cell);
    // Closes the transport; readFlash then reads the instrument's flash. False, with a
    // failure, when it cannot.
    bool (*close)(void);
    TestFlashRead readFlash;
    PlatformWindow mainWindow; // the runs report to it as the window program's do; may be null
    // True while a receive waits for a reply without a time limit: a silent instrument's
    // run then ends only by the Abort. Null: the path's waits give up by themselves.
    bool (*waitingForReply)(void);
    void (*expectAfterFault)(const FaultRow& cell); // the path's own checks; may be null
};

// Three blocks at 0, 0x10000 and 0x30000 (2048, 4096 and 1024 bytes).
std::vector<VsbBlock> TestSeveralBlocks(void);

// The flash of an instrument that left it as a dump (starting at address 0), for the
// paths whose readFlash is TestFlashImageRead.
void TestSetFlashImage(const std::vector<unsigned char>& image);
int TestFlashImageRead(uint32_t address, unsigned char* out, uint32_t length);

// The system file of blocks sent whole over the path: the run completes, and once the path
// is closed the instrument's flash holds every block. The path stays closed, its flash
// and records there for the caller's own checks.
void ExpectWholeUpdate(const TransportPath& path, const PathInstrument& instrument,
                       const std::vector<VsbBlock>& blocks);

// The Stop dialog's Abort while the run waits for an instrument that has fallen silent
// from packet 2 ends the run within 2 s, as a user's abort.
void ExpectAbortEndsTheWaitForASilentInstrument(const TransportPath& path);

// Every cell of a fault matrix row over the path: both protocol codes, with and without
// raw data offered. Each run ends with the row's text and result on that path (where only
// the Abort ends a silent wait, in the Abort's), the instrument received nothing after
// the failing exchange, and its flash holds exactly the acknowledged packets.
void ExpectFaultRowOnPath(const TransportPath& path, const FaultRow& row);
