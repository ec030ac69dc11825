// The virtual instrument at the far end of a line (POSIX only): a new pseudo-terminal or a
// serial device, served on a thread of its own. What the line brings is fed to the
// instrument and every reply is written back when it is due. serial-instrument serves its
// line this way, and orvent-update's rehearsal serves one inside its own process. One
// server per process.
#pragma once

// A message the instrument received, or a reply written, for a program that shows them.
// Called on the server's thread.
typedef void (*PtyServerShowProc)(const unsigned char* bytes, int length);

struct PtyServerSettings {
    const char* device; // a serial device to serve; null or empty: a new pseudo-terminal
    int baudRate;
    int exitAfterIdleMs; // > 0: the server ends once the line, used, has been silent this long
    PtyServerShowProc showMessage; // each message received, in order; may be null
    PtyServerShowProc showReply;   // each reply once written; may be null
};

// How serving ended.
enum PtyServerEnd {
    PTY_SERVER_STOPPED,      // asked to stop, or silent for exitAfterIdleMs
    PTY_SERVER_READ_FAILED,  // the line failed (a device unplugged or hung up)
    PTY_SERVER_WRITE_FAILED, // a reply could not be written within the serial write bound
};

// Opens the line with raw settings at the bit rate; path (PATH_SIZE bytes) receives the
// device to open at the other end (the device itself when one was named). 1 on success,
// 0 when there is no such line.
int PtyServerOpen(const PtyServerSettings* settings, char* path);

// Serves the instrument, reset by the caller beforehand, on a thread of its own. 1 when it
// runs, 0 when no thread could be made.
int PtyServerStart(void);

// Asks the server to end soon. Safe from any thread and from a signal handler.
void PtyServerRequestStop(void);

// Waits until the server has ended, by itself or when asked: how it ended.
PtyServerEnd PtyServerWait(void);

// Ends the server (asking it first) and closes the line. Harmless when none runs.
void PtyServerClose(void);
