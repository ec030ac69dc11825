// Transport-neutral send and receive for the update protocol. The engine's DeviceType
// picks the transport: 0 serial port, 1 MIDI, 2 USB bulk pipes, any other the kernel
// USB-MIDI driver.
#pragma once

#include "update/device_type.h"

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

// The raw result of the last transport receive, so the engine can tell a user's stop
// from a failure (both make ReceiveMessage return 0).
int LastReceiveResult(void);
