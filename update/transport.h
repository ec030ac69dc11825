// Transport-neutral send and receive for the update protocol, and the one place that
// knows every transport: opening, closing, sending, receiving and stopping each, by
// DeviceType (0 serial port, 1 MIDI, 2 USB bulk pipes, 3 kernel USB-MIDI driver). A device
// type that names no transport is refused: its sends and receives fail.
#pragma once

#include "update/device_type.h"

#include <cstdint>

// sendMode, used by the kernel USB-MIDI driver only.
#define SEND_MODE_PACKETS 0
#define SEND_MODE_PACKETS_WITH_END 1
#define SEND_MODE_RAW 2

// Results every transport's send and receive operations return.
#define TRANSPORT_DONE 1
#define TRANSPORT_FAILED 0
#define TRANSPORT_TIMEOUT (-1)
#define TRANSPORT_STOPPED (-2)

// Receive time-outs in 10 ms waits (honoured by MIDI only).
#define TIMEOUT_TICKS_SHORT 10
#define TIMEOUT_TICKS_REPLY 300
#define TIMEOUT_TICKS_LONG 5000

// Which transport to open, and what the chosen one needs to be opened.
struct TransportChoice {
    int deviceType;
    int serialPort; // COM number (a program without COM ports names its device for it)
    int baudRate;
    const char* midiOutput; // port names
    const char* midiInput;
    int onlyMavoDriver; // MIDI ports of the maker's driver only
};

// Opens the chosen transport. 1 on success; 0 with the transport's text in errorText
// (PATH_SIZE bytes), "Unknown Type" for a device type that names none.
int TransportOpen(const TransportChoice* choice, char* errorText);

// Closes the transport of deviceType; harmless when it is not open or names none.
void TransportClose(int deviceType);

// Closes every transport, in the order the window's close has always used.
void TransportCloseAll(void);

// Returns 1 when the transport took the whole message; 0 with errorText set otherwise.
int TransmitMessage(const unsigned char* bytes, int length, char* errorText, int sendMode);

// Returns 1 with the instrument's next message at the start of buffer; 0 otherwise,
// with errorText set unless the user's stop ended the wait (then it is left as it was;
// LastReceiveResult tells that case apart).
int ReceiveMessage(unsigned char* buffer, int capacity, char* errorText, int timeoutTicks);

// The text of a receive the user's stop ended, for the callers that report it.
#define USER_ABORTED_TEXT "User aborted."

// ReceiveMessage into a reply buffer of REPLY_BUFFER_SIZE bytes, for the protocol's
// callers: a receive the user's stop ended leaves USER_ABORTED_TEXT in errorText.
int ReceiveReply(unsigned char* reply, char* errorText, int timeoutTicks);

struct SystemFileHeader;

// One request and its reply: sends message (SEND_MODE_PACKETS), receives with
// ReceiveReply and checks the reply with ValidateReply, without write progress. Returns
// ValidateReply's result, or 0 with errorText set when the send or the receive failed.
int ExchangeMessage(const unsigned char* message, int length, unsigned char* reply,
                    SystemFileHeader* header, int expectedCode, char* errorText, int timeoutTicks);

// Ends the receive the protocol waits in on the engine's transport, and every receive
// started on it later, until that transport is opened again: the user's stop must not
// depend on whether it lands during a wait or between two. Those receives end with
// TRANSPORT_STOPPED. Called from the thread that does not drive the protocol.
void AbortReceive(void);

// The user's stop, given until it has taken: ends the receive the protocol waits in and
// gives the stop again every ABORT_RECEIVE_REPEAT_MS (a receive that began just after one
// request would not see it) until ended() holds, calling wait(ABORT_RECEIVE_POLL_MS)
// between looks: a window carries out the protocol thread's synchronous sends there, a
// program without windows sleeps. wait returns 0 to give up (a caller with a bound of its
// own); 1 to go on. Returns 1 once ended() holds, 0 when wait gave up. Called from the
// thread that does not drive the protocol.
#define ABORT_RECEIVE_POLL_MS 2
#define ABORT_RECEIVE_REPEAT_MS 20
typedef int (*TransportWaitProc)(uint32_t milliseconds);
int AbortReceiveUntil(int (*ended)(void), TransportWaitProc wait);

// A TransportWaitProc that sleeps and never gives up.
int TransportWaitSleeping(uint32_t milliseconds);

// Sees every message the protocol hands a transport (TRANSPORT_TAP_SENT, before it goes)
// and every message a transport delivers (TRANSPORT_TAP_RECEIVED, up to its closing
// SYSEX_END), for a front end that shows the exchanges byte by byte. Called on the thread
// that drives the protocol; set it before that thread exists. Null: none.
#define TRANSPORT_TAP_SENT 0
#define TRANSPORT_TAP_RECEIVED 1
typedef void (*TransportTapProc)(int direction, const unsigned char* bytes, int length);
void TransportSetTap(TransportTapProc tap);

// The raw result of the last transport receive, so the engine can tell a user's stop
// from a failure (both make ReceiveMessage return 0).
int LastReceiveResult(void);
