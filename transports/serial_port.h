// The serial port transport: COM1 to COM4, one port open at a time.
#pragma once

#define SERIAL_PORT_COUNT 4

// Marks in portPresent[0..3] which of COM1..COM4 can be opened and read.
void SerialProbePorts(unsigned char* portPresent);

// Opens COM<portNumber> at baudRate, 8N1, 10 s time-outs. 1 on success; 0 with one of
// the "Comm Port Open Error!(...)" texts in errorText (PATH_SIZE bytes).
int SerialOpen(int portNumber, int baudRate, char* errorText);

// 1 when the write call succeeded, 0 otherwise.
int SerialSend(const unsigned char* data, int length);

// Reads one message (F0 .. F7) byte by byte. 1 received, 0 read failed, -1 when nothing
// came for 10 s, -2 when SerialAbortReceive ended the wait.
int SerialReceive(unsigned char* buffer, int maxLength);

// Ends the receive waiting in another thread within one read slice, and makes every later
// receive end at once, until a port is opened again.
void SerialAbortReceive(void);

void SerialClose(void);
