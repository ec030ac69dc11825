// The rows the window writes around an update, in its words: the offer of an update, the
// instrument already current, the instrument not found and the update completed. Every
// front end that shows the window's rows (the window, the page) writes them from here, so
// they read alike.
#pragma once

#include "sysfile/system_file.h"

// "Update puts the latest system software" / " on your <device>." in the status rows.
void PutUpdateOfferRows(const char* deviceName);

// "Already the latest version." in the status rows.
void PutAlreadyLatestRows(void);

// The instrument did not answer the version inquiry: "Failed to recieve data(timeout)." in
// the log, then "<device>(in update mode) is not found." in the front end's message box
// and, once that is dismissed, in the status row.
void TellInstrumentNotFound(const char* deviceName, void (*showMessage)(const char* text));

// The details and status rows of a completed update of file; statusText is the status
// row's ("Update completed!", or the developer's offer to retry).
void PutUpdatedRows(const SystemFileHeader* file, const char* statusText);
