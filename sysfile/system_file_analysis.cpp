#include "logview/log_view.h"
#include "platform/text.h"
#include "sysfile/system_file.h"

namespace {

void PutDetailsRow(int row, const char* label, const char* value) {
    InfoPutDetails(INFO_LABEL_RIGHT, row, label, INFO_BOLD, INFO_KEEP_ROW, INFO_ALIGN_RIGHT);
    if (value != nullptr) {
        InfoPutDetails(INFO_VALUE_LEFT, row, value, INFO_NORMAL, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
    }
}

} // namespace

int AnalyzeSystemFile(const char* fileName, SystemFileHeader* headerOut) {
    char line[TEXT_SIZE];
    InfoClearDetails();

    PlatformFile file = PlatformFileOpenRead(fileName);
    if (file == PLATFORM_FILE_NONE) {
        LogClear();
        InfoPutDetails(0, 0, "File Open Error", INFO_BOLD, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
        TextFormat(line, sizeof line, "File Open Error - %s", fileName);
        LogWrite(LOG_SAME_ROW, line);
        return 0;
    }
    LogWrite(LOG_SAME_ROW, fileName);

    SystemFileHeader header;
    char errorText[TEXT_SIZE];
    int valid = ReadBlockHeader(file, &header, errorText);
    PlatformFileClose(&file);
    if (!valid) {
        // The reader's own reason is not for the user: the file is simply not usable.
        LogClear();
        InfoPutDetails(0, 0, "File Analyze Error", INFO_BOLD, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
        TextFormat(line, sizeof line, "File Analyze  Error - %s", fileName);
        LogWrite(LOG_SAME_ROW, line);
        return 0;
    }

    PutDetailsRow(0, "Name :", header.deviceName);
    PutDetailsRow(1, "Block :", header.blockName);
    PutDetailsRow(2, "Software Version :", nullptr);
    TextFormat(line, sizeof line, "%d.%02d", header.versionMajor, header.versionMinor);
    PutDetailsRow(3, "Latest Software Version :", line);

    *headerOut = header;
    return 1;
}
