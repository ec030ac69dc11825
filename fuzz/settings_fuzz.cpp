// The settings load rules over an in-memory store whose values the input decides: which
// names exist, with which registry type, size and bytes, plus the desktop the window is
// kept on and whether the stored directory can be entered. Whatever is stored, every
// loaded field must stay in its documented range and every text must be terminated
// inside its field.
#include "settings/settings_testing.h"
#include "tests/doubles/settings_store_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kNames[] = {
    "Warning",
    "Xpos",
    "Ypos",
    "ComPortNum",
    "DeviceType",
    "ComBaudRate",
    "OutputMidiDevice",
    "InputMidiDevice",
    "NumOfRecentFile",
    "RecentFileName0",
    "RecentFileName1",
    "RecentFileName2",
    "RecentFileName3",
    "RecentFileName4",
    "RecentFileName5",
    "RecentFileName6",
    "RecentFileName7",
    "RecentFileName8",
    "SkipVersionCheck",
    "SkipDeviceCheck",
    "MidiAuto",
    "OnlyMavoDriver",
    "DevMode",
    "CurrentPath",
    "RecentFileName9",
    "NextDevMode",
};
const size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

const uint32_t kTypes[] = {MEMORY_STORE_TYPE_STRING, MEMORY_STORE_TYPE_BINARY,
                           MEMORY_STORE_TYPE_DWORD, MEMORY_STORE_TYPE_QWORD};

int Terminated(const char* text, size_t size) {
    return memchr(text, '\0', size) != nullptr;
}

void Check(int condition) {
    if (!condition) {
        abort();
    }
}

int16_t Int16(const uint8_t* p) {
    return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}

} // namespace

// Input: [flags] [desktop left, top, right, bottom as 16-bit values] then records of
// [name] [type] [size low] [size high] [bytes ...]; a record's bytes are cut at the end
// of the input. flags bit 0: the key cannot be opened; bit 1: the stored directory cannot
// be entered.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) {
        return 0;
    }
    MemoryStoreReset();
    SettingsReset();
    int failOpen = data[0] & 1;
    MemoryStoreFailOpen(failOpen);
    MemoryStoreRefuseDirectoryChange((data[0] >> 1) & 1);
    int right = Int16(data + 5);
    MemoryStoreSetDesktop(Int16(data + 1), Int16(data + 3), right, Int16(data + 7));

    size_t pos = 9;
    while (pos + 4 <= size) {
        const char* name = kNames[data[pos] % kNameCount];
        uint8_t typeByte = data[pos + 1];
        uint32_t type = typeByte < 0xF0 ? kTypes[typeByte % 4] : typeByte;
        size_t length =
            (size_t)(data[pos + 2] | (data[pos + 3] << 8)) % (MEMORY_STORE_DATA_SIZE + 1);
        pos += 4;
        if (length > size - pos) {
            length = size - pos;
        }
        MemoryStorePut(name, type, data + pos, length);
        pos += length;
    }

    Settings before = g_settings;
    int loaded = LoadSettings();
    Check(MemoryStoreOpenKeys() == 0);
    if (failOpen) {
        Check(loaded == 0);
        Check(memcmp(&before, &g_settings, sizeof(Settings)) == 0);
        return 0;
    }
    Check(loaded == 1);
    const Settings& s = g_settings;
    Check(s.Warning <= 1);
    Check(s.ComPortNum >= 1 && s.ComPortNum <= 4);
    Check(s.DeviceType >= 0 && s.DeviceType <= DEVICE_TYPE_USB_BULK);
    Check(s.ComBaudRate >= 0 && s.ComBaudRate < BAUD_RATE_COUNT);
    Check(s.NumOfRecentFile >= 0 && s.NumOfRecentFile <= RECENT_FILE_COUNT);
    Check(s.SkipVersionCheck == 0 || s.SkipVersionCheck == 1);
    Check(s.SkipDeviceCheck == 0 || s.SkipDeviceCheck == 1);
    Check(s.OnlyMavoDriver == 0 || s.OnlyMavoDriver == 1);
    Check(s.MidiAuto == 0);
    Check(s.DevMode >= DEV_MODE_USER && s.DevMode <= DEV_MODE_DEVELOPER);
    // The window is kept left of the desktop's right edge.
    Check((int64_t)s.Xpos + MAIN_WINDOW_WIDTH <= (int64_t)right);
    Check(Terminated(s.OutputMidiDevice, sizeof(s.OutputMidiDevice)) && s.OutputMidiDevice[0]);
    Check(Terminated(s.InputMidiDevice, sizeof(s.InputMidiDevice)) && s.InputMidiDevice[0]);
    for (int i = 0; i < RECENT_FILE_COUNT; i++) {
        Check(Terminated(s.RecentFileName[i], PATH_SIZE));
        if (i >= s.NumOfRecentFile) {
            Check(s.RecentFileName[i][0] == '\0');
        }
    }
    Check(MemoryStoreWarningsShown() <= 1);
    if (s.Warning == 0) {
        Check(MemoryStoreWarningsShown() == 0);
    }
    Check(Terminated(MemoryStoreCurrentDirectory(), PATH_SIZE));
    return 0;
}
