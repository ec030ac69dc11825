// The bytes that open and close a System Exclusive message. Every transport frames the
// instrument's messages on them and the update protocol's messages begin and end with
// them, so they live here, below both: the transports may not include the protocol's
// headers, the protocol may include these.
#pragma once

#define SYSEX_START 0xF0
#define SYSEX_END 0xF7

// Every message the updater sends fits in a buffer of this size (the largest is a full
// packet of 32,768 bytes packed seven bits to the byte, with its header); a transport's
// send buffer is one.
#define SYSEX_MESSAGE_SIZE_MAX 37888
