// The rows the window writes around an update, in its words: the offer of an update, the
// instrument already current, the instrument not found and the update completed. Every
// front end that shows the window's rows (the window, the page) writes them from here, so
// they read alike.
#pragma once

#include "sysfile/system_file.h"

#include <cstddef>

// "Update puts the latest system software" / " on your <device>." in the status rows.
void PutUpdateOfferRows(const char* deviceName);

// "Already the latest version." in the status rows.
void PutAlreadyLatestRows(void);

// "<device>(in update mode) is not found.", for the message box and the status row.
void FormatNotFoundText(const char* deviceName, char* text, size_t size);

// The details and status rows of a completed update of file; statusText is the status
// row's ("Update completed!", or the developer's offer to retry).
void PutUpdatedRows(const SystemFileHeader* file, const char* statusText);
