// The update procedure: sends a system file to the instrument on a thread of its own.
#pragma once

#include "platform/platform_thread.h"
#include "platform/text.h"
#include "update/transport.h"
#include "update/update_messages.h"
#include "update/update_observer.h"

#include <atomic>
#include <cstdint>

#define UPDATE_RUNNING 0
#define UPDATE_PAUSED 1
#define UPDATE_ABORT 2
#define UPDATE_IDLE 3

#define UPDATE_DATA_BUFFER_SIZE 32768

// The engine's process-wide state.
struct UpdateEngine {
    UpdateObserver observer; // told what the run does; all null: nobody is
    char fileName[PATH_SIZE];
    int deviceType; // copy of the DeviceType setting, picks the transport
    int skipVersionCheck;
    int skipDeviceCheck; // obeyed by ValidateReply
    std::atomic<int> updateState;
    unsigned char protocolCode; // from the latest inquiry reply
    uint32_t packetSize;
    unsigned char deviceFlags;
    PlatformThread thread;
    unsigned char* dataBuffer;    // UPDATE_DATA_BUFFER_SIZE bytes
    unsigned char* messageBuffer; // UPDATE_MESSAGE_BUFFER_SIZE bytes
};

extern UpdateEngine g_updateEngine;

// 1 when the window has a log area: the engine then shows percentages in its status
// texts. Set by start-up before any update runs.
extern int ShowLog;

int AllocUpdateBuffers(char* errorText);
void FreeUpdateBuffers(void);

// Runs the update of fileName on a thread of its own, telling observer (copied; null:
// nobody) what happens; the run always ends with the observer's finished.
void StartUpdate(const UpdateObserver* observer, const char* fileName, int deviceType,
                 int skipVersionCheck, int skipDeviceCheck);

// The stop of a running update, as every front end offers it. UpdatePause holds the run
// after the packet in flight (1 when it was running); UpdateContinue lets a paused run go
// on. UpdateAbort ends the run: a running one is paused first, then marked aborted, and
// the transport's receive is ended (AbortReceiveUntil, with wait) until the update thread
// has made its last store. Returns 1 then (also when no update ran), 0 when wait gave up
// first. Called from a thread that does not drive the protocol.
int UpdatePause(void);
void UpdateContinue(void);
int UpdateAbort(TransportWaitProc wait);

// Waits until the update thread has made its last store (at most
// UPDATE_THREAD_END_WAIT_MS, for a thread that has already told its observer the run
// finished) and releases its handle. Harmless when there is none.
#define UPDATE_THREAD_END_WAIT_MS 1000
void UpdateEndThread(void);
void UpdateThreadProc(void);
int RunUpdate(void);

// Results of InquireVersion.
#define INQUIRE_NO_ANSWER 0
#define INQUIRE_UPDATE_NEEDED 1
#define INQUIRE_UP_TO_DATE 2

struct SystemFileHeader;

// What the instrument answered to a version inquiry.
struct InstrumentAnswer {
    // 1 when its inquiry reply was read (protocol code, packet size, flags); 0 when the
    // instrument answered in another product's id, taken because the device check is
    // skipped (its id is then in productId).
    int inquiryRead;
    InquiryValues inquiry;
    unsigned char productId[3]; // the id it answered in
    // 1 when the answer came in another product's id and the device check refused it: no
    // version then, and the other product's id in productId.
    int otherProduct;
    unsigned char versionMajor; // the version it holds of the block asked
    unsigned char versionMinor;
};

// Asks the instrument which version of a block it holds, shows it in the details rows and
// hands the answer back (answer may be null; cleared first, it is complete only when the
// result is not INQUIRE_NO_ANSWER). Runs on the front end's thread while no update thread exists.
int InquireVersion(const SystemFileHeader* header, int deviceType, InstrumentAnswer* answer);
