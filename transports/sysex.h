// The bytes that open and close a System Exclusive message. Every transport frames the
// instrument's messages on them and the update protocol's messages begin and end with
// them, so they live here, below both: the transports may not include the protocol's
// headers, the protocol may include these.
#pragma once

#define SYSEX_START 0xF0
#define SYSEX_END 0xF7
