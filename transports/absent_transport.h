// A program that carries no transport of a kind links that kind's absent transport: the
// transport layer names every transport's operations, and an absent one refuses to open
// and fails every send and receive.
#pragma once

// The open's text; %s names the transport.
#define ABSENT_TRANSPORT_TEXT "%s is not available in this program."
