// Why a device or a file would not open, in the user's terms, and what to do about it: the
// transports' texts are the Windows program's, which say that an open failed but not why.
#pragma once

#include <cstddef>

struct TransportChoice;

// Which kind of device a hint speaks of: the group that gives access differs.
enum { HINT_SERIAL = 0, HINT_MIDI = 1 };

// The line that follows a failed open of device (a device file, or a raw MIDI port as
// hw:C,D or by name): the system's reason for error (an errno value) and, where one helps,
// what to do ("Device or resource busy: held by PID 1234 (minicom)"). 0 and an empty out
// for error 0.
int FormatOpenHint(int kind, const char* device, int error, char* out, size_t size);

// Who holds device open, from the links under /proc/*/fd this user may read: "PID 1234
// (minicom)", more than one separated by commas. How many; 0 and an empty out when nobody
// is seen holding it.
int FindDeviceHolder(const char* device, char* out, size_t size);

// Reports, after the transport's own text, why the chosen device would not open (error,
// the errno value the transport kept) and what to do about it.
void ReportOpenHint(const TransportChoice& choice, int error);

// Why a file would not open for reading: "(a folder, not a file)", "(no such file)",
// "(no permission to read it)"; "" for none of these (a writer's lock, say).
const char* FileOpenReason(const char* path);

// text (size bytes) with FileOpenReason(path) after a space, when there is one.
void AppendFileOpenReason(const char* path, char* text, size_t size);
