#include "app/update_rows.h"

#include "logview/log_view.h"
#include "platform/text.h"

void PutUpdateOfferRows(const char* deviceName) {
    char line[TEXT_SIZE];
    InfoClearStatus();
    InfoPutStatus(0, 0, "Update puts the latest system software", INFO_KEEP_ROW);
    TextFormat(line, sizeof line, " on your %s.", deviceName);
    InfoPutStatus(0, 1, line, INFO_KEEP_ROW);
}

void PutAlreadyLatestRows(void) {
    InfoClearStatus();
    InfoPutStatus(0, 0, "Already the latest version.", INFO_KEEP_ROW);
}

void TellInstrumentNotFound(const char* deviceName, void (*showMessage)(const char* text)) {
    char text[TEXT_SIZE];
    LogWrite(LOG_NEWLINE_BEFORE, "Failed to recieve data(timeout).");
    TextFormat(text, sizeof text, "%s(in update mode) is not found.", deviceName);
    showMessage(text);
    InfoPutStatus(0, 0, text, INFO_KEEP_ROW);
}

void PutUpdatedRows(const SystemFileHeader* file, const char* statusText) {
    char text[TEXT_SIZE];
    InfoClearDetails();
    InfoClearStatus();
    TextFormat(text, sizeof text, "%s has been updated to %d.%02d successfully.", file->deviceName,
               file->versionMajor, file->versionMinor);
    InfoPutDetails(10, 1, text, INFO_NORMAL, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
    InfoPutDetails(10, 2, "Turn it off and back on to use it.", INFO_NORMAL, INFO_KEEP_ROW,
                   INFO_ALIGN_LEFT);
    InfoPutStatus(0, 0, statusText, INFO_CLEAR_ROW);
}
