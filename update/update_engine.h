// The update procedure: sends a system file to the instrument on a thread of its own.
#pragma once

#include "platform/platform_thread.h"
#include "platform/text.h"
// CMD_UPDATE_FINISHED and CMD_TRANSFER_ACTIVE, the commands the engine posts: the main
// window owns its command identifiers, beside its menu and control identifiers.
#include "resources/resource_ids.h"

#include <atomic>
#include <cstdint>

#define UPDATE_RUNNING 0
#define UPDATE_PAUSED 1
#define UPDATE_ABORT 2
#define UPDATE_IDLE 3

// lParam of CMD_TRANSFER_ACTIVE.
#define TRANSFER_ENDED 0
#define TRANSFER_STARTED 1

// Progress bar messages (commctrl.h values; the core includes no OS header).
#define PBM_SETRANGE32_MSG 1030
#define PBM_SETPOS_MSG 1026

#define UPDATE_DATA_BUFFER_SIZE 32768

// The engine's process-wide state.
struct UpdateEngine {
    PlatformWindow mainWindow;  // receives the posted commands; null: nothing is posted
    PlatformWindow progressBar; // receives the synchronous progress-bar messages
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

// The main window tells the engine its progress bar once it has made it.
void UpdateSetProgressBar(PlatformWindow progressBar);

void StartUpdate(PlatformWindow mainWindow, const char* fileName, int deviceType,
                 int skipVersionCheck, int skipDeviceCheck);

// Waits until the update thread has made its last store (at most
// UPDATE_THREAD_END_WAIT_MS, for a thread that has already posted CMD_UPDATE_FINISHED)
// and releases its handle. Harmless when there is none.
#define UPDATE_THREAD_END_WAIT_MS 1000
void UpdateEndThread(void);
void UpdateThreadProc(void);
int RunUpdate(void);

// Results of InquireVersion.
#define INQUIRE_NO_ANSWER 0
#define INQUIRE_UPDATE_NEEDED 1
#define INQUIRE_UP_TO_DATE 2

struct SystemFileHeader;

// Asks the instrument which version of the file's first block it holds and shows it in
// the details rows. Runs on the main window's thread while no update thread exists.
int InquireVersion(const SystemFileHeader* header, int deviceType);
